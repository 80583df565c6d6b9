"""tsrecon-export: the products of a tsrecon job as GeoTIFFs a GIS can trust
(`python3 -m tsrecon.exporter`, or scripts/tsrecon-export).

Reads the products through the ENVI headers tsrecon-hdr writes (sizes and
georeferencing) and the scaling and dates tsrecon-import left in data.hdr
(through the program's one header reader). Writes f, i, p, min and max as
Float32 in the user's units with NaN (declared as no-data) where a pixel has
no model; order as Int16 (-1: the fit gave up); aic as stored; and, where
tsrecon-seasons made them, the seasons' maps as seasons.tif (Float32 as
stored, the bands named, NaN no-data). Where a pixel
has no model is the program's no-model rule on the stored products (its
order is 1 or less, or every plane of p.bsq is exactly 0): tsrecon writes
zeros to f, p, min and max there, and 0 is a legal value.
"""

import argparse
import os
import sys

import numpy as np

from . import _tsrecon
from ._rasters import (run_tool, FACTOR_KEY, RAW_SCALE as SCALED_UNIT, UNITS_KEY, Refusal, line_slices, load_gdal,
                       no_side_files, number, percent, read_header)

PROG = 'tsrecon-export'
gdal = None  # GDAL's bindings, loaded by main()
# The files of a run by name (their element sizes), and the key of band names.
FILES = {f['name']: f for f in _tsrecon.RUN_FILES}
BAND_NAMES_KEY = _tsrecon.HEADER_KEYS['band_names']
TIFF_OPTIONS = ['COMPRESS=DEFLATE', 'BIGTIFF=IF_SAFER']


def parse_args(argv):
    p = argparse.ArgumentParser(
        prog=PROG,
        description='Writes the products of a tsrecon job as GeoTIFFs: f, i, p, min, max in the user\'s units '
                    '(Float32, NaN where a pixel has no model), order (Int16, -1 where the fit gave up), aic, and '
                    'seasons (Float32) where tsrecon-seasons made them. '
                    'Run tsrecon, then tsrecon-hdr in the job first.')
    p.add_argument('-o', dest='out', metavar='DIR', help='directory for the GeoTIFFs (default: JOB_DIR)')
    p.add_argument('--factor', type=float, metavar='F',
                   help=f'raw per user unit (value = raw / F); default: "{FACTOR_KEY}" in data.hdr')
    p.add_argument('--raw', action='store_true',
                   help='also write f_raw.tif, i_raw.tif, p_raw.tif, min_raw.tif, max_raw.tif: the products '
                        'exactly as stored (raw and scaled units, zeros where there is no model)')
    p.add_argument('job', nargs='?', default='.', metavar='JOB_DIR', help='the job (default: the current directory)')
    a = p.parse_args(argv)
    if a.factor is not None and not a.factor > 0:
        p.error('--factor must be a positive number')
    return a


class Product:
    """A product opened through its ENVI header: by GDAL for the raster and
    its georeferencing, by the program's header reader for its band names."""

    def __init__(self, job, name, header):
        self.name, self.path = name, os.path.join(job, name)
        self.ds = gdal.Open(self.path)
        self.bands, self.lines, self.samples = self.ds.RasterCount, self.ds.RasterYSize, self.ds.RasterXSize
        self.band_names = band_names(read_header(header) or {}, self.bands)
        expected = self.bands * self.lines * self.samples * (FILES[name]['size'] if name in FILES else 4)
        if os.path.getsize(self.path) < expected:
            raise Refusal(f'{self.path} holds {os.path.getsize(self.path)} bytes, less than the {expected} its '
                          f'header gives it (an unfinished run?): run tsrecon to the end, then tsrecon-hdr')

    def read(self, band, y, rows):
        return self.ds.GetRasterBand(band).ReadAsArray(0, y, self.samples, rows)


def open_product(job, name, needed):
    path = os.path.join(job, name)
    header = os.path.splitext(path)[0] + '.hdr'
    if not os.path.exists(path) or not os.path.exists(header):
        if needed:
            raise Refusal(f'no {name} with its header in {job}: run tsrecon, then tsrecon-hdr there')
        return None
    return Product(job, name, header)


