#!/usr/bin/env python3
"""Independent reference reconstruction of a tsrecon working directory.

Reads cntl.dat, data.bsq and (when MASK = 1) mask.bsq from a working directory
and writes the products p.bsq, f.bsq, i.bsq (when INTP = 1), order.dat,
aic.dat, min.dat and max.dat into an output directory, byte for byte as
tsrecon writes them.

Everything is written as a plain, step-by-step reading of the program's
arithmetic, in 8-byte reals (Python floats), with every sum accumulated one
term at a time in the program's order (never with sum(), which may compensate
rounding), 4-byte constants widened from their 4-byte values, and the C
library's sin, cos, atan, sqrt and log. Arrays are indexed from 1 (element 0
is unused) so that the indices read as the program's.

Only the standard library is used. Usage:
    tsrecon_ref.py WORKDIR [OUTDIR]
OUTDIR defaults to WORKDIR.
"""

import math
import os
import struct
import sys
from functools import reduce
from collections import Counter
from operator import add, mul

# How often the rarer branches were taken (read by the comparison driver to
# show what a set of cases exercised).
STATS = Counter()
# When set, called with (band, residual) for every residual of the screening.
RESIDUAL_HOOK = None

# ---------------------------------------------------------------------------
# Number helpers: 4-byte widening, IEEE division/log/sqrt without exceptions,
# integer wrap-arounds and conversions.

INF = float("inf")
NAN = float("nan")


def f32(x):
    """The 8-byte value of x rounded to the nearest 4-byte real."""
    try:
        return struct.unpack("<f", struct.pack("<f", x))[0]
    except OverflowError:
        return math.copysign(INF, x)


TCLD_DEFAULT = f32(0.15)            # 0.15000000596046448
PI4 = f32(math.pi)                  # 3.1415927410125732
ROUND_OFFSET = f32(0.49)            # 0.49000000953674316


def fdiv(a, b):
    """a / b with the IEEE default results for a zero divisor."""
    if b != 0.0:
        return a / b
    if a != a or a == 0.0:
        return NAN
    neg = (math.copysign(1.0, a) < 0) != (math.copysign(1.0, b) < 0)
    return -INF if neg else INF


def flog(x):
    if x != x:
        return NAN
    if x == 0.0:
        return -INF
    if x < 0.0:
        return NAN
    return math.log(x)


def fsqrt(x):
    if x != x or x < 0.0:
        return NAN
    return math.sqrt(x)


def wrap16(v):
    v &= 0xFFFF
    return v - 0x10000 if v >= 0x8000 else v


def wrap8(v):
    v &= 0xFF
    return v - 0x100 if v >= 0x80 else v


def wrap32(v):
    v &= 0xFFFFFFFF
    return v - 0x100000000 if v >= 0x80000000 else v


def trunc_i32(t):
    """Truncation toward zero to a 4-byte integer; NaN or out of range gives
    the integer indefinite value -2147483648."""
    if t != t or not (-2147483649.0 < t < 2147483648.0):
        return -2147483648
    return int(t)


def dot(xs, ys):
    """sum over p of xs[p] * ys[p], accumulated from the first term upward,
    starting at 0.0."""
    return reduce(add, map(mul, xs, ys), 0.0)


# ---------------------------------------------------------------------------
# Control file (only the simple forms written by the test generator: one or
# more numbers per list-directed record, groups written as
# "&NAME item=value, ... /" on one or more lines, one band number a record).

class ControlFileError(Exception):
    pass


class RunParameters:
    def __init__(self):
        self.NB = 0
        self.NL = 0
        self.NS = 0
        self.NDAT = 0
        self.NFUNC = 6
        self.NDEF = 0
        self.ISPOT = 0
        self.NWIN = 3
        self.INTP = 0
        self.SELECT = 1
        self.MMSW = 1
        self.TCLD = TCLD_DEFAULT
        self.FITSW = 1
        self.MASK = 0
        self.FITMD = 0
        self.NPOINT = 46
        self.NP = 14
        self.upper_threshold = 0.0
        self.lower_threshold = 0.0
        self.excluded_bands = [0] * 201
        self.excluded_count = 0
        self.stopped = False   # the run ends after reading the control file


