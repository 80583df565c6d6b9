"""tsrecon-import: turns a stack of rasters into a tsrecon job
(`python3 -m tsrecon.importer`, or scripts/tsrecon-import).

Writes data.bsq (16-bit raw values, raw = value x factor) with its ENVI header
data.hdr (georeferencing, band names = the dates, the scaling), mask.bsq when
missing samples would spoil the fits (or when asked), and a starting
cntl.dat. Reads what the files say about themselves: data type, declared
scale and offset, no-data value, dates (file names, band descriptions and
metadata, CF time axes). Lays the dates on their grid in time, a band for
every step; composites irregular acquisitions onto a grid when asked.
Refuses, before writing anything, what it cannot convert without guessing.

The rules of real stacks (grids, compositing, quality layers, the
missing-sample rule, the stored-index conventions, NPOINT) are the C++ ones,
taken from the extension.
"""

import argparse
import datetime
import math
import os
import re
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
INTEGER_SCALE = _tsrecon.STORED_INDEX_SCALE  # integer products without a declared scale store value x 10000
VALID_LOW, VALID_HIGH = _tsrecon.STORED_INDEX_VALID_LOW, _tsrecon.STORED_INDEX_VALID_HIGH
EIGHT_BIT = ('Byte', 'Int8')
# The settings' defaults, for the NPOINT assumed without dates.
DEFAULTS = {name: default for name, _, default in _tsrecon.SETTINGS_MEMBERS}
EPOCH = datetime.date(1970, 1, 1)  # day number 0 of the stack's rules

DATE_FORMS = (
    re.compile(r'(?<![0-9])([0-9]{4})[-_./:]([0-9]{1,2})[-_./:]([0-9]{1,2})(?![0-9])'),  # 2014-01-31
    re.compile(r'(?<![0-9])([0-9]{4})([0-9]{2})([0-9]{2})(?![0-9])'),                    # 20140131
    re.compile(r'(?<![0-9])([0-9]{4})([0-9]{3})(?![0-9])'),                              # 2014031 (A2014031)
)
# Metadata that may hold the acquisition date, most specific first.
DATE_KEYS = ('acquisitiondate', 'acquisition_date', 'acquisition_start_time', 'rangebeginningdate',
             'start_date', 'sensing_date', 'date')
QUALITY_KINDS = ('modis-reliability', 'modis-vi-quality', 'landsat-qa-pixel', 's2-scl')


def parse_args(argv):
    p = argparse.ArgumentParser(
        prog=PROG,
        description='Turns a stack of rasters (any format GDAL reads), one date per band, into a tsrecon job: '
                    'data.bsq with data.hdr, mask.bsq where missing samples need one, and a starting cntl.dat.',
        epilog='Several files: every band of every file is one date. Dates come from CF time axes (NetCDF, '
               'Zarr), the file names (YYYY-MM-DD, YYYYMMDD, YYYYDDD as in A2014001) or metadata (band '
               'descriptions, ENVI band names, ACQUISITIONDATE, TIFFTAG_DATETIME ...); bands are written in time '
               'order, one for every step of the dates\' grid (MODIS 16-day, Aqua 16-day, 8-day, monthly, '
               'dekadal, or a fixed step of N days), a step without data as a band of missing samples. '
               'Scaling: declared scale/offset first (physical = stored x scale + offset); integers without '
               'one count as value x 10000 when they lie within -10000..10000, and so do floats that are all '
               'whole numbers there, some beyond 1; other floats as they are. NDVI x 10000 outside '
               f'{number(VALID_LOW)}..{number(VALID_HIGH)} is missing. '
               f'NDVI: raw = NDVI x {number(QUANTITIES["NDVI"][0])}; reflectance: raw = reflectance x '
               f'{number(QUANTITIES["reflectance"][0])}. Raw values are rounded to nearest (halves away from zero), '
               f'clipped to 0..{RAW_LARGEST}; missing samples become {RAW_NO_DATA}. Put --quality FILE... after the '
               'data files (or end it with another option).')
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
    masking = p.add_mutually_exclusive_group()
    masking.add_argument('--mask', action='store_true',
                         help='write mask.bsq (1 valid, 0 missing) and set MASK=1 even where the missing samples '
                              'do not need it')
    masking.add_argument('--no-mask', action='store_true',
                         help='keep MASK=0 even where missing samples would spoil the fits (by default the '
                              'import then writes mask.bsq and MASK=1)')
    p.add_argument('--step', metavar='STEP',
                   help='composite the acquisitions onto a grid: 16d (MODIS 16-day), 8d (MODIS 8-day), month, '
                        'dekad, or Nd (N = 2..31 days from --from or the first date); per step the median of the '
                        'valid samples; band dates are the steps\' first days')
    p.add_argument('--composite', choices=('median', 'max'), help='with --step: per step the median of the valid '
                                                                  'samples (the default) or the largest')
    p.add_argument('--from', dest='from_date', metavar='DATE', help='import the dates from DATE (YYYY-MM-DD) on')
    p.add_argument('--to', dest='to_date', metavar='DATE', help='import the dates up to DATE (YYYY-MM-DD)')
    p.add_argument('--quality', nargs='+', action='extend', metavar='FILE',
                   help='quality layers: one file per date (paired by the date in its name) or multi-band files '
                        'with the dates of the data; rejected samples are missing')
    rule = p.add_mutually_exclusive_group()
    rule.add_argument('--quality-kind', choices=QUALITY_KINDS,
                      help='what the quality layers are: MOD13/MYD13 pixel reliability (keeps 0, 1), VI Quality '
                           '(MODLAND 00/01, no mixed clouds, snow/ice or shadow), Landsat Collection 2 QA_PIXEL '
                           '(none of fill, dilated cloud, cirrus, cloud, shadow, snow), Sentinel-2 SCL (keeps 4-7)')
    rule.add_argument('--keep', metavar='V,...', help='the quality values kept, of any integer layer')
    p.add_argument('--npoint', type=int, metavar='N',
                   help='time steps per cycle of the first harmonic (default: the steps a year of the dates\' grid)')
    p.add_argument('-o', dest='out', default='.', metavar='DIR', help='job directory (default: the current one)')
    p.add_argument('files', nargs='+', metavar='FILE')
    a = p.parse_args(argv)
    if a.factor is not None and not a.factor > 0:
        p.error('--factor must be a positive number')
    if a.npoint is not None and a.npoint < 1:
        p.error('--npoint must be 1 or more')
    if a.composite and not a.step:
        p.error('--composite needs --step')
    if a.quality and not (a.quality_kind or a.keep):
        p.error('--quality needs --quality-kind KIND or --keep V,...')
    if (a.quality_kind or a.keep) and not a.quality:
        p.error('--quality-kind and --keep need --quality FILE...')
    a.window = [_tsrecon.FIRST_DAY_NUMBER, _tsrecon.LAST_DAY_NUMBER]
    for k, (opt, text) in enumerate((('--from', a.from_date), ('--to', a.to_date))):
        if text is not None:
            day = _tsrecon.parse_date(text)
            if day is None:
                p.error(f'{opt} {text}: give a date as YYYY-MM-DD')
            a.window[k] = day
    if a.window[0] > a.window[1]:
        p.error(f'--from {a.from_date} lies after --to {a.to_date}')
    return a


