#!/usr/bin/env python3
"""Self-check of the reference reconstruction against worked values.

The differential test is only as good as the reference; these cases pin the
reference's building blocks to values that are known independently of both
implementations (hand-derived or stated for the program), compared by their
bits where exact values are known.
"""

import math
import os
import struct
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True      # keep the source folder clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tsrecon_ref as ref  # noqa: E402


def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def col(values):
    """A 200-row column, 1-based, holding `values` from row 1."""
    c = [0.0] * 201
    c[1:1 + len(values)] = values
    return c


def matrix(rows):
    """A 1-based square matrix A[row][col] from a list of rows."""
    n = len(rows)
    a = [[0.0] * (n + 1) for _ in range(n + 1)]
    for i, r in enumerate(rows, 1):
        a[i][1:] = [float(v) for v in r]
    return a


class Constants(unittest.TestCase):
    def test_widened_four_byte_constants(self):
        for value, expected in [(ref.TCLD_DEFAULT, 0.15000000596046448),
                                (ref.PI4, 3.1415927410125732),
                                (ref.ROUND_OFFSET, 0.49000000953674316)]:
            self.assertEqual(bits(value), bits(expected))


class FunctionMatrix(unittest.TestCase):
    def test_values(self):
        x = ref.build_function_matrix(200, 46, 1)
        cases = [  # (row, column, value)
            (46, 3, -2.4492935982947064e-16), (46, 4, 1.0),
            (23, 3, 1.2246467991473532e-16), (23, 4, -1.0),
            (3, 2, 0.30000000000000004), (46, 2, 4.6000000000000005),
            (200, 2, 20.0), (1, 1, 1.0), (200, 5, 0.0),
        ]
        for row, c, value in cases:
            with self.subTest(row=row, column=c):
                self.assertEqual(bits(x[c][row]), bits(value))

    def test_unwritten_rows_and_columns_stay_zero(self):
        x = ref.build_function_matrix(10, 46, 6)
        self.assertTrue(all(x[c][r] == 0.0 for c in range(1, 15) for r in range(11, 201)))
        self.assertTrue(all(x[c][r] == 0.0 for c in range(15, 51) for r in range(1, 201)))
        self.assertNotEqual(x[14][1], 0.0)


class Solver(unittest.TestCase):
    def test_inversions(self):
        cases = [
            ("identity", [[1, 0, 0], [0, 1, 0], [0, 0, 1]], [[1, 0, 0], [0, 1, 0], [0, 0, 1]]),
            ("swap", [[0, 1], [1, 0]], [[0, 1], [1, 0]]),
            ("first of equal magnitude", [[1, 2], [2, 1]],
             [[-1 / 3, 2 / 3], [2 / 3, -1 / 3]]),
            ("tiny multiplier flushed", [[1, 0], [5.0e-32, 1]], [[1, 0], [0, 1]]),
        ]
        for name, given, expected in cases:
            with self.subTest(name):
                a = matrix(given)
                ref.invert_in_place(a, len(given))
                got = [row[1:] for row in a[1:]]
                self.assertEqual(got, [[float(v) for v in r] for r in expected])

    def test_singular_matrix_is_left_partly_reduced(self):
        a = matrix([[1, 0, 0], [0, 0, 0], [0, 0, 1]])
        ref.invert_in_place(a, 3)
        # Stage 1 reduces around (1,1), stage 2 takes (3,3), stage 3 finds nothing.
        self.assertEqual([row[1:] for row in a[1:]], [[1, 0, 0], [0, 0, 0], [0, 0, 1]])
        b = matrix([[2, 4], [1, 2]])
        ref.invert_in_place(b, 2)
        self.assertEqual([row[1:] for row in b[1:]], [[0.0, -0.5], [0.5, 0.25]])


class Householder(unittest.TestCase):
    def test_two_by_one(self):
        cases = [((3.0, 4.0), (-5.0, -4.440892098500626e-16)),
                 ((-3.0, 4.0), (5.0, -4.440892098500626e-16)),
                 ((-0.0, 4.0), (4.0, 0.0))]
        for given, expected in cases:
            with self.subTest(given=given):
                a = [None, col(list(given))]
                ref.householder_step(a, 2, 1, 1, 1)
                self.assertEqual(bits(a[1][1]), bits(expected[0]))
                self.assertEqual(bits(a[1][2]), bits(expected[1]))

    def test_out_of_range_pivot_and_zero_column_leave_matrix_unchanged(self):
        for m, nc, l, k, values in [(2, 1, 3, 1, [3.0, 4.0]), (2, 1, 1, 2, [3.0, 4.0]),
                                    (2, 1, 1, 1, [0.0, 1e-70])]:
            a = [None, col(values)]
            ref.householder_step(a, m, nc, l, k)
            self.assertEqual(a[1][1:3], values)