GROUP_ITEMS = {
    "DATA": {"NDAT": "i4", "NFUNC": "i4", "NDEF": "i4", "ISPOT": "i4"},
    "CONTRL": {"NWIN": "i4", "INTP": "i4", "SELECT": "i1", "MMSW": "i4",
               "TCLD": "r8", "FITSW": "i1", "MASK": "i4", "FITMD": "i1"},
    "NPT": {"NPOINT": "i4"},
}


def _list_value(tok):
    if any(c in tok for c in ".eEdDqQ"):
        x = float(tok.replace("d", "e").replace("D", "e").replace("q", "e").replace("Q", "e"))
        return wrap32(int(x))
    return int(tok)


class ControlReader:
    def __init__(self, data):
        recs = data.split(b"\n")
        recs.pop()              # bytes after the last line feed are no record
        self.records = [r[:-1] if r.endswith(b"\r") else r for r in recs]
        self.pos = 0

    def _next_record(self):
        if self.pos >= len(self.records) or self.records[self.pos] == b"\x1a":
            raise ControlFileError("end of file")
        r = self.records[self.pos].decode("ascii")
        self.pos += 1
        return r

    def read_values(self, count, current):
        """One list-directed read of `count` integers; returns the new values."""
        values = list(current)
        got = 0
        while got < count:
            rec = self._next_record()
            text = rec.replace(",", " ").split("!")[0]
            if "/" in text:
                for tok in text.split("/")[0].split():
                    if got < count:
                        values[got] = _list_value(tok)
                        got += 1
                return values
            for tok in text.split():
                if got < count:
                    values[got] = _list_value(tok)
                    got += 1
        return values

    def read_group(self, name, params):
        items = GROUP_ITEMS[name]
        # Find "&NAME" (or "$NAME") at the start of a token.
        while True:
            rec = self._next_record()
            stripped = rec.strip()
            if stripped[:1] in ("&", "$") and \
                    stripped[1:].strip().split(None, 1)[:1] and \
                    stripped[1:].strip().split(None, 1)[0].upper() == name:
                rest = stripped[1:].strip()[len(name):]
                break
        text = rest
        while "/" not in text and "&" not in text:
            text += " " + self._next_record()
        body = text.split("/")[0].split("&")[0]
        for part in body.split(","):
            part = part.strip()
            if not part:
                continue
            key, _, val = part.partition("=")
            key = key.strip().upper()
            val = val.strip()
            if key not in items:
                raise ControlFileError("no item " + key)
            if val == "":
                continue
            kind = items[key]
            if kind == "r8":
                v = float(val.replace("d", "e").replace("D", "e")
                          .replace("q", "e").replace("Q", "e"))
            else:
                iv = int(val)
                v = wrap32(iv) if kind == "i4" else wrap8(iv)
            setattr(params, key, v)


def read_run_parameters(path):
    rp = RunParameters()
    with open(path, "rb") as fh:
        reader = ControlReader(fh.read())
    (rp.NB,) = reader.read_values(1, [rp.NB])
    rp.NL, rp.NS = reader.read_values(2, [rp.NL, rp.NS])
    reader.read_group("DATA", rp)
    reader.read_group("CONTRL", rp)
    reader.read_group("NPT", rp)
    if 1 <= rp.NDEF <= rp.NB:
        rp.excluded_count = 0
        band = 0
        for _ in range(rp.NDEF):
            (band,) = reader.read_values(1, [band])
            if 1 <= band <= rp.NB:
                rp.excluded_count += 1
                rp.excluded_bands[rp.excluded_count] = wrap16(band)
    return rp


def derive_run_parameters(rp):
    rp.NDAT = rp.NB
    if rp.NB < 3 or rp.NB > 200 or rp.NDEF < 0 or rp.NDEF > rp.NB:
        rp.stopped = True
        return
    rp.NP = 2 * rp.NFUNC + 2
    if rp.FITMD == 1:
        rp.upper_threshold = rp.TCLD
        rp.lower_threshold = -(rp.TCLD * 2.0)
    elif rp.FITMD == 2:
        rp.upper_threshold = rp.TCLD
        rp.lower_threshold = -rp.TCLD
    else:
        rp.upper_threshold = rp.TCLD * 2.0
        rp.lower_threshold = -rp.TCLD


