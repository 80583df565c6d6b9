"""tsrecon-import: turns a stack of rasters into a tsrecon job
(`python3 -m tsrecon.importer`, or scripts/tsrecon-import).

Writes data.bsq (16-bit raw values, raw = value x factor) with its ENVI header
data.hdr (georeferencing, band names = the dates, the scaling), optionally
mask.bsq, and a starting cntl.dat. Reads what the files say about themselves:
data type, declared scale and offset, no-data value, dates. Refuses, before
writing anything, what it cannot convert without guessing.
"""

import argparse
import datetime
import os
import re
import statistics
import sys

import numpy as np

from . import _tsrecon
from ._rasters import (run_tool, FACTOR_KEY, RAW_CEILING, RAW_LARGEST, RAW_NO_DATA, RAW_SCALE, UNITS_KEY, Refusal,
                       line_slices, load_gdal, no_side_files, number, percent)

PROG = 'tsrecon-import'
gdal = None  # GDAL's bindings, loaded by main()

# What the user's values can be: raw per unit, and the range of plausible values.
QUANTITIES = {
    'NDVI': (_tsrecon.NDVI_FACTOR, -1.0, 1.0),
    'reflectance': (RAW_SCALE, -0.01, 1.6),
}
INTEGER_SCALE = 10000        # integer products without a declared scale store value x 10000
EIGHT_BIT = ('Byte', 'Int8')
# The settings' defaults, for the NPOINT assumed without dates.
DEFAULTS = {name: default for name, _, default in _tsrecon.SETTINGS_MEMBERS}

DATE_FORMS = (
    re.compile(r'(?<![0-9])([0-9]{4})[-_./:]([0-9]{1,2})[-_./:]([0-9]{1,2})(?![0-9])'),  # 2014-01-31
    re.compile(r'(?<![0-9])([0-9]{4})([0-9]{2})([0-9]{2})(?![0-9])'),                    # 20140131
    re.compile(r'(?<![0-9])([0-9]{4})([0-9]{3})(?![0-9])'),                              # 2014031 (A2014031)
)
# Metadata that may hold the acquisition date, most specific first.
DATE_KEYS = ('acquisitiondate', 'acquisition_date', 'acquisition_start_time', 'rangebeginningdate',
             'start_date', 'sensing_date', 'date')


def parse_args(argv):
    p = argparse.ArgumentParser(
        prog=PROG,
        description='Turns a stack of rasters (any format GDAL reads), one date per band, into a tsrecon job: '
                    'data.bsq with data.hdr, optionally mask.bsq, and a starting cntl.dat.',
        epilog='Several files: every band of every file is one date. Dates come from the file names '
               '(YYYY-MM-DD, YYYYMMDD, YYYYDDD as in A2014001) or from metadata (band descriptions, '
               'ACQUISITIONDATE, TIFFTAG_DATETIME ...); bands are written in time order. '
               'Scaling: declared scale/offset first (physical = stored x scale + offset); integers without '
               'one count as value x 10000 when they lie within -10000..10000; floats as they are. '
               f'NDVI: raw = NDVI x {number(QUANTITIES["NDVI"][0])}; reflectance: raw = reflectance x '
               f'{number(QUANTITIES["reflectance"][0])}. Raw values are rounded to nearest (halves away from zero), '
               f'clipped to 0..{RAW_LARGEST}; missing samples become {RAW_NO_DATA}.')
    kind = p.add_mutually_exclusive_group()
    kind.add_argument('--ndvi', dest='quantity', action='store_const', const='NDVI',
                      help=f'the values are NDVI (the default): raw = NDVI x {number(QUANTITIES["NDVI"][0])}; '
                           'refuses values that cannot be NDVI')
    kind.add_argument('--reflectance', dest='quantity', action='store_const', const='reflectance',
                      help=f'the values are reflectances: raw = reflectance x {number(QUANTITIES["reflectance"][0])}')
    kind.add_argument('--factor', type=float, metavar='F',
                      help='raw = stored value x F, whatever the files declare')
    p.add_argument('--nodata', type=float, metavar='V',
                   help='a stored value that marks missing data (besides the files\' own no-data value; '
                        'NaN is always missing)')
    p.add_argument('--mask', action='store_true', help='also write mask.bsq (1 valid, 0 missing) and set MASK=1')
    p.add_argument('--npoint', type=int, metavar='N',
                   help='time steps per cycle of the first harmonic (default: from the dates)')
    p.add_argument('-o', dest='out', default='.', metavar='DIR', help='job directory (default: the current one)')
    p.add_argument('files', nargs='+', metavar='FILE')
    a = p.parse_args(argv)
    if a.factor is not None and not a.factor > 0:
        p.error('--factor must be a positive number')
    if a.npoint is not None and a.npoint < 1:
        p.error('--npoint must be 1 or more')
    return a