class Selection(unittest.TestCase):
    def test_subset_order(self):
        cases = {1: [[1]], 2: [[1, 2], [2]], 3: [[1, 2, 3], [1, 3], [2, 3], [3]],
                 0: [None]}
        for m, expected in cases.items():
            got = [s if s is None else s[1:] for s in ref.enumerate_subsets(m)]
            self.assertEqual(got, expected)
        self.assertEqual(len(list(ref.enumerate_subsets(6))), 32)

    def test_criterion_uses_four_byte_pi(self):
        n, rss = 10.0, 0.1
        arg = ((ref.PI4 * 2.0) * rss) / n
        self.assertEqual(bits(arg), bits(0.06283185482025147))
        crit = n * math.log(arg) + n + float(4 * 1 + 6)
        self.assertEqual(bits(crit), bits(-7.672930917512112))

    def _fit(self, y, use, nfunc, cap, npoint=46):
        n = len(y)
        x = ref.build_function_matrix(n, npoint, nfunc)
        par = [0.0] * 51
        yf = [0.0] * 201
        m, crit = ref.select_and_fit(n, nfunc, [0.0] + y, [False] + use, x, par, yf,
                                     cap, ref.SelectState())
        return m, crit, par, yf[1:n + 1]

    def test_single_third_harmonic_is_found(self):
        w = math.atan(1.0) * 8.0 / 46
        y = [0.5 + 0.2 * math.sin(3 * w * t) + 0.003 * ((t * 7919) % 13 - 6) / 6
             for t in range(1, 47)]
        m, crit, par, yf = self._fit(y, [True] * 46, 3, 3)
        self.assertEqual(m, 3)
        self.assertLess(crit, 9.9e9)
        self.assertEqual(par[3:7], [0.0] * 4)
        self.assertAlmostEqual(par[7], 0.2, places=2)
        self.assertTrue(all(0.0 <= v <= 1.0 for v in yf))

    def test_curve_above_one_lowers_the_cap_until_it_gives_up(self):
        y = [1.0 + 0.05 * ((t * 31) % 7) for t in range(1, 24)]
        m, crit, par, yf = self._fit(y, [True] * 23, 2, 2)
        self.assertEqual(m, -1)
        self.assertEqual(yf, [-1.0] * 23)
        self.assertEqual(par[1:7], [0.0] * 6)
        self.assertLess(crit, 9.9e9)       # the cap-1 attempt scored a model

    def test_no_used_sample_retains_nothing(self):
        m, crit, par, yf = self._fit([0.3] * 12, [False] * 12, 2, 2)
        self.assertEqual((m, crit), (2, 9.9e9))
        self.assertEqual(yf, [0.0] * 12)

    def test_cap_below_one_fails_at_once(self):
        m, crit, par, yf = self._fit([0.3] * 12, [True] * 12, 0, 0)
        self.assertEqual((m, crit, yf), (-1, 9.9e9, [-1.0] * 12))


class FixedOrder(unittest.TestCase):
    def test_exact_model_is_reproduced_at_unused_steps(self):
        n = 30
        x = ref.build_function_matrix(n, 46, 3)
        y = [0.0] + [0.3 + 0.02 * x[2][t] + 0.1 * x[3][t] for t in range(1, n + 1)]
        use = [False] + [t % 3 != 0 for t in range(1, n + 1)]
        par = [0.0] * 51
        yf = [0.0] * 201
        ref.fit_fixed_order(n, 3, y, use, x, par, yf)
        for j, expected in [(1, 0.3), (2, 0.02), (3, 0.1), (4, 0.0), (8, 0.0)]:
            self.assertAlmostEqual(par[j], expected, places=10)
        for t in range(1, n + 1):
            self.assertAlmostEqual(yf[t], y[t], places=10)