# ---------------------------------------------------------------------------
# Function matrix: X[column][row], 50 columns by 200 rows, zero where unwritten.

HARMONIC_FREQUENCIES = [0, 1, 2, 3, 4, 6, 12]


def build_function_matrix(NB, NPOINT, NFUNC):
    X = [[0.0] * 201 for _ in range(51)]
    pi = math.atan(1.0) * 4.0
    w = (pi * 2.0) / float(NPOINT)
    for t in range(1, NB + 1):
        for k in range(1, NFUNC + 1):
            a = (float(t) * w) * float(HARMONIC_FREQUENCIES[k])
            X[2 * k + 1][t] = math.sin(a)
            X[2 * k + 2][t] = math.cos(a)
        X[1][t] = 1.0
        X[2][t] = float(t) * 0.1
    return X


# ---------------------------------------------------------------------------
# Gauss-Jordan inversion in place with full pivoting. A[row][col], 1-based.

def invert_in_place(A, N):
    if N <= 0:
        return
    pivot_uses = [0] * (N + 1)
    pivot_row = [0] * (N + 1)
    pivot_col = [0] * (N + 1)
    for i in range(1, N + 1):
        largest = 0.0
        r = s = 0
        found = False
        for j in range(1, N + 1):
            if pivot_uses[j] == 1:
                continue
            Aj = A[j]
            for k in range(1, N + 1):
                if pivot_uses[k] == 1:
                    continue
                if pivot_uses[k] == 0 and abs(Aj[k]) > abs(largest):
                    r, s, largest = j, k, Aj[k]
                    found = True
        if not found:
            STATS["solver: singular"] += 1
            return          # singular: left partly reduced
        pivot_uses[s] += 1
        if r != s:
            for l in range(1, N + 1):
                A[r][l], A[s][l] = A[s][l], A[r][l]
        pivot_row[i] = r
        pivot_col[i] = s
        As = A[s]
        p = As[s]
        As[s] = 1.0
        for l in range(1, N + 1):
            As[l] = fdiv(As[l], p)
        for ll in range(1, N + 1):
            if ll == s:
                continue
            All = A[ll]
            m = All[s]
            All[s] = 0.0
            if -1.0e-31 < m < 1.0e-31:
                if m != 0.0:
                    STATS["solver: tiny multiplier flushed"] += 1
                m = 0.0
            for l in range(1, N + 1):
                All[l] = All[l] - As[l] * m
    for l in range(N, 0, -1):
        a, b = pivot_row[l], pivot_col[l]
        if a != b:
            for row in range(1, N + 1):
                A[row][a], A[row][b] = A[row][b], A[row][a]


# ---------------------------------------------------------------------------
# Fixed-order fit.

def fit_fixed_order(N, NH, y, use, X, par, YF):
    NP = 2 * NH + 2
    for j in range(1, NP + 1):
        par[j] = 0.0
    for i in range(1, N + 1):
        YF[i] = 0.0
    normal = [[0.0] * (NP + 1) for _ in range(NP + 1)]
    v = [0.0] * (NP + 1)
    for i in range(1, N + 1):
        if not use[i]:
            continue
        for j in range(1, NP + 1):
            xij = X[j][i]
            nj = normal[j]
            for k in range(1, NP + 1):
                nj[k] = X[k][i] * xij + nj[k]
            v[j] = y[i] * xij + v[j]
    block = [[0.0] * (NP + 1) for _ in range(NP + 1)]
    for j in range(1, NP + 1):
        for k in range(j, NP + 1):
            block[j][k] = normal[j][k]
            block[k][j] = normal[j][k]
    invert_in_place(block, NP)
    for j in range(1, NP + 1):
        par[j] = dot(block[j][1:NP + 1], v[1:NP + 1])
    for i in range(1, N + 1):
        YF[i] = dot(par[1:NP + 1], [X[k][i] for k in range(1, NP + 1)])