def metadata_value(layer, names):
    """The first of `names` (lower case) in the band's, then the file's metadata."""
    for md in (layer.band.GetMetadata() or {}, layer.ds.GetMetadata() or {}):
        low = {k.lower(): v for k, v in md.items()}
        for name in names:
            for key, value in low.items():
                if key == name or key.endswith('#' + name):
                    return value
    return None


def metadata_number(layer, names):
    value = metadata_value(layer, names)
    try:
        return float(value.strip().strip('{}').split(',')[0])
    except (AttributeError, ValueError):
        return None


class Layer:
    """One date: one band of one file."""

    def __init__(self, path, ds, band_no):
        self.path, self.ds, self.band = path, ds, ds.GetRasterBand(band_no)
        self.name = os.path.basename(path) + (f' band {band_no}' if ds.RasterCount > 1 else '')
        self.dtype = gdal.GetDataTypeName(self.band.DataType)
        self.nodata = self.band.GetNoDataValue()
        if self.nodata is None:
            self.nodata = metadata_number(self, ('_fillvalue', 'missing_value'))
        if self.nodata is not None and self.dtype == 'Float32':
            self.nodata = float(np.float32(self.nodata))  # as the pixels hold it: 1e20 is 1.0000000200408773e20
        self.declared = self._declared_scaling()
        self.date, self.date_from = self._date()

    def _declared_scaling(self):
        scale, offset, source = self.band.GetScale(), self.band.GetOffset(), 'declared'
        if scale in (None, 1.0) and offset in (None, 0.0):
            scale = metadata_number(self, ('scale_factor',))
            offset = metadata_number(self, ('add_offset',))
            source = 'scale_factor/add_offset metadata'
        scale = 1.0 if scale is None else scale
        offset = 0.0 if offset is None else offset
        return None if (scale, offset) == (1.0, 0.0) else (scale, offset, source)

    def _date(self):
        single = self.ds.RasterCount == 1
        texts = [('file names', os.path.basename(self.path))] if single else []
        texts.append(('band descriptions', self.band.GetDescription()))
        band_md = {k.lower(): v for k, v in (self.band.GetMetadata() or {}).items()}
        file_md = {k.lower(): v for k, v in (self.ds.GetMetadata() or {}).items()} if single else {}
        texts += [(k.upper(), band_md[k]) for k in DATE_KEYS if k in band_md]
        texts += [(k.upper(), file_md[k]) for k in DATE_KEYS + ('tifftag_datetime',) if k in file_md]
        for where, text in texts:
            date = date_in(text)
            if date:
                return date, where
        return None, None

    def missing(self, a, extra):
        """Missing samples of `a` (float64): not finite, or a no-data value."""
        bad = ~np.isfinite(a)
        for v in (self.nodata, extra):
            if v is not None and np.isfinite(v):
                bad |= a == v
        return bad


def date_in(text):
    """The first date written in `text`, or None."""
    for form in DATE_FORMS:
        for m in form.finditer(text or ''):
            g = [int(x) for x in m.groups()]
            if not 1900 <= g[0] <= 2100:
                continue
            try:
                if len(g) == 3:
                    return datetime.date(*g)
                if g[1] >= 1:
                    day = datetime.date(g[0], 1, 1) + datetime.timedelta(g[1] - 1)
                    if day.year == g[0]:
                        return day
            except ValueError:
                pass
    return None


def open_layers(files):
    layers = []
    for path in files:
        try:
            ds = gdal.Open(path)
        except RuntimeError as e:
            raise Refusal(f'cannot open {path}: {e}')
        if ds.RasterCount == 0:
            subs = ds.GetSubDatasets()
            raise Refusal(f'{path} has no raster bands' + (f'; give one of its subdatasets, e.g. {subs[0][0]}'
                                                           if subs else ''))
        layers += [Layer(path, ds, b) for b in range(1, ds.RasterCount + 1)]
    return layers


