#!/usr/bin/env python3
"""Differential test: tsrecon against the reference reconstruction.

Generates small random cubes with their control files (seasonal series with
clouds, spikes, raw values at the 1536 ceiling, rises of 512 and 513,
all-missing and constant pixels, excluded bands, masks, and variations of
every control switch), runs the real tsrecon in a scratch directory, runs
tsrecon_ref.py on the same inputs, and compares every product byte for byte.
On a difference it names the product, the pixel, the band and both values.

Usage:
    compare_products.py --tsrecon PATH [--cases N] [--seed S]
                        [--keep DIR] [--only K] [--budget B]
Exit status 0 when every product of every case is identical.
"""

import argparse
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True      # keep the source folder clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tsrecon_ref  # noqa: E402

PRODUCTS = ["p.bsq", "i.bsq", "f.bsq", "order.dat", "aic.dat", "min.dat", "max.dat"]
# (record length, struct format, is a cube)
LAYOUT = {
    "p.bsq": (4, "<f", True),
    "i.bsq": (2, "<h", True),
    "f.bsq": (2, "<h", True),
    "order.dat": (1, "<b", False),
    "aic.dat": (4, "<f", False),
    "min.dat": (2, "<h", False),
    "max.dat": (2, "<h", False),
}


# ---------------------------------------------------------------------------
# Case generation.

class Case:
    def __init__(self, name):
        self.name = name
        self.nb = 0
        self.nl = 0
        self.ns = 0
        self.groups = {"DATA": [], "CONTRL": [], "NPT": []}
        self.band_records = []
        self.values = {}       # (band, line, sample) -> raw value
        self.mask = None       # (band, line, sample) -> byte, or None
        self.notes = []

    def cntl_text(self, rng):
        lines = [str(self.nb), "%d %d" % (self.nl, self.ns)]
        for g in ("DATA", "CONTRL", "NPT"):
            items = self.groups[g]
            if items and rng.random() < 0.3:
                # Spread the group over several records.
                body = ",\n ".join("%s=%s" % kv for kv in items)
                lines.append("&%s\n %s,\n/" % (g, body))
            else:
                body = ", ".join("%s=%s" % kv for kv in items)
                lines.append("&%s %s /" % (g, body) if body else "&%s /" % g)
        lines.extend(str(b) for b in self.band_records)
        return "\n".join(lines) + "\n"

    def data_bytes(self):
        out = bytearray()
        for b in range(1, self.nb + 1):
            for l in range(1, self.nl + 1):
                for s in range(1, self.ns + 1):
                    out += struct.pack("<h", self.values[(b, l, s)])
        return bytes(out)

    def mask_bytes(self):
        out = bytearray()
        for b in range(1, self.nb + 1):
            for l in range(1, self.nl + 1):
                for s in range(1, self.ns + 1):
                    out.append(self.mask[(b, l, s)])
        return bytes(out)


def clamp_raw(v):
    return max(0, min(32767, int(v)))


def seasonal_series(rng, nb, npoint):
    """A vegetation-like curve in raw units (0.1..0.35 of 4096) with noise."""
    import math
    base = rng.uniform(250, 900)
    amp = rng.uniform(0, 450)
    period = npoint if rng.random() < 0.7 else rng.uniform(4, 2 * nb)
    phase = rng.uniform(0, 2 * math.pi)
    trend = rng.uniform(-8, 8)
    amp2 = rng.uniform(0, 120)
    noise = rng.choice([0, 2, 10, 30])
    out = []
    for t in range(1, nb + 1):
        v = base + amp * math.sin(2 * math.pi * t / period + phase) + trend * t \
            + amp2 * math.cos(4 * math.pi * t / period + phase)
        if noise:
            v += rng.gauss(0, noise)
        out.append(clamp_raw(v))
    return out