# ---------------------------------------------------------------------------
# Householder step on A[column][row] (200-row columns), rows 1..m, columns 1..nc.

def householder_step(A, m, nc, l, k):
    if k < 1 or k > nc or l < 1 or l > m:
        return
    u = [0.0] * (m + 1)
    colk = A[k]
    s = 0.0
    for i in range(l, m + 1):
        u[i] = colk[i]
        s = colk[i] * colk[i] + s
    sigma = fsqrt(s)
    a = colk[l]
    if sigma < 1.0e-60:
        STATS["householder: column already zero"] += 1
        return
    alpha = math.copysign(abs(sigma), a)
    beta = fdiv(1.0, a * alpha + s)
    u[l] = alpha + u[l]
    # H(i,j) for j >= i computed, mirrored below the diagonal.
    H = [[0.0] * (m + 1) for _ in range(m + 1)]
    for i in range(1, m + 1):
        bu = beta * u[i]
        Hi = H[i]
        for j in range(i, m + 1):
            h = -(bu * u[j])
            if j == i:
                Hi[i] = h + 1.0
            else:
                Hi[j] = h
                H[j][i] = h
    rows = [H[i][1:m + 1] for i in range(1, m + 1)]
    for j in range(1, nc + 1):
        col = A[j]
        src = col[1:m + 1]
        new = [dot(rows[i], src) for i in range(m)]
        col[1:m + 1] = new


# ---------------------------------------------------------------------------
# Model selection fit.

class SelectState:
    """Static storage of the selection fit that outlives one call."""

    def __init__(self):
        self.block = [[0.0] * 51 for _ in range(51)]
        self.vector = [0.0] * 51


def enumerate_subsets(M):
    """The harmonic subsets of the selection fit, in the generator's order.
    Yields 1-based lists [0, s(1), ..., s(L)]; yields None when the first
    extension leaves L outside 1..50 (a cap below 1)."""
    subset = [0] * 64
    L = 0
    while True:
        # Extend.
        while subset[L] < M:
            L += 1
            subset[L] = subset[L - 1] + 1
        if L < 1 or L > 50:
            yield None
            return
        yield subset[:L + 1]
        # Advance.
        L -= 1
        subset[L] += 1
        if L < 1:
            return