def rules(fn, *args):
    """A call of the stack's rules; their refusal (a ValueError) as ours."""
    try:
        return fn(*args)
    except ValueError as e:
        raise Refusal(str(e))


def day_number(date):
    return (date - EPOCH).days


def date_of(day):
    return EPOCH + datetime.timedelta(days=day)


def date_list(days, most=None):
    """Day numbers as "2014-06-10, 2014-06-26", the first `most` of them and how many more."""
    shown = days if most is None else days[:most]
    text = ', '.join(_tsrecon.format_date(d) for d in shown)
    return text + (f' and {len(days) - len(shown)} more' if len(shown) < len(days) else '')


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
    """One date: one band of one file. `axis_date`: (date, where from) of a
    CF time axis, which comes first."""

    def __init__(self, path, ds, band_no, axis_date=None, keep=None):
        self.path, self.ds, self.band = path, ds, ds.GetRasterBand(band_no)
        self.keep = keep  # objects the dataset needs alive (a multidimensional dataset)
        self.name = os.path.basename(path) + (f' band {band_no}' if ds.RasterCount > 1 else '')
        self.dtype = gdal.GetDataTypeName(self.band.DataType)
        self.nodata = self.band.GetNoDataValue()
        if self.nodata is None:
            self.nodata = metadata_number(self, ('_fillvalue', 'missing_value'))
        if self.nodata is not None and self.dtype == 'Float32':
            self.nodata = float(np.float32(self.nodata))  # as the pixels hold it: 1e20 is 1.0000000200408773e20
        self.declared = self._declared_scaling()
        self.impossible = None  # a date written that no calendar has
        self.date, self.date_from = axis_date if axis_date else self._date()

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
        envi = self.ds.GetDriver().ShortName == 'ENVI'
        texts.append(('ENVI band names' if envi else 'band descriptions', self.band.GetDescription()))
        band_md = {k.lower(): v for k, v in (self.band.GetMetadata() or {}).items()}
        file_md = {k.lower(): v for k, v in (self.ds.GetMetadata() or {}).items()} if single else {}
        texts += [(k.upper(), band_md[k]) for k in DATE_KEYS if k in band_md]
        texts += [(k.upper(), file_md[k]) for k in DATE_KEYS + ('tifftag_datetime',) if k in file_md]
        for where, text in texts:
            date, impossible = date_in(text)
            if date:
                return date, where
            self.impossible = self.impossible or impossible
        return None, None

    def missing(self, a, extra):
        """Missing samples of `a` (float64): not finite, or a no-data value."""
        bad = ~np.isfinite(a)
        for v in (self.nodata, extra):
            if v is not None and np.isfinite(v):
                bad |= a == v
        return bad


def date_in(text):
    """The first date written in `text`, or None; and the first written date
    that no calendar has (day 366 of 2015, 2014-02-30), or None."""
    impossible = None
    for form in DATE_FORMS:
        for m in form.finditer(text or ''):
            g = [int(x) for x in m.groups()]
            if not 1900 <= g[0] <= 2100:
                continue
            if len(g) == 3:
                try:
                    return datetime.date(*g), None
                except ValueError:
                    if 1 <= g[1] <= 12 and 1 <= g[2] <= 31:
                        impossible = impossible or f'{m.group(0)} is no date ({g[0]}-{g[1]:02d} has no day {g[2]})'
            elif g[1] >= 1:
                length = 366 if _is_leap(g[0]) else 365
                if g[1] <= length:
                    return datetime.date(g[0], 1, 1) + datetime.timedelta(g[1] - 1), None
                if g[1] <= 366:
                    impossible = impossible or f'{m.group(0)} is day {g[1]} of {g[0]}, a year of {length} days'
    return None, impossible