def band_names(entries, bands):
    """The names of `bands` bands in a header's entries, '' for a band it names not."""
    names = _tsrecon.envi_list(entries[BAND_NAMES_KEY]) if BAND_NAMES_KEY in entries else []
    return (names + [''] * bands)[:bands]


def job_scaling(job, factor):
    """(factor, units, dates) from --factor and data.hdr, and a note on where they came from."""
    dates, hdr_factor, units = None, None, None
    header = os.path.join(job, 'data.hdr')
    if os.path.exists(os.path.join(job, 'data.bsq')) and os.path.exists(header):
        entries = read_header(header)
        if entries is None:
            raise Refusal(f'{header} is not an ENVI header that can be read (its first line must be ENVI): fix it, '
                          f'or remove it to export in the program\'s scaled units')
        try:
            hdr_factor = float(entries.get(FACTOR_KEY, ''))
        except ValueError:
            hdr_factor = None
        units = entries.get(UNITS_KEY)
        try:
            bands = int(entries.get(_tsrecon.HEADER_KEYS['bands'], ''))
        except ValueError:
            bands = 0
        names = band_names(entries, bands)
        dates = names if all(names) else None
    if factor is not None:
        note = f'--factor {number(factor)}'
        if hdr_factor is not None and hdr_factor != factor:
            note += f' (data.hdr says {FACTOR_KEY} = {number(hdr_factor)}; --factor wins)'
            units = None
        return factor, units or 'input value', dates, note
    if hdr_factor is not None and hdr_factor > 0:
        return hdr_factor, units or 'input value', dates, f'{FACTOR_KEY} = {number(hdr_factor)} in data.hdr'
    print(f'{PROG}: warning: no scaling known (no "{FACTOR_KEY}" in data.hdr, no --factor): values in the '
          f'program\'s scaled units (raw / {number(SCALED_UNIT)})', file=sys.stderr)
    return float(SCALED_UNIT), f'scaled units (raw / {number(SCALED_UNIT)})', dates, 'no scaling known'