def select_and_fit(N, NFUNC, y, use, X, par, YF, M, st):
    """Returns (M, crit)."""
    NP = 2 * NFUNC + 2
    while True:
        # 1. Reset.
        for i in range(1, NP + 3):
            par[i] = 0.0
        best = [0] * 64
        for p in range(1, NP + 3):
            for r in range(1, NP + 3):
                st.block[p][r] = 0.0
            st.vector[p] = 0.0
        for i in range(1, N + 1):
            YF[i] = 0.0
        crit = 9.9e9
        Jst = 0
        Pst = 0
        rejected = False
        for subset in enumerate_subsets(M):
            if subset is None:
                rejected = True
                break
            L = len(subset) - 1
            # 3. Evaluate subset(1..L).
            nc = 2 * L + 3
            Z = [[0.0] * 201 for _ in range(nc + 1)]
            n = 0
            for i in range(1, N + 1):
                if use[i]:
                    n += 1
                    Z[1][n] = X[1][i]
                    Z[2][n] = X[2][i]
                    for kk in range(1, L + 1):
                        Z[2 * kk + 1][n] = X[2 * subset[kk] + 1][i]
                        Z[2 * kk + 2][n] = X[2 * subset[kk] + 2][i]
                    Z[nc][n] = y[i]
            for j in range(1, nc + 1):
                householder_step(Z, n, nc, j, j)
            zc = Z[nc]
            RSS = zc[nc] * zc[nc]
            for J in range(L, 0, -1):
                if J < L:
                    a = zc[2 * J + 3]
                    b = zc[2 * J + 4]
                    RSS = (a * a + RSS) + b * b
                v = fdiv(RSS, float(n))
                if not v > 1.0e-20:
                    STATS["select: prefix not scored"] += 1
                if v > 1.0e-20:
                    crit_J = float(n) * flog(fdiv((PI4 * 2.0) * RSS, float(n))) \
                        + float(n) + float(4 * J + 6)
                    if crit_J < crit:
                        crit = crit_J
                        Jst = J
                        Pst = 2 * J + 2
                        for q in range(1, L + 1):
                            best[q] = subset[q]
                        for p in range(1, Pst + 1):
                            for r in range(1, Pst + 1):
                                st.block[p][r] = Z[r][p]
                            st.vector[p] = zc[p]
        if not rejected:
            # 5. Solve the retained model.
            invert_in_place(st.block, Pst)
            vec = st.vector[1:Pst + 1]
            for J in range(0, Jst + 1):
                q = 1 if J == 0 else 2 * best[J] + 1
                par[q] = dot(st.block[2 * J + 1][1:Pst + 1], vec)
                par[q + 1] = dot(st.block[2 * J + 2][1:Pst + 1], vec)
            # 6. Fitted series.
            pv = par[1:NP + 1]
            for i in range(1, N + 1):
                YF[i] = dot(pv, [X[K][i] for K in range(1, NP + 1)])
            # 7./8. Range test; a not-a-number value fails it.
            lo = 9.0e9
            hi = -9.0e9
            has_nan = False
            for i in range(1, N + 1):
                if YF[i] != YF[i]:
                    has_nan = True
                if YF[i] < lo:
                    lo = YF[i]
                if YF[i] > hi:
                    hi = YF[i]
            if Pst == 0:
                STATS["select: no model retained"] += 1
            if has_nan:
                STATS["select: NaN in fitted series"] += 1
            if not has_nan and lo >= 0.0 and hi <= 1.0:
                STATS["select: accepted at cap %d" % M] += 1
                return M, crit
        STATS["select: attempt rejected"] += 1
        # 9. Reject.
        if M > 1:
            M -= 1
            continue
        for i in range(1, NP + 1):
            par[i] = 0.0
        for i in range(1, N + 1):
            YF[i] = -1.0
        STATS["select: gave up"] += 1
        return -1, crit


# ---------------------------------------------------------------------------
# Gap filling and envelope filters.

def interpolate_linear(x1, x2, y1, y2, x):
    dx = x2 - x1
    if abs(dx) < 1e-10 or x < x1 or x > x2:
        raise RuntimeError("interpolate_linear outside its limits")
    slope = fdiv(y2 - y1, dx)
    return (x - x1) * slope + y1


def fill_gaps(NB, series, status, max_gap):
    cp = list(series)
    prev = cp[1]
    if status[1] > 0:
        L = 1
        status[1] = 1
    else:
        L = 0
        cp[1] = 0.0
        status[1] = 0
    for i in range(2, NB + 1):
        cur = cp[i]
        if status[i] > 0:
            gap = i - L
            if gap > max_gap:
                max_gap = gap
            if gap > 1 and L > 0:
                for k in range(1, gap):
                    j = i - k
                    cp[j] = interpolate_linear(float(L), float(i), prev, cur, float(j))
                    status[j] = 2
            L = i
            prev = cur
        else:
            cp[i] = 0.0
    for i in range(1, NB + 1):
        series[i] = cp[i]
    return max_gap


def _padded(NB, NWIN, series):
    e = [0.0] * (NB + 2 * NWIN + 1)
    for k in range(1, NWIN + 1):
        e[k] = series[1]
    for k in range(1, NB + 1):
        e[NWIN + k] = series[k]
    for k in range(1, NWIN + 1):
        e[NWIN + NB + k] = series[NB]
    return e


def fill_dips(NB, NWIN, series):
    e = _padded(NB, NWIN, series)
    for k in range(1, NB + 1):
        fwd = -9.9e99
        bwd = -9.9e99
        for j in range(0, NWIN + 1):
            if fwd < e[NWIN + k + j]:
                fwd = e[NWIN + k + j]
            if bwd < e[NWIN + k - j]:
                bwd = e[NWIN + k - j]
        series[k] = bwd if bwd <= fwd else fwd
        if series[k] <= -1e10:
            series[k] = 0.0