def check_one_grid(layers):
    from osgeo import osr
    first = layers[0]
    d0 = first.ds
    gt0 = d0.GetGeoTransform(can_return_null=True)
    wkt0 = d0.GetProjection()
    tol = 1e-6 * max(abs(gt0[1]), abs(gt0[5])) if gt0 else 0.0
    for layer in layers[1:]:
        d, here, there = layer.ds, layer.path, first.path
        if (d.RasterXSize, d.RasterYSize) != (d0.RasterXSize, d0.RasterYSize):
            raise Refusal(f'{here} is {d.RasterXSize} x {d.RasterYSize} pixels but {there} is '
                          f'{d0.RasterXSize} x {d0.RasterYSize}: gdalwarp them to one grid first '
                          f'(the same -t_srs, -te and -tr for every file)')
        gt = d.GetGeoTransform(can_return_null=True)
        if (gt is None) != (gt0 is None) or (gt and any(abs(a - b) > tol for a, b in zip(gt, gt0))):
            raise Refusal(f'{here} and {there} lie on different grids (geotransform {gt} vs {gt0}): '
                          f'gdalwarp them to one grid first (the same -te and -tr for every file)')
        wkt = d.GetProjection()
        if bool(wkt) != bool(wkt0) or (wkt and wkt != wkt0 and not same_srs(osr, wkt, wkt0)):
            raise Refusal(f'{here} and {there} have different projections: gdalwarp them to one '
                          f'projection and grid first (the same -t_srs, -te and -tr for every file)')


def same_srs(osr, a, b):
    sa, sb = osr.SpatialReference(), osr.SpatialReference()
    sa.ImportFromWkt(a)
    sb.ImportFromWkt(b)
    return bool(sa.IsSame(sb))


def order_by_date(layers):
    """The layers in time order, and what was said about it."""
    dated = [x for x in layers if x.date]
    if not dated:
        return layers, 'no dates in the file names or metadata: bands in the order given'
    if len(dated) < len(layers):
        undated = ', '.join(x.name for x in layers if not x.date)
        raise Refusal(f'dates found for {len(dated)} of {len(layers)} bands but not for {undated}: put the '
                      f'date in every file name (YYYY-MM-DD, YYYYMMDD or YYYYDDD)')
    ordered = sorted(layers, key=lambda x: x.date)
    for a, b in zip(ordered, ordered[1:]):
        if a.date == b.date:
            raise Refusal(f'{a.name} and {b.name} have the same date {a.date}: give each date once')
    sources = sorted({x.date_from for x in layers})
    note = (f'{len(layers)} dates {ordered[0].date} .. {ordered[-1].date} (from {", ".join(sources)})')
    if ordered != layers:
        note += '; the files were not given in time order: bands sorted by date'
    return ordered, note


def suggest_npoint(dates):
    """NPOINT for a year of the given dates, and why."""
    if len(dates) < 2:
        return None, 'one date only'
    step = statistics.median((b - a).days for a, b in zip(dates, dates[1:]))
    npoint, basis = _tsrecon.npoint_for_step(step)
    return npoint, f'median step between the dates {step:g} days, {basis}'


class Scaling:
    """raw = (stored x scale + offset) x per_unit."""

    def __init__(self, scale, offset, per_unit, why):
        self.scale, self.offset, self.per_unit, self.why = scale, offset, per_unit, why

    def formula(self):
        if self.offset == 0:
            return f'raw = value x {number(float(f"{self.scale * self.per_unit:.12g}"))}'
        return f'raw = (value x {number(self.scale)} + {number(self.offset)}) x {number(self.per_unit)}'