def _is_leap(year):
    return year % 4 == 0 and (year % 100 != 0 or year % 400 == 0)


def cf_axis_dates(ds):
    """(dates per band, where from) of a NetCDF file's CF time axis as GDAL
    shows it (NETCDF_DIM_EXTRA, <dim>#units, <dim>#calendar, per band
    NETCDF_DIM_<dim> or NETCDF_DIM_<dim>_VALUES), or None."""
    md = ds.GetMetadata() or {}
    for dim in (md.get('NETCDF_DIM_EXTRA') or '').strip('{}').split(','):
        dim = dim.strip()
        units = md.get(f'{dim}#units', '')
        if not dim or 'since' not in units.lower().split():
            continue
        calendar = md.get(f'{dim}#calendar', '')
        values = [ds.GetRasterBand(b).GetMetadataItem(f'NETCDF_DIM_{dim}') for b in range(1, ds.RasterCount + 1)]
        if None in values:
            values = rules(_tsrecon.parse_number_list, md.get(f'NETCDF_DIM_{dim}_VALUES', ''))
        return decoded_axis(dim, [float(v) for v in values], units, calendar)
    return None


def decoded_axis(dim, values, units, calendar):
    try:
        days = _tsrecon.decode_cf_time(values, units, calendar)
    except ValueError as e:
        raise Refusal(f'the time axis "{dim}" cannot be read: {e}')
    where = f'the CF time axis "{dim}", {units}' + (f', {calendar} calendar' if calendar else '')
    return [date_of(d) for d in days], where


def open_multidim(path):
    """A three-dimensional array with a CF time axis through GDAL's
    multidimensional API (Zarr, NetCDF): (classic dataset of its planes,
    dates per band and where from, the objects to keep alive), or None."""
    m = re.fullmatch(r'(?i)(?:ZARR|NETCDF):"?(.+?)"?:(/?[^:"]+)', path)
    where, wanted = (m.group(1), m.group(2)) if m else (path, None)
    try:
        mds = gdal.OpenEx(where, gdal.OF_MULTIDIM_RASTER)
    except RuntimeError:
        return None
    if mds is None:
        return None
    root = mds.GetRootGroup()
    found = []
    for name in ([wanted.lstrip('/')] if wanted else root.GetMDArrayNames()):
        a = root.OpenMDArray(name)
        dims = a.GetDimensions() if a else []
        if len(dims) != 3:
            continue
        for k, d in enumerate(dims):
            t = d.GetIndexingVariable()
            units = (t.GetUnit() or '') if t else ''
            if t and 'since' in units.lower().split():
                found.append((name, a, k, t, units))
                break
    if not found:
        return None
    if len(found) > 1:
        raise Refusal(f'{path} holds {len(found)} time series ({", ".join(f[0] for f in found)}): give one, e.g. '
                      f'ZARR:"{where}":/{found[0][0]} (NETCDF:"{where}":{found[0][0]} for NetCDF)')
    name, a, k, t, units = found[0]
    x, y = [i for i in range(3) if i != k][::-1]
    classic = a.AsClassicDataset(x, y)
    attributes = {att.GetName().lower(): att.Read() for att in t.GetAttributes()}
    dim = a.GetDimensions()[k].GetName()
    values = [float(v) for v in np.ravel(t.ReadAsArray())]
    order = [int(classic.GetRasterBand(b).GetMetadataItem(f'DIM_{dim}_INDEX') or b - 1)
             for b in range(1, classic.RasterCount + 1)]
    dates, source = decoded_axis(dim, [values[i] for i in order], units, str(attributes.get('calendar', '') or ''))
    return classic, (dates, source), (mds, a, t)


def open_raster(path):
    """(dataset, (dates per band, where from) of its time axis or None, objects to keep alive)."""
    error = None
    try:
        ds = gdal.Open(path)
    except RuntimeError as e:
        ds, error = None, e
    if ds is not None and ds.RasterCount > 0:
        return ds, cf_axis_dates(ds), None
    multidim = open_multidim(path)
    if multidim:
        return multidim
    if ds is None:
        raise Refusal(f'cannot open {path}: {error}')
    subs = ds.GetSubDatasets()
    raise Refusal(f'{path} has no raster bands' + (f'; give one of its subdatasets, e.g. {subs[0][0]}' if subs else ''))


def open_layers(files):
    layers = []
    for path in files:
        ds, axis, keep = open_raster(path)
        for b in range(1, ds.RasterCount + 1):
            layers.append(Layer(path, ds, b, (axis[0][b - 1], axis[1]) if axis else None, keep))
    return layers