class GapFilling(unittest.TestCase):
    def test_cases(self):
        cases = [  # (series, status, max_gap in, series out, status out, max_gap out)
            ([0.2, 9.0, 0.4], [1, 0, 1], 0, [0.2, 0.30000000000000004, 0.4], [1, 2, 1], 2),
            ([0.1, 0.1, 0.25, 9, 9, 9, 0.5], [0, 0, 1, 0, 0, 0, 1], 0,
             [0.0, 0.0, 0.25, 0.3125, 0.375, 0.4375, 0.5], [0, 0, 1, 2, 2, 2, 1], 4),
            ([0.7, 0.3], [0, 1], 0, [0.0, 0.3], [0, 1], 2),
            ([0.5] * 10, [0] * 8 + [1, 1], 0, [0.0] * 8 + [0.5, 0.5], [0] * 8 + [1, 1], 9),
            ([0.5, 0.6, 0.7], [1, 1, 0], 0, [0.5, 0.6, 0.0], [1, 1, 0], 1),
            ([0.5, 0.6, 0.7], [7, 7, 1], 0, [0.5, 0.6, 0.7], [1, 7, 1], 1),
            ([0.5, 0.6, 0.7], [0, -1, 0], 5, [0.0, 0.0, 0.0], [0, -1, 0], 5),
            ([0.2, 9.0, 0.4], [1, 0, 1], 6, [0.2, 0.30000000000000004, 0.4], [1, 2, 1], 6),
        ]
        for series, status, gap_in, s_out, st_out, gap_out in cases:
            with self.subTest(series=series, status=status):
                s = [0.0] + list(series)
                st = [0] + list(status)
                g = ref.fill_gaps(len(series), s, st, gap_in)
                self.assertEqual([bits(v) for v in s[1:]], [bits(v) for v in s_out])
                self.assertEqual(st[1:], st_out)
                self.assertEqual(g, gap_out)


class EnvelopeFilters(unittest.TestCase):
    def test_cases(self):
        cases = [  # (filter, NWIN, series in, series out)
            (ref.fill_dips, 1, [0.5, 0.1, 0.5], [0.5, 0.5, 0.5]),
            (ref.fill_dips, 1, [0.2, 0.3, 0.1, 0.4, 0.5], [0.2, 0.3, 0.3, 0.4, 0.5]),
            (ref.fill_dips, 1, [0.1, 0.1, 0.5, 0.5], [0.1, 0.1, 0.5, 0.5]),
            (ref.fill_dips, 1, [0.1, 0.5, 0.5], [0.1, 0.5, 0.5]),
            (ref.fill_dips, 1, [0.5, 0.1, 0.1, 0.5], [0.5, 0.1, 0.1, 0.5]),
            (ref.fill_dips, 2, [0.5, 0.1, 0.1, 0.5], [0.5, 0.5, 0.5, 0.5]),
            (ref.fill_dips, 0, [0.5, 0.1, 0.5], [0.5, 0.1, 0.5]),
            (ref.fill_dips, 1, [-2e10, -3e10, -2e10], [0.0, 0.0, 0.0]),
            (ref.clip_peaks, 1, [0.5, 0.9, 0.5], [0.5, 0.5, 0.5]),
            (ref.clip_peaks, 1, [0.2, 0.3, 0.9, 0.4, 0.5], [0.2, 0.3, 0.4, 0.4, 0.5]),
            (ref.clip_peaks, 1, [2e10, 3e10, 2e10], [0.0, 0.0, 0.0]),
        ]
        for fn, nwin, given, expected in cases:
            with self.subTest(filter=fn.__name__, nwin=nwin, series=given):
                s = [0.0] + list(given)
                fn(len(given), nwin, s)
                self.assertEqual(s[1:], expected)


class PixelReduction(unittest.TestCase):
    def test_amplitude_and_phase(self):
        p = 3.1415927410125732
        cases = [(0.0, 0.0, 0.0, 0.0), (-3.0, 0.0, 3.0, p), (-3.0, -0.0, 3.0, -p),
                 (1e-11, 2.0, 2.0, 1.5707963705062866),
                 (-1e-11, 2.0, 2.0, -1.5707963705062866),
                 (1.0, 1.0, math.sqrt(2.0), math.atan(1.0)),
                 (-1.0, -1.0, math.sqrt(2.0), math.atan(1.0) - p)]
        for sk, ck, a, phi in cases:
            with self.subTest(sk=sk, ck=ck):
                got = ref.amplitude_phase(sk, ck)
                self.assertEqual((bits(got[0]), bits(got[1])), (bits(a), bits(phi)))

    def test_rounding_of_extremes(self):
        for x, expected in [(0.5, 2048), (1.0 / 4096, 1), (0.0, 0), (-1.0, -4095)]:
            self.assertEqual(ref.round_extreme(x), expected)