def choose_scaling(dtype, declared, lo, hi, quantity, asserted):
    per_unit, qlo, qhi = QUANTITIES[quantity]
    values = f'{dtype} values {number(lo)}..{number(hi)}'
    fits = lambda a, b: a >= qlo - 1e-9 and b <= qhi + 1e-9  # noqa: E731
    other = '' if asserted else f'; {quantity} assumed, --reflectance for reflectances'
    if declared:
        scale, offset, source = declared
        tries = [(scale, offset, f'{source} scale {number(scale)} and offset {number(offset)}')]
        if abs(scale) > 1:
            tries.append((1 / scale, -offset / scale, f'{source} scale {number(scale)} read as a divisor '
                                                      f'(value = (stored - offset) / scale)'))
        for s, o, why in tries:
            a, b = sorted((lo * s + o, hi * s + o))
            if fits(a, b):
                return Scaling(s, o, per_unit, f'{values} with {why}: {quantity} {a:.4g}..{b:.4g}')
        a, b = sorted((lo * scale + offset, hi * scale + offset))
        raise Refusal(f'{values} with {tries[0][2]} give {a:.4g}..{b:.4g}, which cannot be {quantity} '
                      f'({number(qlo)}..{number(qhi)}{other}): check the declared scale, or give --factor F '
                      f'(raw = stored value x F)')
    if dtype in EIGHT_BIT:
        raise Refusal(f'{values} with no declared scale/offset: cannot tell what they mean; declare them '
                      f'(gdal_edit.py -scale S -offset O FILE) or give --factor F (raw = stored value x F)')
    if dtype.startswith('Float'):
        if fits(lo, hi):
            return Scaling(1.0, 0.0, per_unit, f'{values} with no declared scale: {quantity}')
        hint = (f'; if they are {quantity} x {INTEGER_SCALE}, --factor {number(per_unit / INTEGER_SCALE)}'
                if fits(lo / INTEGER_SCALE, hi / INTEGER_SCALE) else '')
        raise Refusal(f'{values} cannot be {quantity} ({number(qlo)}..{number(qhi)}{other}) and no scale is '
                      f'declared: give --factor F (raw = stored value x F){hint}')
    if fits(lo / INTEGER_SCALE, hi / INTEGER_SCALE):
        return Scaling(1.0 / INTEGER_SCALE, 0.0, per_unit,
                       f'{values} with no declared scale: {quantity} x {INTEGER_SCALE}')
    raise Refusal(f'{values} with no declared scale lie beyond {number(qlo * INTEGER_SCALE)}..'
                  f'{number(qhi * INTEGER_SCALE)} ({quantity} x {INTEGER_SCALE}{other}): give --factor F '
                  f'(raw = stored value x F), or declare the scale (gdal_edit.py -scale S -offset O FILE)')


class Tally:
    def __init__(self):
        self.samples = self.missing = self.valid = self.low = self.high = self.above = 0
        self.lo = self.hi = None
        self.lo_count = 0

    def add_range(self, v):
        if v.size == 0:
            return
        lo, hi = float(v.min()), float(v.max())
        if self.lo is None or lo < self.lo:
            self.lo, self.lo_count = lo, 0
        if lo == self.lo:
            self.lo_count += int(np.count_nonzero(v == lo))
        self.hi = hi if self.hi is None else max(self.hi, hi)


def scan(layers, nodata, xs, ys):
    """Value range per kind of storage (data type, declared scaling) and overall counts."""
    groups = {}
    for layer in layers:
        t = groups.setdefault((layer.dtype, layer.declared), Tally())
        for y, rows in line_slices(ys, xs):
            a = layer.band.ReadAsArray(0, y, xs, rows).astype(np.float64)
            bad = layer.missing(a, nodata)
            t.samples += a.size
            t.missing += int(np.count_nonzero(bad))
            t.add_range(a[~bad])
    return groups


def convert(a, bad, sc):
    """Raw values of the stored values `a`, missing samples `bad` (the
    program's one conversion); counts of the values clipped at 0, clipped at
    the largest and above the ceiling."""
    with np.errstate(invalid='ignore', over='ignore'):
        values = a * sc.scale + sc.offset
    raw, counts = _tsrecon.raw_values(values, sc.per_unit, bad)
    return raw, counts


def existing_cntl_note(path, nb, nl, ns):
    numbers = []
    with open(path, errors='replace') as f:
        for line in f:
            if line.lstrip().startswith(('&', '$')) or len(numbers) >= 3:
                break
            numbers += [int(t) for t in re.split(r'[\s,]+', line.split('/')[0]) if t.lstrip('-').isdigit()]
    note = f'kept the existing {path} (not overwritten)'
    if numbers[:3] != [nb, nl, ns]:
        note += f'; it does not seem to say NB = {nb}, NL NS = {nl} {ns} as the new cube needs: fix it or remove it'
    return note