def check_one_grid(layers, first=None, what='them'):
    """Refuses layers not on the grid of `first` (default: the first layer)."""
    from osgeo import osr
    first = first or layers[0]
    d0 = first.ds
    gt0 = d0.GetGeoTransform(can_return_null=True)
    wkt0 = d0.GetProjection()
    tol = 1e-6 * max(abs(gt0[1]), abs(gt0[5])) if gt0 else 0.0
    for layer in layers:
        if layer is first:
            continue
        d, here, there = layer.ds, layer.path, first.path
        if (d.RasterXSize, d.RasterYSize) != (d0.RasterXSize, d0.RasterYSize):
            raise Refusal(f'{here} is {d.RasterXSize} x {d.RasterYSize} pixels but {there} is '
                          f'{d0.RasterXSize} x {d0.RasterYSize}: gdalwarp {what} to one grid first '
                          f'(the same -t_srs, -te and -tr for every file)')
        gt = d.GetGeoTransform(can_return_null=True)
        if (gt is None) != (gt0 is None) or (gt and any(abs(a - b) > tol for a, b in zip(gt, gt0))):
            raise Refusal(f'{here} and {there} lie on different grids (geotransform {gt} vs {gt0}): '
                          f'gdalwarp {what} to one grid first (the same -te and -tr for every file)')
        wkt = d.GetProjection()
        if bool(wkt) != bool(wkt0) or (wkt and wkt != wkt0 and not same_srs(osr, wkt, wkt0)):
            raise Refusal(f'{here} and {there} have different projections: gdalwarp {what} to one '
                          f'projection and grid first (the same -t_srs, -te and -tr for every file)')


def same_srs(osr, a, b):
    sa, sb = osr.SpatialReference(), osr.SpatialReference()
    sa.ImportFromWkt(a)
    sb.ImportFromWkt(b)
    return bool(sa.IsSame(sb))


def order_by_date(layers, repeats_allowed=False):
    """The layers in time order, and what was said about it."""
    for x in layers:
        if not x.date and x.impossible:
            raise Refusal(f'{x.name}: {x.impossible}: correct the date in its name')
    dated = [x for x in layers if x.date]
    if not dated:
        return layers, 'no dates in the file names or metadata: bands in the order given'
    if len(dated) < len(layers):
        undated = ', '.join(x.name for x in layers if not x.date)
        raise Refusal(f'dates found for {len(dated)} of {len(layers)} bands but not for {undated}: put the '
                      f'date in every file name (YYYY-MM-DD, YYYYMMDD or YYYYDDD)')
    ordered = sorted(layers, key=lambda x: x.date)
    for a, b in zip(ordered, ordered[1:]):
        if a.date == b.date and not repeats_allowed:
            raise Refusal(f'{a.name} and {b.name} have the same date {a.date}: give each date once (or composite '
                          f'them with --step)')
    sources = sorted({x.date_from for x in layers})
    note = (f'{len(layers)} dates {ordered[0].date} .. {ordered[-1].date} (from {", ".join(sources)})')
    if ordered != layers:
        note += '; the files were not given in time order: bands sorted by date'
    return ordered, note


class Band:
    """One band of data.bsq: its name and the layers it is made of (none: a
    step without data; several: acquisitions composited)."""

    def __init__(self, name, sources):
        self.name, self.sources = name, sources


class Layout:
    """The bands of the cube, the grid in time they lie on (or None), the
    composite rule (or None) and what was done, line by line."""

    def __init__(self, bands, grid=None, rule=None, notes=(), basis=''):
        self.bands, self.grid, self.rule, self.notes, self.basis = bands, grid, rule, list(notes), basis

    def taken(self):
        return [x for b in self.bands for x in b.sources]


def window_text(args):
    parts = [f'--from {args.from_date}' if args.from_date else '', f'--to {args.to_date}' if args.to_date else '']
    return ' '.join(p for p in parts if p)