def disturb(rng, y):
    """Clouds, spikes, ceiling values, rises of 512/513, runs of no-data."""
    nb = len(y)
    for t in range(nb):
        u = rng.random()
        if u < 0.08:
            y[t] = clamp_raw(y[t] * rng.uniform(0.05, 0.6))          # cloud dip
        elif u < 0.12:
            y[t] = rng.randint(1537, 9000)                           # above ceiling
        elif u < 0.15:
            y[t] = rng.choice([1536, 1537, 1535])                    # at the ceiling
        elif u < 0.19 and t > 0:
            y[t] = clamp_raw(y[t - 1] + rng.choice([511, 512, 513, 514]))  # rise limit
        elif u < 0.21:
            y[t] = 0
    if rng.random() < 0.3:
        start = rng.randrange(nb)
        length = rng.randint(1, max(1, nb // 2))
        fill = rng.choice([0, 20000, 1537, 32767])
        for t in range(start, min(nb, start + length)):
            y[t] = fill
    return y


def pixel_series(rng, nb, npoint):
    kind = rng.random()
    if kind < 0.06:
        return [rng.randint(1537, 32767) for _ in range(nb)], "all above ceiling"
    if kind < 0.09:
        return [0] * nb, "all zero"
    if kind < 0.12:
        c = rng.choice([1, 409, 1536, 4096])
        return [c] * nb, "constant %d" % c
    if kind < 0.16:
        return [rng.randint(0, 32767) for _ in range(nb)], "white noise"
    if kind < 0.20:
        # Small values near zero: fits that dip below 0.0.
        return [rng.choice([0, 0, 1, 2, 30, 80]) for _ in range(nb)], "near zero"
    if kind < 0.24:
        # Bright values near the top of the accepted range: fits above 1.0 rejected.
        return [rng.choice([3900, 4096, 4200, 1536, 1200]) for _ in range(nb)], "bright"
    y = seasonal_series(rng, nb, npoint)
    if kind < 0.36:
        # A long interior run of no-data: the longest gap caps the order.
        # Runs of 6/7, 12/13 and 18/19 samples give gaps on either side of
        # the cap thresholds 7, 13 and 19; a leading run counts one more.
        length = min(nb - 2, rng.choice([6, 7, 8, 12, 13, 18, 19, rng.randint(6, nb)]))
        start = 0 if rng.random() < 0.35 else rng.randint(1, max(1, nb - length - 1))
        fill = rng.choice([20000, 1537, 9000])
        for t in range(start, min(nb - 1, start + length)):
            y[t] = fill
        return y, "long gap"
    if rng.random() < 0.75:
        y = disturb(rng, y)
        return y, "seasonal, disturbed"
    return y, "seasonal"


def mask_series(rng, nb):
    kind = rng.random()
    if kind < 0.08:
        return [0] * nb
    if kind < 0.12:
        return [rng.randint(0, 255) for _ in range(nb)]
    if kind < 0.2 and nb > 10:
        out = [1] * nb
        length = min(nb - 3, rng.choice([6, 7, 8, 12, 13, 18, 19, rng.randint(6, nb)]))
        start = 0 if rng.random() < 0.35 else rng.randint(1, nb - length - 1)
        for t in range(start, start + length):
            out[t] = 0
        return out
    out = []
    for _ in range(nb):
        u = rng.random()
        out.append(1 if u < 0.75 else 0 if u < 0.9 else rng.choice([2, 5, 255, 3]))
    return out


def gap_mask(rng, nb):
    """Ones with one run of zeros whose length puts the longest gap just
    below or just above an order-cap threshold."""
    out = [1] * nb
    length = rng.choice([n for n in (6, 7, 8, 12, 13, 14, 18, 19, 20) if n <= nb - 2])
    start = 0 if rng.random() < 0.3 else rng.randint(1, nb - length - 1)
    for t in range(start, start + length):
        out[t] = 0
    if rng.random() < 0.3:
        out[rng.randrange(nb)] = 0
    return out


def pick(rng, options):
    """options: list of (weight, value)."""
    total = sum(w for w, _ in options)
    x = rng.random() * total
    for w, v in options:
        x -= w
        if x < 0:
            return v
    return options[-1][1]


def make_case(seed, index, budget, large=False):
    rng = random.Random(seed * 1000003 + index)
    c = Case("case%03d" % index)
    # A fifth of the cases aim at the order cap: smooth series under a mask
    # whose runs of zeros give longest gaps on either side of 7, 13 and 19.
    gap_case = not large and rng.random() < 0.2
    if gap_case:
        nfunc = rng.choice([4, 5, 6])
        nb = rng.randint(12, 24)
    elif large:
        # Long series: the 200-row layouts and wide filter windows.
        nfunc = pick(rng, [(1, 1), (3, 2), (3, 3), (1, 4)])
        nb = rng.randint(60, 200)
    else:
        nfunc = pick(rng, [(1, 0), (2, 1), (3, 2), (4, 3), (4, 4), (3, 5), (3, 6)])
        nb = rng.randint(8, 24)
    npoint = pick(rng, [(8, 46), (4, 23), (4, nb), (2, 12), (2, 10), (2, 7), (2, 36),
                        (1, 1), (1, 2), (1, 3), (1, 4), (1, 6), (1, 5)])
    c.nb = nb
    # Keep the work of the reference bounded: the selection fit costs about
    # NB^2 * 2^(NFUNC-1) per attempt.
    per_pixel = nb * nb * (2 ** max(nfunc - 1, 0)) * (1 + max(nfunc - 2, 0))
    pixels = max(2, min(40, int(budget / per_pixel)))
    c.nl = rng.randint(1, 3)
    # Every tenth case holds a negative raw value, which ends the run.
    negative = index % 10 == 7
    if negative:
        c.nl = max(2, c.nl)
    c.ns = max(1, pixels // c.nl)
    c.notes.append("NB=%d NL=%d NS=%d NFUNC=%d NPOINT=%d" % (nb, c.nl, c.ns, nfunc, npoint))

    data = c.groups["DATA"]
    if nfunc != 6 or rng.random() < 0.5:
        data.append(("NFUNC", str(nfunc)))
    if rng.random() < 0.2:
        data.append(("NDAT", str(rng.randint(0, 99))))
    excluded = []
    if rng.random() < 0.4:
        ndef = rng.randint(1, min(nb, 6))
        for _ in range(ndef):
            u = rng.random()
            if u < 0.1:
                excluded.append(rng.choice([0, nb + 1, -3]))      # dropped
            elif u < 0.2 and excluded:
                excluded.append(excluded[-1])                      # duplicate
            else:
                excluded.append(rng.choice([1, nb, rng.randint(1, nb)]))
        data.append(("NDEF", str(ndef)))
        c.band_records = excluded
    if rng.random() < 0.1:
        data.append(("ISPOT", "7"))
    rng.shuffle(data)

    ctl = c.groups["CONTRL"]
    nwin = pick(rng, [(2, None), (2, 0), (3, 1), (3, 2), (1, 4), (1, 6)])
    if large and rng.random() < 0.3:
        nwin = (243 - nb) // 2
    if nwin is not None:
        ctl.append(("NWIN", str(nwin)))
    intp = pick(rng, [(2, None), (4, 1), (2, 0), (1, 2)])
    if intp is not None:
        ctl.append(("INTP", str(intp)))
    mmsw = pick(rng, [(3, None), (2, 1), (2, 0), (1, -1), (1, 2)])
    if mmsw is not None:
        ctl.append(("MMSW", mmsw))
    tcld = pick(rng, [(3, None), (2, "0.1"), (1, "0.05"), (1, "0.2"), (1, "1"),
                      (1, ".2D0"), (1, "0.07"), (1, "0.025"), (1, "1.5e-1"),
                      (0.3, "0"), (0.3, "-0.1"), (0.3, "1e-300"), (0.3, "100")])
    if tcld is not None:
        ctl.append(("TCLD", tcld))
    fitsw = pick(rng, [(3, None), (2, "1"), (2, "0"), (1, "-1"), (1, "2"), (1, "257")])
    if fitsw is not None:
        ctl.append(("FITSW", fitsw))
    mask = pick(rng, [(3, None), (2, 0), (4, 1), (1, 2)])
    if gap_case:
        mask = 1
        fitsw = pick(rng, [(3, "1"), (1, "0")])
        ctl[:] = [kv for kv in ctl if kv[0] != "FITSW"] + [("FITSW", fitsw)]
        c.notes.append("order-cap case")
    if mask is not None:
        ctl.append(("MASK", str(mask)))
    fitmd = pick(rng, [(3, None), (2, "0"), (3, "1"), (2, "2"), (1, "-1"), (1, "255"),
                       (1, "256")])
    if fitmd is not None:
        ctl.append(("FITMD", fitmd))
    if rng.random() < 0.1:
        ctl.append(("SELECT", "257"))
    rng.shuffle(ctl)
    if npoint != 46 or rng.random() < 0.5:
        c.groups["NPT"].append(("NPOINT", str(npoint)))
    c.notes.append("CONTRL " + " ".join("%s=%s" % kv for kv in ctl)
                   + (" excluded=%s" % excluded if excluded else ""))

    for l in range(1, c.nl + 1):
        for s in range(1, c.ns + 1):
            if gap_case:
                y = seasonal_series(rng, nb, npoint)
            else:
                y, _ = pixel_series(rng, nb, npoint)
            for b in range(1, nb + 1):
                c.values[(b, l, s)] = y[b - 1]
    if mask == 1:
        c.mask = {}
        for l in range(1, c.nl + 1):
            for s in range(1, c.ns + 1):
                m = gap_mask(rng, nb) if gap_case else mask_series(rng, nb)
                for b in range(1, nb + 1):
                    c.mask[(b, l, s)] = m[b - 1]
    # Now and then a negative raw value, which ends the run during its line.
    if negative:
        b = rng.randint(1, nb)
        s = rng.randint(1, c.ns)
        c.values[(b, c.nl, s)] = -rng.randint(1, 32768)
        c.notes.append("negative value at band %d line %d sample %d" % (b, c.nl, s))
    if mask != 1 and rng.random() < 0.15:
        set_threshold_at_residual(c, rng)
    c.cntl = c.cntl_text(rng)
    return c


def set_threshold_at_residual(c, rng):
    """Chooses TCLD so that one residual of the preliminary fit of one pixel
    lies exactly on the upper or the lower screening threshold."""
    text = c.cntl_text(random.Random(0))
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "cntl.dat")
        with open(path, "w") as fh:
            fh.write(text)
        rp = tsrecon_ref.read_run_parameters(path)
    tsrecon_ref.derive_run_parameters(rp)
    if rp.stopped:
        return
    x = tsrecon_ref.build_function_matrix(rp.NB, rp.NPOINT, rp.NFUNC)
    l, s = rng.randint(1, c.nl), rng.randint(1, c.ns)
    y = [0] + [c.values[(b, l, s)] for b in range(1, c.nb + 1)]
    residuals = []
    tsrecon_ref.RESIDUAL_HOOK = lambda band, r: residuals.append(r)
    saved = tsrecon_ref.STATS.copy()
    try:
        tsrecon_ref.reconstruct_pixel(rp, x, y, [0] + [1] * c.nb, [0.0] * 201,
                                      [0.0] * 201, [0.0] * 201, tsrecon_ref.PixelState())
    finally:
        tsrecon_ref.RESIDUAL_HOOK = None
        tsrecon_ref.STATS.clear()
        tsrecon_ref.STATS.update(saved)
    residuals = [r for r in residuals if r == r and r != 0.0 and abs(r) < 1.0]
    if not residuals:
        return
    r = rng.choice(residuals)
    if rp.FITMD == 1:
        tcld = r if r > 0 else -r / 2.0
    elif rp.FITMD == 2:
        tcld = abs(r)
    else:
        tcld = r / 2.0 if r > 0 else -r
    ctl = [kv for kv in c.groups["CONTRL"] if kv[0] != "TCLD"]
    ctl.append(("TCLD", repr(tcld)))
    c.groups["CONTRL"] = ctl
    c.notes.append("TCLD=%r puts the residual %r of line %d sample %d on a threshold"
                   % (tcld, r, l, s))


# ---------------------------------------------------------------------------
# Running and comparing.

def record_position(name, record, nl, ns):
    plane = nl * ns
    r = record - 1
    if LAYOUT[name][2]:
        band = r // plane + 1
        r %= plane
    else:
        band = 1
    return band, r // ns + 1, r % ns + 1


def describe(name, payload):
    reclen, fmt, _ = LAYOUT[name]
    if len(payload) < reclen:
        return "<missing>"
    (v,) = struct.unpack(fmt, payload)
    if fmt == "<f":
        return "%r (bits %08x)" % (v, struct.unpack("<I", payload)[0])
    return repr(v)


def compare_case(case, progdir, refdir):
    """Returns a list of difference descriptions (empty when identical)."""
    diffs = []
    for name in PRODUCTS:
        p = os.path.join(progdir, name)
        r = os.path.join(refdir, name)
        if os.path.exists(p) != os.path.exists(r):
            diffs.append("%s: exists for tsrecon=%s, reference=%s"
                         % (name, os.path.exists(p), os.path.exists(r)))
            continue
        if not os.path.exists(p):
            continue
        with open(p, "rb") as fh:
            a = fh.read()
        with open(r, "rb") as fh:
            b = fh.read()
        if a == b:
            continue
        reclen = LAYOUT[name][0]
        n = min(len(a), len(b))
        first = next((i for i in range(n) if a[i] != b[i]), n)
        record = first // reclen + 1
        off = (record - 1) * reclen
        band, line, sample = record_position(name, record, case.nl, case.ns)
        count = sum(1 for i in range(0, max(len(a), len(b)), reclen)
                    if a[i:i + reclen] != b[i:i + reclen])
        diffs.append("%s: %d records differ (sizes %d/%d); first at record %d = "
                     "band %d, line %d, sample %d: tsrecon %s, reference %s"
                     % (name, count, len(a), len(b), record, band, line, sample,
                        describe(name, a[off:off + reclen]),
                        describe(name, b[off:off + reclen])))
    return diffs


def run_case(case, tsrecon, root):
    workdir = os.path.join(root, case.name, "run")
    refdir = os.path.join(root, case.name, "ref")
    os.makedirs(workdir)
    with open(os.path.join(workdir, "cntl.dat"), "w") as fh:
        fh.write(case.cntl)
    with open(os.path.join(workdir, "data.bsq"), "wb") as fh:
        fh.write(case.data_bytes())
    if case.mask is not None:
        with open(os.path.join(workdir, "mask.bsq"), "wb") as fh:
            fh.write(case.mask_bytes())
    # The reference reads the inputs before tsrecon adds its products.
    ending = tsrecon_ref.run(workdir, refdir)
    proc = subprocess.run([tsrecon], cwd=workdir, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=120)
    problems = []
    err = proc.stderr.decode(errors="replace").strip()
    out = proc.stdout.decode(errors="replace")
    # A complete run ends through the normal stop: exit status 0 and nothing on
    # standard error. The stop on a negative raw value keeps its console line
    # but must not look like a success: exit status 1 and one line on standard
    # error that names the file and the place.
    if ending.startswith("negative"):
        if proc.returncode != 1 or len(err.splitlines()) != 1 or not err.startswith(
                "tsrecon: data.bsq band ") or "line %s " % ending.split()[-1] not in err:
            problems.append("run ending with %s: expected exit status 1 and one standard error "
                            "line naming data.bsq, got exit status %d and standard error %r"
                            % (ending, proc.returncode, err))
    elif proc.returncode != 0 or err:
        problems.append("run ending with %s: expected exit status 0 and an empty standard "
                        "error, got exit status %d and standard error %r"
                        % (ending, proc.returncode, err))
    if ending == "complete" and "Program Deadified" not in out:
        problems.append("tsrecon did not report the end of a complete run")
    if ending.startswith("negative"):
        # The stop writes one console line with NL and NS, 12 columns each.
        expected = "%12d%12d" % (case.nl, case.ns)
        last = out.rstrip("\r\n").split("\n")[-1].rstrip("\r")
        if last != expected:
            problems.append("last console line %r, expected %r" % (last, expected))
    problems.extend(compare_case(case, workdir, refdir))
    return problems, ending


def main(argv):
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--tsrecon", required=True, help="path of the tsrecon executable")
    ap.add_argument("--cases", type=int, default=30)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--only", type=int, default=None, help="run only this case index")
    ap.add_argument("--keep", default=None, help="copy failing cases into this directory")
    ap.add_argument("--budget", type=float, default=100000.0,
                    help="work allowance per case (larger: more pixels)")
    ap.add_argument("--large", action="store_true",
                    help="long series (NB 60..200) with few pixels; slow")
    ap.add_argument("--stats", action="store_true",
                    help="print how often the reference took its rarer branches")
    ap.add_argument("-v", "--verbose", action="store_true")
    args = ap.parse_args(argv[1:])
    tsrecon = os.path.abspath(args.tsrecon)
    if not os.access(tsrecon, os.X_OK):
        print("not an executable: %s" % tsrecon)
        return 2
    indices = [args.only] if args.only is not None else range(args.cases)
    passed = failed = 0
    start = time.time()
    root = tempfile.mkdtemp(prefix="tsrecon-ref-")
    try:
        for k in indices:
            case = make_case(args.seed, k, args.budget, args.large)
            t0 = time.time()
            problems, ending = run_case(case, tsrecon, root)
            tag = "%s (%s; %.1fs)" % (case.name, ending, time.time() - t0)
            if problems:
                failed += 1
                print("FAIL %s" % tag)
                for note in case.notes:
                    print("     %s" % note)
                for p in problems:
                    print("     %s" % p)
                if args.keep:
                    dest = os.path.join(args.keep, "seed%d-%s" % (args.seed, case.name))
                    shutil.rmtree(dest, ignore_errors=True)
                    shutil.copytree(os.path.join(root, case.name), dest)
                    print("     kept in %s" % dest)
            else:
                passed += 1
                if args.verbose:
                    print("ok   %s: %s" % (tag, "; ".join(case.notes)))
            sys.stdout.flush()
    finally:
        shutil.rmtree(root, ignore_errors=True)
    if args.stats:
        for key in sorted(tsrecon_ref.STATS):
            print("  %8d  %s" % (tsrecon_ref.STATS[key], key))
    print("reference comparison: %d cases in %.1fs" % (passed + failed, time.time() - start))
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