class Conversions(unittest.TestCase):
    def test_series_to_raw(self):
        for x, expected in [(1.0, 4096), (0.5 / 4096, 1), (0.0, 0), (-1.0, -4095),
                            (8.0, -32768), (float("nan"), 0), (1e300, 0),
                            (65537 / 4096, 1), (524288.25, 0)]:
            with self.subTest(x=x):
                self.assertEqual(ref.series_to_raw(x), expected)

    def test_criterion_to_four_bytes(self):
        for x, expected in [(100000000.0, 1.0e8), (100000001.0, 0.0), (-200000000.0, 0.0),
                            (12.3456789, struct.unpack("<f", struct.pack("<f", 12.3456789))[0]),
                            (9.9e9, 0.0)]:
            with self.subTest(x=x):
                self.assertEqual(ref.aic_to_f32(x), expected)
        self.assertTrue(math.isnan(ref.aic_to_f32(float("nan"))))

    def test_wraps_and_truncation(self):
        self.assertEqual(ref.wrap16(70000), 4464)
        self.assertEqual(ref.wrap16(-1), -1)
        self.assertEqual(ref.wrap8(255), -1)
        self.assertEqual(ref.wrap8(257), 1)
        self.assertEqual(ref.trunc_i32(-3.7), -3)
        self.assertEqual(ref.trunc_i32(2147483648.0), -2147483648)
        self.assertEqual(ref.trunc_i32(-2147483648.9), -2147483648)
        self.assertEqual(ref.f32(1e300), float("inf"))


class RunParameters(unittest.TestCase):
    def _read(self, text):
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "cntl.dat")
            with open(path, "w") as fh:
                fh.write(text)
            rp = ref.read_run_parameters(path)
        ref.derive_run_parameters(rp)
        return rp

    def test_complete_control_file(self):
        rp = self._read("46\n2400 4800\n&DATA NFUNC=4, NDEF=2 /\n"
                        "&CONTRL NWIN=2, TCLD=0.1, INTP=1 /\n&NPT NPOINT=46 /\n5\n17\n")
        self.assertEqual((rp.NB, rp.NL, rp.NS, rp.NFUNC, rp.NP, rp.NWIN, rp.INTP),
                         (46, 2400, 4800, 4, 10, 2, 1))
        self.assertEqual(rp.excluded_bands[1:rp.excluded_count + 1], [5, 17])
        self.assertEqual((rp.upper_threshold, rp.lower_threshold), (0.2, -0.1))

    def test_defaults_and_thresholds(self):
        rp = self._read("10\n1 1\n&DATA /\n&CONTRL /\n&NPT /\n")
        self.assertEqual((rp.NFUNC, rp.NP, rp.NWIN, rp.NPOINT, rp.MASK, rp.INTP),
                         (6, 14, 3, 46, 0, 0))
        self.assertEqual(bits(rp.upper_threshold), bits(0.30000001192092896))
        self.assertEqual(bits(rp.lower_threshold), bits(-0.15000000596046448))
        for fitmd, tcld, upper, lower in [("1", "0.25", 0.25, -0.5), ("2", "0.25", 0.25, -0.25),
                                          ("255", "0.25", 0.5, -0.25)]:
            rp = self._read("10\n1 1\n&DATA /\n&CONTRL FITMD=%s, TCLD=%s /\n&NPT /\n"
                            % (fitmd, tcld))
            self.assertEqual((rp.upper_threshold, rp.lower_threshold), (upper, lower))

    def test_band_list_drops_out_of_range_and_keeps_duplicates(self):
        rp = self._read("8\n1 1\n&DATA NDEF=3 /\n&CONTRL /\n&NPT /\n5\n0\n5\n")
        self.assertEqual(rp.excluded_bands[1:rp.excluded_count + 1], [5, 5])
        rp = self._read("8\n1 1\n&DATA NDEF=9 /\n&CONTRL SELECT=257 /\n&NPT /\n")
        self.assertTrue(rp.stopped)


if __name__ == "__main__":
    unittest.main()