def no_model_map(p, order):
    """True where a pixel has no model by the program's rule on the stored
    products (order below MIN_MODEL_ORDER, or every plane of p exactly 0),
    and the orders as signed values."""
    signed = order.read(1, 0, order.lines).astype(np.uint8).view(np.int8)
    nomodel = np.empty((p.lines, p.samples), dtype=bool)
    for y, rows in line_slices(p.lines, p.samples, max(1, (1 << 22) // p.bands)):
        planes = np.stack([p.read(b, y, rows) for b in range(1, p.bands + 1)])
        nomodel[y:y + rows] = ~_tsrecon.has_model(signed[y:y + rows], planes)
    return nomodel, signed


def create_tiff(out, name, like, bands, gdal_type, names, nodata=None):
    ds = gdal.GetDriverByName('GTiff').Create(os.path.join(out, name), like.samples, like.lines, bands, gdal_type,
                                              TIFF_OPTIONS)
    gt = like.ds.GetGeoTransform(can_return_null=True)
    if gt:
        ds.SetGeoTransform(gt)
    if like.ds.GetProjection():
        ds.SetProjection(like.ds.GetProjection())
    for b, n in enumerate(names, 1):
        band = ds.GetRasterBand(b)
        band.SetDescription(n)
        if nodata is not None:
            band.SetNoDataValue(nodata)
    return ds


def write_scaled(out, name, product, names, ratios, nomodel, units):
    """value = stored x numerator / denominator, with (numerator, denominator)
    per band; NaN where there is no model."""
    ds = create_tiff(out, name, product, product.bands, gdal.GDT_Float32, names, float('nan'))
    ds.SetMetadataItem('TSRECON_UNITS', units)
    for b in range(1, product.bands + 1):
        band = ds.GetRasterBand(b)
        for y, rows in line_slices(product.lines, product.samples):
            num, den = ratios[b - 1]
            v = product.read(b, y, rows).astype(np.float64) * num / den
            v[nomodel[y:y + rows]] = np.nan
            band.WriteArray(v.astype(np.float32), 0, y)
    ds.FlushCache()


def copy_as(out, name, product, gdal_type, names, values=None):
    ds = create_tiff(out, name, product, product.bands, gdal_type, names)
    for b in range(1, product.bands + 1):
        for y, rows in line_slices(product.lines, product.samples):
            ds.GetRasterBand(b).WriteArray(product.read(b, y, rows) if values is None else values[y:y + rows], 0, y)
    ds.FlushCache()


def all_zero(product):
    return all(not product.read(b, y, rows).any()
               for b in range(1, product.bands + 1) for y, rows in line_slices(product.lines, product.samples))


def open_seasons(job, like):
    """The maps of tsrecon-seasons (seasons.bsq with its header) and the
    header's entries, checked against the run's p.bsq `like`; None when the
    job has none."""
    path = os.path.join(job, _tsrecon.SEASONS_FILE)
    if not os.path.exists(path):
        return None
    header = os.path.splitext(path)[0] + '.hdr'
    if not os.path.exists(header):
        raise Refusal(f'{path} has no header {os.path.basename(header)}: run tsrecon-seasons there again')
    entries = read_header(header)
    if entries is None:
        raise Refusal(f'{header} is not an ENVI header that can be read (its first line must be ENVI): run '
                      f'tsrecon-seasons there again')
    maps = Product(job, _tsrecon.SEASONS_FILE, header)
    if (maps.lines, maps.samples) != (like.lines, like.samples) or tuple(maps.band_names) != _tsrecon.SEASON_BAND_NAMES:
        raise Refusal(f'{path} is not the seasons of this run\'s p.bsq (other sizes or bands): run tsrecon-seasons '
                      f'there again')
    return maps, entries


def export_seasons(out, seasons):
    """seasons.tif from the maps open_seasons opened, as stored: they are in
    the user's units already."""
    maps, entries = seasons
    ds = create_tiff(out, 'seasons.tif', maps, maps.bands, gdal.GDT_Float32, maps.band_names, float('nan'))
    for key, item in ((FACTOR_KEY, 'TSRECON_FACTOR'), (UNITS_KEY, 'TSRECON_UNITS'),
                      (_tsrecon.HEADER_KEYS['description'], 'TSRECON_DESCRIPTION')):
        if key in entries:
            ds.SetMetadataItem(item, entries[key].strip('{}'))
    for b in range(1, maps.bands + 1):
        for y, rows in line_slices(maps.lines, maps.samples):
            ds.GetRasterBand(b).WriteArray(maps.read(b, y, rows), 0, y)
    ds.FlushCache()
    units = entries.get(UNITS_KEY) or f'raw / {entries.get(FACTOR_KEY, number(SCALED_UNIT))}'
    return f'{maps.bands} bands Float32 (seasons of tsrecon-seasons, values in {units}), NaN where no model'


def run(args):
    job = args.job
    out = args.out or job
    p = open_product(job, 'p.bsq', True)
    order = open_product(job, 'order.dat', True)
    if (order.lines, order.samples) != (p.lines, p.samples) or (p.bands - 2) % 2 or p.bands < 2:
        raise Refusal(f'p.hdr and order.hdr in {job} do not describe one run: run tsrecon-hdr there again')
    # Every input opened and checked (a short one refused) before anything is written.
    optional = {name: open_product(job, name, False) for name in ('f.bsq', 'i.bsq', 'min.dat', 'max.dat', 'aic.dat')}
    for name, product in optional.items():
        if product is not None and (product.lines, product.samples) != (p.lines, p.samples):
            raise Refusal(f'{os.path.splitext(name)[0]}.hdr and p.hdr in {job} do not describe one run: run '
                          f'tsrecon-hdr there again')
    seasons = open_seasons(job, p)
    factor, units, dates, note = job_scaling(job, args.factor)
    os.makedirs(out, exist_ok=True)
    nomodel, signed = no_model_map(p, order)
    pixels = p.lines * p.samples
    n_nomodel = int(np.count_nonzero(nomodel))
    print(f'{PROG}: values in {units}: value = raw / {number(factor)} ({note}); p.bsq\'s constant, trend and '
          f'amplitudes x {number(SCALED_UNIT)} / {number(factor)}, phases in radians')
    print(f'  no model at {n_nomodel} of {pixels} pixels ({percent(n_nomodel, pixels)}): order -1 at '
          f'{int(np.count_nonzero(signed == -1))}, order 0 or 1 at {int(np.count_nonzero((signed >= 0) & (signed <= 1)))}, '
          f'all parameters 0 at {int(np.count_nonzero(nomodel & (signed >= _tsrecon.MIN_MODEL_ORDER)))} more; NaN there')

    def wrote(name, what):
        print(f'wrote {os.path.join(out, name)}: {what}')

    nfunc = (p.bands - 2) // 2
    pnames = _tsrecon.parameter_names(nfunc)
    # Phases in radians; the constant, the trend and the amplitudes in scaled units.
    ratios = [(1, 1) if _tsrecon.is_phase_plane(j) else (SCALED_UNIT, factor) for j in range(len(pnames))]
    write_scaled(out, 'p.tif', p, pnames, ratios, nomodel, units)
    wrote('p.tif', f'{p.bands} bands Float32 (constant, trend per 10 time steps, amplitudes in {units}; phases in '
                   f'radians), NaN where no model')
    for base in ('f', 'i'):
        series = optional[f'{base}.bsq']
        if series is None:
            continue
        if base == 'i' and all_zero(series):
            print('skipped i.bsq: all 0 (a run with MASK=1 writes no preliminary fit)')
            continue
        names = dates if dates and len(dates) == series.bands else [
            name or step for name, step in zip(series.band_names, _tsrecon.time_step_names(series.bands))]
        write_scaled(out, f'{base}.tif', series, names, [(1, factor)] * series.bands, nomodel, units)
        wrote(f'{base}.tif', f'{series.bands} bands Float32 in {units}, band names {names[0]} .. {names[-1]}, '
                             f'NaN where no model')
        if args.raw:
            copy_as(out, f'{base}_raw.tif', series, gdal.GDT_Int16, names)
            wrote(f'{base}_raw.tif', f'{series.bands} bands Int16, raw values as stored')
    for base in ('min', 'max'):
        m = optional[f'{base}.dat']
        if m is None:
            continue
        write_scaled(out, f'{base}.tif', m, [base], [(1, factor)], nomodel, units)
        wrote(f'{base}.tif', f'Float32 in {units}, NaN where no model')
        if args.raw:
            copy_as(out, f'{base}_raw.tif', m, gdal.GDT_Int16, [base])
            wrote(f'{base}_raw.tif', 'Int16, raw values as stored')
    if args.raw:
        copy_as(out, 'p_raw.tif', p, gdal.GDT_Float32, pnames)
        wrote('p_raw.tif', f'{p.bands} bands Float32 as stored (scaled units, raw / {number(SCALED_UNIT)})')
    copy_as(out, 'order.tif', order, gdal.GDT_Int16, ['order'], signed.astype(np.int16))
    wrote('order.tif', 'Int16 model order, -1 where the fit gave up')
    aic = optional['aic.dat']
    if aic is not None:
        copy_as(out, 'aic.tif', aic, gdal.GDT_Float32, ['aic'])
        wrote('aic.tif', 'Float32 information criterion as stored')
    if seasons is not None:
        wrote('seasons.tif', export_seasons(out, seasons))


def main(argv=None):
    """tsrecon-export with the arguments `argv` (default: the command line's); returns the exit status."""
    global gdal
    gdal = load_gdal(PROG)
    if gdal is None:
        return 1
    no_side_files(gdal)
    return run_tool(PROG, run, parse_args(sys.argv[1:] if argv is None else argv))


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