def lay_out(layers, args):
    """The bands of the cube from the layers in time order."""
    windowed = args.from_date or args.to_date
    if not layers[0].date:
        if windowed or args.step:
            raise Refusal(f'{"--step" if args.step else window_text(args)} needs dates, and the files have none: '
                          f'put the date in every file name (YYYY-MM-DD, YYYYMMDD or YYYYDDD)')
        if len(layers) > _tsrecon.MAX_STEPS:
            raise Refusal(f'{len(layers)} bands without dates, more than the {_tsrecon.MAX_STEPS} tsrecon takes: '
                          f'give dated files (the date in every file name) to import a window of them with --from '
                          f'DATE --to DATE, or reconstruct the whole record with the Python package '
                          f'(tsrecon.xarray)')
        return Layout([Band(None, [x]) for x in layers])
    days = [day_number(x.date) for x in layers]
    if args.step:
        grid = rules(_tsrecon.parse_step, args.step, args.window[0] if args.from_date else days[0])
        rule = rules(_tsrecon.parse_composite_rule, args.composite or 'median')
        plan = rules(_tsrecon.plan_composite, grid, days, *args.window)
        rules(_tsrecon.check_step_count, grid, plan.first_step, plan.steps(), plan.taken)
        bands = [Band(_tsrecon.format_date(d), [layers[i] for i in src]) for d, src in zip(plan.band_days, plan.sources)]
        name = _tsrecon.grid_name(grid)
        notes = [f'composited onto the {name} grid (--step {args.step}): {plan.taken} acquisitions into '
                 f'{plan.steps()} steps, per step the {"largest" if args.composite == "max" else "median"} of the '
                 f'valid samples; band dates are the steps\' first days']
        if windowed:
            notes.append(f'{window_text(args)}: {plan.taken} of {len(layers)} acquisitions taken')
        empty = [d for d, src in zip(plan.band_days, plan.sources) if not src]
        if empty:
            notes.append(f'{len(empty)} step{"s" if len(empty) > 1 else ""} without an acquisition: '
                         f'band{"s" if len(empty) > 1 else ""} of missing samples (mask 0): {date_list(empty)}')
        return Layout(bands, grid, rule, notes, f'composited onto the {name} grid')
    begin, end = _tsrecon.dates_in_window(days, *args.window)
    if begin == end:
        raise Refusal(f'no date lies within {window_text(args)}: the dates run {layers[0].date} .. {layers[-1].date}')
    taken, days = layers[begin:end], days[begin:end]
    notes = [f'{window_text(args)}: {len(taken)} of {len(layers)} dates taken, {taken[0].date} .. {taken[-1].date}'
             ] if windowed else []
    if len(taken) == 1:  # one date is on every grid: none is told
        return Layout([Band(str(taken[0].date), taken)], notes=notes)
    choice = rules(_tsrecon.choose_grid, days)
    fit = choice.fit
    if fit is None:
        raise Refusal(_tsrecon.no_grid_message(choice, days))
    rules(_tsrecon.check_step_count, fit.grid, fit.first_step, fit.steps(), len(taken))
    bands = [Band(_tsrecon.format_date(d), [taken[i]] if i >= 0 else []) for d, i in zip(fit.band_days, fit.date_of_band)]
    name = _tsrecon.grid_name(fit.grid)
    if fit.inserted:
        k = len(fit.inserted)
        notes.append(f'{k} date{"s" if k > 1 else ""} of the {name} grid without data: band{"s" if k > 1 else ""} of '
                     f'missing samples (mask 0): {date_list(list(fit.inserted))}')
    return Layout(bands, fit.grid, None, notes, f'{name} dates')


def pair_quality(layout, qlayers):
    """The quality layer of each data layer taken, paired by date (or, for
    undated stacks, in the order given)."""
    taken = layout.taken()
    bad = [q for q in qlayers if not q.dtype.startswith(('Byte', 'Int', 'UInt'))]
    if bad:
        raise Refusal(f'the quality layer {bad[0].name} holds {bad[0].dtype} values: give the integer layer as the '
                      f'product ships it')
    if not taken[0].date:
        if len(qlayers) != len(taken) or any(q.date for q in qlayers):
            raise Refusal(f'{len(taken)} undated data bands and {len(qlayers)} quality layers: without dates they '
                          f'pair only one to one, in the order given')
        return dict(zip(map(id, taken), qlayers))
    for q in qlayers:
        if not q.date:
            raise Refusal(f'the quality layer {q.name} has no date: put the date in its file name (YYYY-MM-DD, '
                          f'YYYYMMDD or YYYYDDD), as in the data\'s')
    by_date = {}
    for q in sorted(qlayers, key=lambda q: q.date):
        by_date.setdefault(q.date, []).append(q)
    pairs, unpaired = {}, []
    wanted = {}
    for x in taken:
        wanted.setdefault(x.date, []).append(x)
    for date, xs in wanted.items():
        qs = by_date.get(date, [])
        if len(qs) != len(xs):
            unpaired.append(day_number(date))
            continue
        pairs.update(zip(map(id, xs), qs))
    if unpaired:
        raise Refusal(f'no quality layer (or not one each) for the data of {len(unpaired)} date'
                      f'{"s" if len(unpaired) > 1 else ""}: {date_list(unpaired, 10)}: give one --quality file per '
                      f'date (the date in its name) or multi-band files with the data\'s dates')
    lo, hi = min(wanted), max(wanted)
    extra = [day_number(d) for d in by_date if d not in wanted and lo <= d <= hi]
    if extra:
        raise Refusal(f'quality layers for {len(extra)} date{"s" if len(extra) > 1 else ""} without data: '
                      f'{date_list(extra, 10)}: give the quality files of the data\'s dates only')
    return pairs


class Scaling:
    """raw = (stored x scale + offset) x per_unit. `index_x10000`: the
    stored values are an index x 10000, whose valid range is the products'."""

    def __init__(self, scale, offset, per_unit, why, index_x10000=False):
        self.scale, self.offset, self.per_unit, self.why = scale, offset, per_unit, why
        self.index_x10000 = index_x10000

    def formula(self):
        if self.offset == 0:
            return f'raw = value x {number(float(f"{self.scale * self.per_unit:.12g}"))}'
        return f'raw = (value x {number(self.scale)} + {number(self.offset)}) x {number(self.per_unit)}'


def is_x10000(quantity, scale, offset):
    return quantity == 'NDVI' and offset == 0 and abs(scale * INTEGER_SCALE - 1) < 1e-12