def run(args):
    if args.factor is not None:
        quantity = 'input value'
    else:
        quantity = args.quantity or 'NDVI'
    layers = open_layers(args.files)
    check_one_grid(layers)
    layers, date_note = order_by_date(layers)
    out = args.out
    targets = {os.path.realpath(os.path.join(out, n)) for n in ('data.bsq', 'mask.bsq')}
    for layer in layers:
        if os.path.realpath(layer.path) in targets:
            raise Refusal(f'{layer.path} would be overwritten by the import: give another -o DIR')
    xs, ys, nb = layers[0].ds.RasterXSize, layers[0].ds.RasterYSize, len(layers)

    groups = scan(layers, args.nodata, xs, ys)
    if all(t.lo is None for t in groups.values()):
        raise Refusal('every sample is missing (NaN or a no-data value): check --nodata and the files')
    scalings, lines = {}, []
    for key, t in groups.items():
        dtype, declared = key
        nd = sorted({x.nodata for x in layers if (x.dtype, x.declared) == key and x.nodata is not None})
        nd_text = f', no-data {", ".join(number(v) for v in nd)} declared' if nd else ''
        if t.lo is None:
            scalings[key] = Scaling(1.0, 0.0, 0.0, f'{dtype}: every sample missing')
        elif args.factor is not None:
            why = f'{dtype} values {number(t.lo)}..{number(t.hi)}: --factor {number(args.factor)}'
            if declared:
                why += f' (declared scale {number(declared[0])}, offset {number(declared[1])} not applied)'
            scalings[key] = Scaling(1.0, 0.0, args.factor, why)
        else:
            scalings[key] = choose_scaling(dtype, declared, t.lo, t.hi, quantity, args.quantity is not None)
        sc = scalings[key]
        lines.append(f'  {sc.why}{nd_text} -> {sc.formula() if t.lo is not None else RAW_NO_DATA}')
        if (t.lo is not None and not nd and args.nodata is None and t.lo < t.hi
                and t.lo_count >= 0.01 * t.samples):
            print(f'{PROG}: warning: the smallest value, {number(t.lo)}, holds {percent(t.lo_count, t.samples)} '
                  f'of the {dtype} samples and no no-data value is declared: if it marks missing data, '
                  f'run again with --nodata {number(t.lo)}', file=sys.stderr)
    per_unit = args.factor if args.factor is not None else QUANTITIES[quantity][0]

    os.makedirs(out, exist_ok=True)
    no_side_files(gdal)
    names = ['data.bsq', 'data.hdr', 'data.bsq.hdr'] + (['mask.bsq', 'mask.hdr', 'mask.bsq.hdr'] if args.mask else [])
    for name in names:
        if os.path.lexists(os.path.join(out, name)):
            os.remove(os.path.join(out, name))
    envi = gdal.GetDriverByName('ENVI')
    band_names = [str(x.date) for x in layers] if layers[0].date else _tsrecon.time_step_names(nb)

    def create(name, gdal_type):
        ds = envi.Create(os.path.join(out, name), xs, ys, nb, gdal_type)
        gt = layers[0].ds.GetGeoTransform(can_return_null=True)
        if gt:
            ds.SetGeoTransform(gt)
        if layers[0].ds.GetProjection():
            ds.SetProjection(layers[0].ds.GetProjection())
        for i, bn in enumerate(band_names, 1):
            ds.GetRasterBand(i).SetDescription(bn)
        return ds

    data = create('data.bsq', gdal.GDT_Int16)
    for i in range(1, nb + 1):
        data.GetRasterBand(i).SetNoDataValue(RAW_NO_DATA)
    data.SetMetadataItem(FACTOR_KEY, number(per_unit), 'ENVI')
    data.SetMetadataItem(UNITS_KEY, quantity, 'ENVI')
    mask = create('mask.bsq', gdal.GDT_Byte) if args.mask else None

    total = Tally()
    for i, layer in enumerate(layers, 1):
        sc = scalings[(layer.dtype, layer.declared)]
        for y, rows in line_slices(ys, xs):
            a = layer.band.ReadAsArray(0, y, xs, rows).astype(np.float64)
            bad = layer.missing(a, args.nodata)
            raw, (low, high, above) = convert(a, bad, sc)
            data.GetRasterBand(i).WriteArray(raw, 0, y)
            if mask:
                mask.GetRasterBand(i).WriteArray((~bad).astype(np.uint8), 0, y)
            total.samples += a.size
            total.missing += int(np.count_nonzero(bad))
            total.low, total.high, total.above = total.low + low, total.high + high, total.above + above
    data.FlushCache()
    data = None
    if mask:
        mask.FlushCache()
        mask = None

    n = total.samples
    print(f'{PROG}: {len(args.files)} file{"s" if len(args.files) > 1 else ""}, {date_note}')
    print('\n'.join(lines))
    if args.factor is None and args.quantity is None:
        print(f'  {quantity} assumed (the default; --reflectance or --factor F for other data)')
    print(f'  raw values rounded to nearest (halves away from zero), clipped to 0..{RAW_LARGEST}; missing samples -> '
          f'{RAW_NO_DATA}')
    print(f'  {n} samples: missing {percent(total.missing, n)}; clipped at 0: {percent(total.low, n)}; clipped at '
          f'{RAW_LARGEST}: {percent(total.high, n)}; above the ceiling {RAW_CEILING} ({quantity} '
          f'{number(RAW_CEILING / per_unit)}, screened by tsrecon): {percent(total.above, n)}')
    print(f'wrote {os.path.join(out, "data.bsq")} and data.hdr: {nb} bands, {ys} lines, {xs} samples; band names '
          f'{band_names[0]} .. {band_names[-1]}; {FACTOR_KEY} = {number(per_unit)} ({UNITS_KEY} = {quantity}), '
          f'{_tsrecon.HEADER_KEYS["ignore_value"]} = {RAW_NO_DATA}'
          + ('' if layers[0].ds.GetGeoTransform(can_return_null=True) else '; no georeferencing in the inputs'))
    if args.mask:
        print(f'wrote {os.path.join(out, "mask.bsq")} and mask.hdr: 1 valid, 0 missing')

    dates = [x.date for x in layers if x.date]
    suggested, why = suggest_npoint(dates) if dates else (None, 'no dates')
    if args.npoint is not None:
        npoint, npoint_note = args.npoint, 'given with --npoint'
        if suggested is not None and suggested != npoint:
            npoint_note += f' (the dates suggest {suggested}: {why})'
    elif suggested is not None:
        npoint, npoint_note = suggested, why
    else:
        npoint = DEFAULTS['npoint']
        npoint_note = f'{why}: {npoint} assumed (8-day composites over a year); give --npoint N'
        print(f'{PROG}: warning: NPOINT cannot be told from the dates ({why}); {npoint} assumed, give --npoint N',
              file=sys.stderr)
    nfunc = _tsrecon.sound_nfunc(npoint)
    cntl = os.path.join(out, 'cntl.dat')
    if os.path.lexists(cntl):
        print(existing_cntl_note(cntl, nb, ys, xs))
    else:
        with open(cntl, 'w') as f:
            f.write(f'{nb}\n{ys} {xs}\n'
                    f'&DATA NFUNC={nfunc} /  {_tsrecon.nfunc_note(npoint, nfunc)}\n'
                    f'&CONTRL INTP=1, MASK={int(args.mask)} /\n'
                    f'&NPT NPOINT={npoint} /  {npoint_note}\n')
        print(f'wrote {cntl}: NFUNC={nfunc}, INTP=1, MASK={int(args.mask)}, NPOINT={npoint} ({npoint_note}); '
              f'{_tsrecon.nfunc_note(npoint, nfunc)}')
    if nfunc < _tsrecon.MIN_MODEL_ORDER:
        print(f'{PROG}: warning: NPOINT={npoint} leaves fewer than {_tsrecon.MIN_MODEL_ORDER} harmonics: tsrecon '
              f'fits no model', file=sys.stderr)
    if not _tsrecon.MIN_BANDS <= nb <= _tsrecon.MAX_BANDS:
        print(f'{PROG}: warning: tsrecon takes {_tsrecon.MIN_BANDS} to {_tsrecon.MAX_BANDS} bands, this stack has '
              f'{nb}', file=sys.stderr)


def main(argv=None):
    """tsrecon-import with the arguments `argv` (default: the command line's); returns the exit status."""
    global gdal
    gdal = load_gdal(PROG)
    if gdal is None:
        return 1
    return run_tool(PROG, run, parse_args(sys.argv[1:] if argv is None else argv))


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