def clip_peaks(NB, NWIN, series):
    e = _padded(NB, NWIN, series)
    for k in range(1, NB + 1):
        fwd = 9.9e99
        bwd = 9.9e99
        for j in range(0, NWIN + 1):
            if fwd > e[NWIN + k + j]:
                fwd = e[NWIN + k + j]
            if bwd > e[NWIN + k - j]:
                bwd = e[NWIN + k - j]
        series[k] = bwd if bwd >= fwd else fwd
        if series[k] > 1e10:
            series[k] = 0.0


# ---------------------------------------------------------------------------
# Per-pixel reconstruction.

class PixelState:
    def __init__(self):
        self.preliminary = [0.0] * 201   # kept from one pixel to the next
        self.select = SelectState()


def amplitude_phase(sk, ck):
    """Amplitude and phase of sk * sin(x) + ck * cos(x) as A * sin(x + phi)."""
    p = PI4
    A = fsqrt(sk * sk + ck * ck)
    if A <= 1e-40:
        STATS["pixel: harmonic absent"] += 1
        return 0.0, 0.0
    ss = math.copysign(1.0, sk)
    sc = math.copysign(1.0, ck)
    if abs(sk) < 1e-10:
        STATS["pixel: quarter-turn phase"] += 1
        phi = p * 0.5 * ss * sc
    else:
        if ss < 0 and sc < 0:
            offset = -p
        elif ss < 0 and sc > 0:
            offset = p
        else:
            offset = 0.0
        phi = math.atan(fdiv(ck, sk)) + offset
    return A, phi


def round_extreme(x):
    """A scaled minimum or maximum back in raw units."""
    return trunc_i32(x * 4096.0 + ROUND_OFFSET)


def reconstruct_pixel(rp, X, Y, W, out_fitted, out_interp, out_params, ps):
    """Returns (pixel_max, pixel_min, pixel_criterion, pixel_order)."""
    NB, NFUNC, NP, NWIN = rp.NB, rp.NFUNC, rp.NP, rp.NWIN
    MMSW, INTP, MASK, FITSW, FITMD = rp.MMSW, rp.INTP, rp.MASK, rp.FITSW, rp.FITMD
    excl = rp.excluded_bands[1:rp.excluded_count + 1]

    def filter_rule(work):
        if MMSW > 0 and FITMD == 0:
            fill_dips(NB, NWIN, work)
        elif MMSW > 0 and FITMD == 1:
            clip_peaks(NB, NWIN, work)

    scaled = [0.0] * 201
    work = [0.0] * 201
    fitted = [0.0] * 201
    coef = [0.0] * 51
    status = [0] * 201
    use = [False] * 201
    # 1. Reset.
    for i in range(1, NB + 1):
        scaled[i] = 0.0
        out_fitted[i] = 0.0
        status[i] = 1
        use[i] = True
    for j in range(1, NP + 1):
        out_params[j] = 0.0
        coef[j] = 0.0
    max_gap = 0
    for b in excl:
        status[b] = 0
        use[b] = False
    # 2. Raw screening and scaling.
    for i in range(1, NB + 1):
        if Y[i] > 1536:
            status[i] = 0
            W[i] = 0
        if i >= 2:
            d = wrap16(Y[i] - Y[i - 1])
            if d > 512:
                status[i] = 0
                W[i] = 0
        scaled[i] = Y[i] / 4096.0
        work[i] = scaled[i]
    # 3. Preliminary pass.
    if MASK != 1:
        if rp.excluded_count > 0:
            max_gap = fill_gaps(NB, work, status, max_gap)
        filter_rule(work)
        fit_fixed_order(NB, 3, work, use, X, coef, fitted)
        for i in range(1, NB + 1):
            ps.preliminary[i] = fitted[i]
        for i in range(1, NB + 1):
            r = scaled[i] - fitted[i]
            work[i] = scaled[i]
            if RESIDUAL_HOOK is not None:
                RESIDUAL_HOOK(i, r)
            if r == rp.lower_threshold or r == rp.upper_threshold:
                STATS["pixel: residual equal to a threshold"] += 1
            if r != r:
                STATS["pixel: residual not a number"] += 1
            if r >= rp.lower_threshold and r <= rp.upper_threshold:
                status[i] = 1
                use[i] = True
            else:
                status[i] = 0
                use[i] = False
    # 4. Final pass.
    for b in excl:
        status[b] = 0
        use[b] = False
    if MASK == 1:
        for i in range(1, NB + 1):
            status[i] = W[i]
    max_gap = fill_gaps(NB, work, status, max_gap)
    if INTP > 0:
        for i in range(1, NB + 1):
            out_interp[i] = ps.preliminary[i]
    model_order = NFUNC
    if max_gap > 7 and NFUNC > 3:
        STATS["pixel: gap caps the order"] += 1
    if max_gap > 7 and model_order > 5:
        model_order = 5
    if max_gap > 13 and model_order > 4:
        model_order = 4
    if max_gap > 19 and model_order > 3:
        model_order = 3
    filter_rule(work)
    if FITSW > 0:
        for i in range(1, NB + 1):
            use[i] = status[i] == 1
    model_order, criterion = select_and_fit(NB, NFUNC, work, use, X, coef, fitted,
                                            model_order, ps.select)
    pixel_criterion = criterion
    pixel_order = model_order
    # 5. Failure test.
    if criterion == 0.0 or model_order <= 1:
        STATS["pixel: no model"] += 1
        for i in range(1, NB + 1):
            out_fitted[i] = 0.0
        for j in range(1, NP + 1):
            out_params[j] = 0.0
        pixel_max = 0
        pixel_min = 0
    else:
        # 6. Fitted series and extremes.
        mx = -9900000000.0
        mn = 9900000000.0
        for i in range(1, NB + 1):
            v = fitted[i]
            out_fitted[i] = v
            if v > mx:
                mx = v
            if v < mn:
                mn = v
        if mx < 0.0:
            mx = 0.0
        if mn > 10.0:
            mn = 0.0
        # 7. Parameters.
        out_params[1] = coef[1]
        out_params[2] = coef[2]
        for k in range(1, NFUNC + 1):
            A, phi = amplitude_phase(coef[2 * k + 1], coef[2 * k + 2])
            out_params[2 * k + 1] = A
            out_params[2 * k + 2] = phi
        # 8. Rounding of the extremes.
        pixel_min = round_extreme(mn)
        pixel_max = round_extreme(mx)
    # 9. Weights out.
    for i in range(1, NB + 1):
        W[i] = 1 if use[i] else 0
    return pixel_max, pixel_min, pixel_criterion, pixel_order