def choose_scaling(dtype, declared, t, quantity, asserted):
    lo, hi = t.lo, t.hi
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
                return Scaling(s, o, per_unit, f'{values} with {why}: {quantity} {a:.4g}..{b:.4g}',
                               is_x10000(quantity, s, o))
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
        scaled = fits(lo / INTEGER_SCALE, hi / INTEGER_SCALE)
        if scaled and quantity == 'NDVI' and t.index.looks_scaled():
            return Scaling(1.0 / INTEGER_SCALE, 0.0, per_unit,
                           f'{values}, all whole numbers, with no declared scale: {quantity} x '
                           f'{number(INTEGER_SCALE)} stored as floats (--factor F for another reading)', True)
        hint = (f'; if they are {quantity} x {number(INTEGER_SCALE)}, --factor {number(per_unit / INTEGER_SCALE)}'
                if scaled else '')
        raise Refusal(f'{values} cannot be {quantity} ({number(qlo)}..{number(qhi)}{other}) and no scale is '
                      f'declared: give --factor F (raw = stored value x F){hint}')
    if fits(lo / INTEGER_SCALE, hi / INTEGER_SCALE):
        return Scaling(1.0 / INTEGER_SCALE, 0.0, per_unit,
                       f'{values} with no declared scale: {quantity} x {number(INTEGER_SCALE)}', quantity == 'NDVI')
    raise Refusal(f'{values} with no declared scale lie beyond {number(qlo * INTEGER_SCALE)}..'
                  f'{number(qhi * INTEGER_SCALE)} ({quantity} x {number(INTEGER_SCALE)}{other}): give --factor F '
                  f'(raw = stored value x F), or declare the scale (gdal_edit.py -scale S -offset O FILE)')


class Tally:
    def __init__(self):
        self.samples = self.missing = self.valid = self.low = self.high = self.above = 0
        self.lo = self.hi = None
        self.lo_count = 0
        self.index = _tsrecon.StoredIndexScan()  # floats: whole numbers that may be an index x 10000

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
            if layer.dtype.startswith('Float'):
                t.index.add(a, bad)
    return groups


def convert(a, bad, sc):
    """Raw values of the stored values `a`, missing samples `bad` (the
    program's one conversion); counts of the values clipped at 0, clipped at
    the largest and above the ceiling."""
    with np.errstate(invalid='ignore', over='ignore'):
        values = a * sc.scale + sc.offset
    raw, counts = _tsrecon.raw_values(values, sc.per_unit, bad)
    return raw, counts


class Screening:
    """What marks samples missing beyond the files' no-data: the valid range
    of an index x 10000, the quality layers; and their counts."""

    def __init__(self, nodata, quality, rule):
        self.nodata, self.quality, self.rule = nodata, quality, rule
        self.tally = _tsrecon.QualityTally()
        self.out_of_range = 0
        self.out_values = {}

    def read(self, layer, sc, y, rows, xs):
        """The stored values of a block of `layer` and its missing samples."""
        a = layer.band.ReadAsArray(0, y, xs, rows).astype(np.float64)
        bad = layer.missing(a, self.nodata)
        if sc.index_x10000:
            before = bad.copy()
            if _tsrecon.mark_invalid_stored_index(a, bad):
                newly = bad & ~before
                self.out_of_range += int(np.count_nonzero(newly))
                values, counts = np.unique(a[newly], return_counts=True)
                for v, n in zip(values.tolist(), counts.tolist()):
                    self.out_values[v] = self.out_values.get(v, 0) + n
        q = self.quality.get(id(layer)) if self.quality else None
        if q is not None:
            valid = ~bad
            self.rule.apply(np.ascontiguousarray(q.band.ReadAsArray(0, y, xs, rows)), valid, self.tally)
            bad = ~valid
        return a, bad

    def out_of_range_line(self, n):
        common = sorted(self.out_values.items(), key=lambda kv: -kv[1])[:3]
        shown = ', '.join(f'{number(v)}: {c}' for v, c in common)
        more = ', ...' if len(self.out_values) > 3 else ''
        return (f'  {self.out_of_range} samples ({percent(self.out_of_range, n)}) outside the valid range '
                f'{number(VALID_LOW)}..{number(VALID_HIGH)} of NDVI x {number(INTEGER_SCALE)} ({shown}{more}): '
                f'missing, declared or not')


def band_block(band, layout, scalings, screening, y, rows, xs, per_unit):
    """The raw values of a block of lines of `band`, and the conversion's counts."""
    if not band.sources:
        return np.full((rows, xs), RAW_NO_DATA, np.int16), (0, 0, 0)
    if layout.rule is None:
        layer = band.sources[0]
        sc = scalings[(layer.dtype, layer.declared)]
        a, bad = screening.read(layer, sc, y, rows, xs)
        return convert(a, bad, sc)
    values = np.empty((len(band.sources), rows, xs))
    valid = np.empty((len(band.sources), rows, xs), np.uint8)
    for k, layer in enumerate(band.sources):
        sc = scalings[(layer.dtype, layer.declared)]
        a, bad = screening.read(layer, sc, y, rows, xs)
        with np.errstate(invalid='ignore', over='ignore'):
            values[k] = a * sc.scale + sc.offset
        valid[k] = ~bad
    out, ok, _ = _tsrecon.composite_step(values, valid, layout.rule)
    return _tsrecon.raw_values(out, per_unit, ok == 0)


def no_data_text(layers, key):
    """The no-data values declared for a kind of storage, each named once."""
    values = [x.nodata for x in layers if (x.dtype, x.declared) == key and x.nodata is not None]
    names = {}
    for v in sorted(values, key=lambda v: (math.isnan(v), v if not math.isnan(v) else 0.0)):
        names.setdefault(number(v), None)
    return f', no-data {", ".join(names)} declared' if names else ''


def existing_cntl_note(path, nb, nl, ns, masked):
    numbers = []
    with open(path, errors='replace') as f:
        text = f.read()
    for line in text.splitlines():
        if line.lstrip().startswith(('&', '$')) or len(numbers) >= 3:
            break
        numbers += [int(t) for t in re.split(r'[\s,]+', line.split('/')[0]) if t.lstrip('-').isdigit()]
    note = f'kept the existing {path} (not overwritten)'
    if numbers[:3] != [nb, nl, ns]:
        note += f'; it does not seem to say NB = {nb}, NL NS = {nl} {ns} as the new cube needs: fix it or remove it'
    if masked and not re.search(r'(?i)\bMASK\s*=\s*1\b', text):
        note += '; it does not seem to say MASK=1, which the new mask.bsq needs: set it (and leave INTP off)'
    return note


def write_mask(out, data_path, band_names, ys, xs, create):
    """mask.bsq from data.bsq: 1 where a sample is valid, 0 where it is missing."""
    data = gdal.Open(data_path)
    mask = create('mask.bsq', gdal.GDT_Byte)
    for i in range(1, len(band_names) + 1):
        for y, rows in line_slices(ys, xs):
            raw = data.GetRasterBand(i).ReadAsArray(0, y, xs, rows)
            mask.GetRasterBand(i).WriteArray((raw != RAW_NO_DATA).astype(np.uint8), 0, y)
    mask.FlushCache()