# ---------------------------------------------------------------------------
# Products.

class Product:
    """An output file built in memory record by record."""

    def __init__(self, reclen):
        self.reclen = reclen
        self.data = bytearray()

    def put(self, record, payload):
        off = (record - 1) * self.reclen
        end = off + self.reclen
        if len(self.data) < end:
            self.data.extend(b"\0" * (end - len(self.data)))
        self.data[off:end] = payload


def series_to_raw(x):
    t = x * 4096.0 + 0.5
    if t != t or not (-2147483649.0 < t < 2147483648.0):
        STATS["product: series value outside the integer range"] += 1
    elif not (-32768.0 <= t < 32768.0):
        STATS["product: series value wraps"] += 1
    return wrap16(trunc_i32(t))


def aic_to_f32(x):
    v = f32(x)
    if abs(x) > 1.0e8:
        STATS["product: criterion above 1e8 written as 0"] += 1
        v = 0.0
    return v


def run(workdir, outdir=None, progress=None):
    """Reconstructs WORKDIR's cube; writes the products into OUTDIR.
    Returns a short text saying how the run ended."""
    outdir = outdir or workdir
    rp = read_run_parameters(os.path.join(workdir, "cntl.dat"))
    derive_run_parameters(rp)
    if rp.stopped:
        return "stopped after the control file"
    NB, NL, NS, NP = rp.NB, rp.NL, rp.NS, rp.NP
    X = build_function_matrix(NB, rp.NPOINT, rp.NFUNC)
    with open(os.path.join(workdir, "data.bsq"), "rb") as fh:
        data = fh.read()
    mask = b""
    if rp.MASK == 1:
        with open(os.path.join(workdir, "mask.bsq"), "rb") as fh:
            mask = fh.read()
    names = ["p.bsq"] + (["i.bsq"] if rp.INTP == 1 else []) + \
        ["f.bsq", "order.dat", "aic.dat", "min.dat", "max.dat"]
    reclens = {"p.bsq": 4, "i.bsq": 2, "f.bsq": 2, "order.dat": 1,
               "aic.dat": 4, "min.dat": 2, "max.dat": 2}
    prods = {n: Product(reclens[n]) for n in names}
    ps = PixelState()
    pixel_interpolated = [0.0] * 201
    ending = "complete"
    plane = NL * NS
    for line in range(1, NL + 1):
        if progress:
            progress(line, NL)
        # Read the line, band by band; a negative value ends the run.
        data_line = [[0] * (NB + 1) for _ in range(NS + 1)]
        negative = False
        for b in range(1, NB + 1):
            r = (b - 1) * plane + (line - 1) * NS
            for s in range(1, NS + 1):
                r += 1
                (v,) = struct.unpack_from("<h", data, (r - 1) * 2)
                data_line[s][b] = v
                if v < 0:
                    negative = True
                    break
            if negative:
                break
        if negative:
            ending = "negative value in line %d" % line
            break
        mask_line = None
        if rp.MASK == 1:
            mask_line = [[0] * (NB + 1) for _ in range(NS + 1)]
            for b in range(1, NB + 1):
                r = (b - 1) * plane + (line - 1) * NS
                for s in range(1, NS + 1):
                    r += 1
                    mask_line[s][b] = mask[r - 1]
        param_line = []
        fit_line = []
        interp_line = []
        order_line = []
        aic_line = []
        min_line = []
        max_line = []
        for s in range(1, NS + 1):
            Y = data_line[s]
            W = [1] * (NB + 1)
            if rp.MASK == 1:
                W = list(mask_line[s])
            fitted = [0.0] * 201
            params = [0.0] * 201
            pmax, pmin, pcrit, porder = reconstruct_pixel(
                rp, X, Y, W, fitted, pixel_interpolated, params, ps)
            interp_line.append(pixel_interpolated[1:NB + 1])
            fit_line.append(fitted[1:NB + 1])
            param_line.append(params[1:NP + 1])
            aic_line.append(pcrit)
            order_line.append(wrap16(porder))
            max_line.append(wrap16(pmax))
            min_line.append(wrap16(pmin))
        # Write line `line` of every product.
        for b in range(1, NP + 1):
            r = (b - 1) * plane + (line - 1) * NS
            for s in range(1, NS + 1):
                prods["p.bsq"].put(r + s, struct.pack("<f", f32(param_line[s - 1][b - 1])))
        cubes = [("f.bsq", fit_line)]
        if rp.INTP == 1:
            cubes.insert(0, ("i.bsq", interp_line))
        for name, buf in cubes:
            for b in range(1, NB + 1):
                r = (b - 1) * plane + (line - 1) * NS
                for s in range(1, NS + 1):
                    prods[name].put(r + s, struct.pack("<h", series_to_raw(buf[s - 1][b - 1])))
        r0 = (line - 1) * NS
        for s in range(1, NS + 1):
            prods["order.dat"].put(r0 + s, struct.pack("<b", wrap8(order_line[s - 1])))
            prods["aic.dat"].put(r0 + s, struct.pack("<f", aic_to_f32(aic_line[s - 1])))
            prods["min.dat"].put(r0 + s, struct.pack("<h", min_line[s - 1]))
            prods["max.dat"].put(r0 + s, struct.pack("<h", max_line[s - 1]))
    os.makedirs(outdir, exist_ok=True)
    for name in names:
        with open(os.path.join(outdir, name), "wb") as fh:
            fh.write(prods[name].data)
    return ending


def main(argv):
    if len(argv) not in (2, 3) or argv[1] in ("-h", "--help"):
        sys.stderr.write("usage: tsrecon_ref.py WORKDIR [OUTDIR]\n")
        return 2
    ending = run(argv[1], argv[2] if len(argv) == 3 else None)
    print(ending)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