def run(args):
    if args.factor is not None:
        quantity = 'input value'
    else:
        quantity = args.quantity or 'NDVI'
    layers = open_layers(args.files)
    check_one_grid(layers)
    qlayers = open_layers(args.quality) if args.quality else []
    if qlayers:
        check_one_grid(qlayers, layers[0], 'the quality layers and the data')
    layers, date_note = order_by_date(layers, repeats_allowed=bool(args.step))
    layout = lay_out(layers, args)
    rule = None
    if args.quality:
        rule = rules(_tsrecon.QualityRule.from_name, args.quality_kind) if args.quality_kind else \
            rules(_tsrecon.QualityRule.parse_keep_list, args.keep)
    quality = pair_quality(layout, qlayers) if qlayers else {}
    taken = layout.taken()
    out = args.out
    targets = {os.path.realpath(os.path.join(out, n)) for n in ('data.bsq', 'mask.bsq')}
    for layer in layers + qlayers:
        if os.path.realpath(layer.path) in targets:
            raise Refusal(f'{layer.path} would be overwritten by the import: give another -o DIR')
    xs, ys, nb = layers[0].ds.RasterXSize, layers[0].ds.RasterYSize, len(layout.bands)

    groups = scan(taken, args.nodata, xs, ys)
    if all(t.lo is None for t in groups.values()):
        raise Refusal('every sample is missing (NaN or a no-data value): check --nodata and the files')
    scalings, lines = {}, []
    for key, t in groups.items():
        dtype, declared = key
        nd_text = no_data_text(taken, key)
        if t.lo is None:
            scalings[key] = Scaling(1.0, 0.0, 0.0, f'{dtype}: every sample missing')
        elif args.factor is not None:
            why = f'{dtype} values {number(t.lo)}..{number(t.hi)}: --factor {number(args.factor)}'
            if declared:
                why += f' (declared scale {number(declared[0])}, offset {number(declared[1])} not applied)'
            scalings[key] = Scaling(1.0, 0.0, args.factor, why)
        else:
            scalings[key] = choose_scaling(dtype, declared, t, quantity, args.quantity is not None)
        sc = scalings[key]
        lines.append(f'  {sc.why}{nd_text} -> {sc.formula() if t.lo is not None else RAW_NO_DATA}')
        screened = sc.index_x10000 and t.lo is not None and t.lo < VALID_LOW
        if (t.lo is not None and not nd_text and args.nodata is None and t.lo < t.hi and not screened
                and t.lo_count >= 0.01 * t.samples):
            print(f'{PROG}: warning: the smallest value, {number(t.lo)}, holds {percent(t.lo_count, t.samples)} '
                  f'of the {dtype} samples and no no-data value is declared: if it marks missing data, '
                  f'run again with --nodata {number(t.lo)}', file=sys.stderr)
    per_unit = args.factor if args.factor is not None else QUANTITIES[quantity][0]

    os.makedirs(out, exist_ok=True)
    no_side_files(gdal)
    stale_mask = os.path.lexists(os.path.join(out, 'mask.bsq'))
    for name in ('data.bsq', 'data.hdr', 'data.bsq.hdr', 'mask.bsq', 'mask.hdr', 'mask.bsq.hdr'):
        if os.path.lexists(os.path.join(out, name)):
            os.remove(os.path.join(out, name))
    envi = gdal.GetDriverByName('ENVI')
    band_names = [b.name for b in layout.bands] if layers[0].date else _tsrecon.time_step_names(nb)

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

    screening = Screening(args.nodata, quality, rule)
    missing_per_pixel = np.zeros((ys, xs), np.int32)
    total = Tally()
    for i, band in enumerate(layout.bands, 1):
        for y, rows in line_slices(ys, xs):
            raw, (low, high, above) = band_block(band, layout, scalings, screening, y, rows, xs, per_unit)
            data.GetRasterBand(i).WriteArray(raw, 0, y)
            _tsrecon.count_missing(raw, RAW_NO_DATA, missing_per_pixel[y:y + rows])
            total.samples += raw.size
            total.missing += int(np.count_nonzero(raw == RAW_NO_DATA))
            total.low, total.high, total.above = total.low + low, total.high + high, total.above + above
    data.FlushCache()
    data = None

    tally = _tsrecon.MissingSampleTally(nb)
    tally.add(missing_per_pixel)
    verdict = _tsrecon.judge_missing_samples(tally, 0, 0)
    masked = args.mask or (verdict.pixels_ruined > 0 and not args.no_mask)
    if masked:
        write_mask(out, os.path.join(out, 'data.bsq'), band_names, ys, xs, create)

    n = total.samples
    files = len(args.files)
    print(f'{PROG}: {files} file{"s" if files > 1 else ""}, {date_note}')
    for note in layout.notes:
        print(f'  {note}')
    print('\n'.join(lines))
    if screening.out_of_range:
        print(screening.out_of_range_line(n))
    if rule is not None:
        print(f'  quality: {_tsrecon.format_quality_tally(rule, screening.tally)}')
    if args.factor is None and args.quantity is None:
        print(f'  {quantity} assumed (the default; --reflectance or --factor F for other data)')
    print(f'  raw values rounded to nearest (halves away from zero), clipped to 0..{RAW_LARGEST}; missing samples -> '
          f'{RAW_NO_DATA}')
    print(f'  {n} samples: missing {percent(total.missing, n)}; clipped at 0: {percent(total.low, n)}; clipped at '
          f'{RAW_LARGEST}: {percent(total.high, n)}; above the ceiling {RAW_CEILING} ({quantity} '
          f'{number(RAW_CEILING / per_unit)}, screened by tsrecon): {percent(total.above, n)}')
    if verdict.pixels_many or verdict.pixels_few:
        print(f'  missing samples: {_tsrecon.format_missing_counts(verdict)}')
        if verdict.pixels_ruined and not args.no_mask:
            print(f'  under MASK=0 the preliminary fit would take the missing samples of those {verdict.pixels_many} '
                  f'pixels for values and then keep them over real ones: mask.bsq and MASK=1 written (--no-mask '
                  f'keeps MASK=0)')
        elif not verdict.pixels_ruined:
            print('  below 2 % missing in every pixel with data: MASK=0 serves')
    print(f'wrote {os.path.join(out, "data.bsq")} and data.hdr: {nb} bands, {ys} lines, {xs} samples; band names '
          f'{band_names[0]} .. {band_names[-1]}; {FACTOR_KEY} = {number(per_unit)} ({UNITS_KEY} = {quantity}), '
          f'{_tsrecon.HEADER_KEYS["ignore_value"]} = {RAW_NO_DATA}'
          + ('' if layers[0].ds.GetGeoTransform(can_return_null=True) else '; no georeferencing in the inputs'))
    if masked:
        print(f'wrote {os.path.join(out, "mask.bsq")} and mask.hdr: 1 valid, 0 missing'
              + (' or rejected by quality' if rule is not None else ''))
    elif stale_mask:
        print(f'removed the mask.bsq of an earlier import from {out} (it belonged to another cube)')
    if verdict.pixels_ruined and args.no_mask:
        print(f'{PROG}: warning: --no-mask kept MASK=0 although {verdict.pixels_many} pixels have 2 % or more of '
              f'their samples missing: the preliminary fit takes those samples for values and spoils the fits '
              f'(tsrecon-check reports them); without --no-mask the import writes mask.bsq and MASK=1',
              file=sys.stderr)

    if layout.grid is not None:
        spy = _tsrecon.steps_per_year(layout.grid)
        suggested = _tsrecon.npoint_for_steps_per_year(spy)
        why = (f'{layout.basis}: {number(spy)} steps a year' if spy == suggested else
               f'{layout.basis}: 365.25 / {layout.grid.step_days} = {spy:.4g} steps a year, rounded')
    else:
        suggested, why = None, 'no dates' if not layers[0].date else 'one date only'
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
    if masked:
        contrl = 'MASK=1 /  INTP left off: under MASK=1 the preliminary fit does not run (i.bsq would hold zeros)'
        contrl_said = 'INTP off, MASK=1'
    else:
        contrl, contrl_said = 'INTP=1, MASK=0 /', 'INTP=1, MASK=0'
    if os.path.lexists(cntl):
        print(existing_cntl_note(cntl, nb, ys, xs, masked))
    else:
        with open(cntl, 'w') as f:
            f.write(f'{nb}\n{ys} {xs}\n'
                    f'&DATA NFUNC={nfunc} /  {_tsrecon.nfunc_note(npoint, nfunc)}\n'
                    f'&CONTRL {contrl}\n'
                    f'&NPT NPOINT={npoint} /  {npoint_note}\n')
        print(f'wrote {cntl}: NFUNC={nfunc}, {contrl_said}, NPOINT={npoint} ({npoint_note}); '
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
