"""End-to-end tests of scripts/tsrecon-import and scripts/tsrecon-export on
rasters made here with GDAL, the way users' files come: MODIS-style Int16 NDVI
x 10000 with a -3000 fill, UInt16, Byte, Float32 with NaN, multi-band files,
JPEG2000, declared and undeclared scaling. Expected cubes are computed here
from the known values with exact arithmetic, not with the tools' code.

Run by ctest with PYTHONPATH naming the package's sources and the build
under test; tsrecon, tsrecon-hdr, tsrecon-gen, tsrecon-tile and
tsrecon-seasons are taken beside its extension."""

import os
import re
from fractions import Fraction

import numpy as np
import pytest
from osgeo import gdal, osr

from programs import BUILD
from stacks import GT, NL, NS, dates, dekads, expected_raw, months, raster, run, tool, wkt

RNG = np.random.default_rng(7)


def ndvi10000(n, fill=None):
    v = RNG.integers(-2000, 10001, size=(n, NL, NS))
    if fill is not None:
        v[RNG.random(v.shape) < 0.2] = fill
    return v


def case_modis_int16(tmp):
    v = ndvi10000(12, fill=-3000)
    for d, plane in zip(months(12), v):
        raster(tmp / f'MOD13A3.A{d.year}{d.timetuple().tm_yday:03d}.ndvi.tif', [plane], gdal.GDT_Int16, -3000)
    return [], v, v == -3000, lambda x: x * Fraction(16, 100), months(12), 12, 4


def case_undeclared_fill(tmp):  # the fill value given with --nodata
    v = ndvi10000(12, fill=-3000)
    for d, plane in zip(months(12), v):
        raster(tmp / f'ndvi_{d:%Y%m%d}.tif', [plane], gdal.GDT_Int16)
    return ['--nodata', -3000], v, v == -3000, lambda x: x * Fraction(16, 100), months(12), 12, 4


def case_uint16(tmp):
    v = RNG.integers(0, 10001, size=(23, NL, NS))
    for d, plane in zip(dates('2014-01-01', 16, 23), v):
        raster(tmp / f'ndvi_{d:%Y%m%d}.tif', [plane], gdal.GDT_UInt16)
    return [], v, v < 0, lambda x: x * Fraction(16, 100), dates('2014-01-01', 16, 23), 23, 5


def case_byte_declared(tmp):  # stored x 0.004 - 0.08, as PROBA-V NDVI
    v = RNG.integers(0, 251, size=(10, NL, NS))
    v[0, 0, 0] = 255
    for d, plane in zip(dekads(10), v):
        raster(tmp / f'{d}.tif', [plane], gdal.GDT_Byte, 255, scale=0.004, offset=-0.08)
    return ([], v, v == 255, lambda x: (x * Fraction(4, 1000) - Fraction(8, 100)) * 1600, dekads(10), 36, 6)


def case_float_nan(tmp):  # with the halfway case 12.5, the edges, NaN and a fill value
    v = RNG.uniform(-0.3, 1.0, size=(46, NL, NS)).astype(np.float32)
    v[0, 0, :] = [0.0078125, -0.0078125, 1.0, np.nan]
    v[RNG.random(v.shape) < 0.1] = np.nan
    v[RNG.random(v.shape) < 0.1] = 1e20
    for d, plane in zip(dates('2014-01-01', 8, 46), v):
        raster(tmp / f'ndvi_{d}.tif', [plane], gdal.GDT_Float32, 1e20)
    return [], v, np.isnan(v) | (v == np.float32(1e20)), lambda x: x * 1600, dates('2014-01-01', 8, 46), 46, 6


def case_reflectance(tmp):
    v = RNG.uniform(0.0, 0.6, size=(5, NL, NS)).astype(np.float32)
    v[0, 0, :2] = [1.0, 0.5]
    for d, plane in zip(dates('2014-01-01', 8, 5), v):
        raster(tmp / f'refl_{d}.tif', [plane], gdal.GDT_Float32)
    return ['--reflectance'], v, np.isnan(v), lambda x: x * 4096, dates('2014-01-01', 8, 5), 46, 6


def case_multiband_shuffled(tmp):  # dates in the band descriptions, not in time order
    days = dates('2014-01-01', 16, 8)
    order = [3, 0, 7, 1, 5, 2, 6, 4]
    v = ndvi10000(8, fill=-3000)
    raster(tmp / 'stack.tif', v[order], gdal.GDT_Int16, -3000, descriptions=[f'NDVI {days[k]}' for k in order])
    return [], v, v == -3000, lambda x: x * Fraction(16, 100), days, 23, 5


def case_declared_scale_int32(tmp):  # NDVI x 100000: only the declared scale tells
    v = RNG.integers(-20000, 100001, size=(12, NL, NS))
    for d, plane in zip(months(12), v):
        raster(tmp / f'ndvi_{d}.tif', [plane], gdal.GDT_Int32, scale=1e-5, offset=0.0)
    return [], v, v < -20000, lambda x: x * Fraction(1600, 100000), months(12), 12, 4


def case_factor(tmp):  # Int16 beyond -10000..10000 converted with --factor
    v = RNG.integers(0, 20001, size=(4, NL, NS))
    for d, plane in zip(months(4), v):
        raster(tmp / f'x_{d}.tif', [plane], gdal.GDT_Int16)
    return ['--factor', 0.08], v, v < 0, lambda x: x * Fraction(8, 100), months(4), 12, 4


def case_jpeg2000_mask(tmp):  # no-data in the .aux.xml GDAL keeps beside a JPEG2000 file
    v = ndvi10000(12, fill=-3000)
    for d, plane in zip(months(12), v):
        raster(tmp / f'MOD13A3.A{d.year}{d.timetuple().tm_yday:03d}.jp2', [plane], gdal.GDT_Int16, -3000,
               fmt='JP2OpenJPEG')
    return ['--mask'], v, v == -3000, lambda x: x * Fraction(16, 100), months(12), 12, 4


def case_divisor_with_offset(tmp):  # a declared scale above 1 and an offset: value = (stored - offset) / scale
    v = RNG.integers(0, 12001, size=(12, NL, NS))
    for d, plane in zip(months(12), v):
        raster(tmp / f'ndvi_{d}.tif', [plane], gdal.GDT_Int16, scale=10000.0, offset=2000.0)
    return [], v, v < 0, lambda x: (x - 2000) * Fraction(1600, 10000), months(12), 12, 4


def case_float_x10000(tmp):  # NDVI x 10000 kept in floats, the MODIS fill undeclared
    v = ndvi10000(12, fill=-3000).astype(np.float32)
    for d, plane in zip(months(12), v):
        raster(tmp / f'ndvi_{d}.tif', [plane], gdal.GDT_Float32)
    return [], v, v == -3000, lambda x: x * Fraction(16, 100), months(12), 12, 4


def case_undeclared_modis_fill(tmp):  # -3000 lies outside the valid range of NDVI x 10000: missing, declared or not
    v = ndvi10000(12, fill=-3000)
    v[0, 0, :2] = [-2000, 10000]  # the range's ends are valid
    for d, plane in zip(months(12), v):
        raster(tmp / f'ndvi_{d:%Y%m%d}.tif', [plane], gdal.GDT_Int16)
    return [], v, v == -3000, lambda x: x * Fraction(16, 100), months(12), 12, 4


def case_envi_band_names(tmp):  # the dates in an ENVI header's band names
    v = ndvi10000(6)
    raster(tmp / 'stack.bsq', v, gdal.GDT_Int16, fmt='ENVI', descriptions=[str(d) for d in dekads(6)])
    return [], v, v < -2000, lambda x: x * Fraction(16, 100), dekads(6), 36, 6


@pytest.mark.parametrize('case', [case_modis_int16, case_undeclared_fill, case_uint16, case_byte_declared,
                                  case_float_nan, case_reflectance, case_multiband_shuffled,
                                  case_declared_scale_int32, case_factor, case_jpeg2000_mask,
                                  case_divisor_with_offset, case_float_x10000, case_undeclared_modis_fill, case_envi_band_names],
                         ids=lambda c: c.__name__[5:])
def test_import_converts_exactly(tmp_path, case):
    src = tmp_path / 'in'
    src.mkdir()
    opts, stored, missing, to_raw, days, npoint, nfunc = case(src)
    r = tool('tsrecon-import', *opts, '-o', 'job', *sorted(n for n in os.listdir(src) if not n.endswith(('.xml', '.hdr'))), cwd=src)
    assert r.returncode == 0, r.stderr
    job = src / 'job'
    ds = gdal.Open(str(job / 'data.bsq'))
    got = ds.ReadAsArray().astype(np.int64).reshape(stored.shape)
    assert (got == expected_raw(stored, missing, to_raw)).all()
    assert [ds.GetRasterBand(b).GetDescription() for b in range(1, ds.RasterCount + 1)] == [str(d) for d in days]
    assert ds.GetGeoTransform() == GT and osr.SpatialReference(ds.GetProjection()).GetUTMZone() == -21
    assert ds.GetRasterBand(1).GetNoDataValue() == 32767
    cntl = (job / 'cntl.dat').read_text().splitlines()
    assert cntl[:2] == [str(len(days)), f'{NL} {NS}']
    assert cntl[2].startswith(f'&DATA NFUNC={nfunc} /') and cntl[4].startswith(f'&NPT NPOINT={npoint} /')
    if '--mask' in opts:
        assert 'MASK=1' in cntl[3]
        assert (np.fromfile(job / 'mask.bsq', 'u1').reshape(stored.shape) == ~missing).all()
    assert not [f for f in os.listdir(job) if f.endswith('.aux.xml')]


def test_import_records_scaling_and_keeps_cntl(tmp_path):
    raster(tmp_path / 'a_2014-01-01.tif', ndvi10000(1), gdal.GDT_Int16)
    raster(tmp_path / 'b_2014-01-17.tif', ndvi10000(1), gdal.GDT_Int16)
    raster(tmp_path / 'c.A2014033.tif', ndvi10000(1), gdal.GDT_Int16)
    raster(tmp_path / 'd.tif', ndvi10000(1), gdal.GDT_Int16, metadata={'TIFFTAG_DATETIME': '2014:02:18 10:00:00'})
    files = ['d.tif', 'c.A2014033.tif', 'a_2014-01-01.tif', 'b_20140117.tif']
    os.rename(tmp_path / 'b_2014-01-17.tif', tmp_path / 'b_20140117.tif')
    r = tool('tsrecon-import', '-o', 'job', *files, cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert 'sorted by date' in r.stdout and 'raw = value x 0.16' in r.stdout
    hdr = (tmp_path / 'job' / 'data.hdr').read_text()
    for line in ('tsrecon factor = 1600', 'tsrecon units = NDVI', 'data ignore value = 32767',
                 'band names = {\n2014-01-01,\n2014-01-17,\n2014-02-02,\n2014-02-18}'):
        assert line in hdr
    (tmp_path / 'job' / 'cntl.dat').write_text('mine\n')
    r = tool('tsrecon-import', '-o', 'job', *files, cwd=tmp_path)
    assert r.returncode == 0 and 'kept the existing' in r.stdout
    assert (tmp_path / 'job' / 'cntl.dat').read_text() == 'mine\n'


def test_the_last_day_of_a_year_and_a_window_of_one_day(tmp_path):
    """Days 350, 358 and 366 of a leap year (an 8-day step): day 366 is a date, and --from D --to D takes it alone."""
    files = [f'MOD09A1.A2016{doy}.tif' for doy in (350, 358, 366)]
    for name in files:
        raster(tmp_path / name, ndvi10000(1), gdal.GDT_Int16)
    for opts, names in (([], ['2016-12-15', '2016-12-23', '2016-12-31']),
                        (['--from', '2016-12-31', '--to', '2016-12-31'], ['2016-12-31'])):
        r = tool('tsrecon-import', *opts, '-o', 'job', *files, cwd=tmp_path)
        assert r.returncode == 0, r.stderr
        ds = gdal.Open(str(tmp_path / 'job' / 'data.bsq'))
        assert [ds.GetRasterBand(b).GetDescription() for b in range(1, ds.RasterCount + 1)] == names
        ds = None

def test_a_frequent_smallest_value_is_named(tmp_path):
    """0 in one sample of each of 12 files (8.33 % of them), no no-data value declared: the import says so."""
    files = []
    for d in months(12):
        v = RNG.integers(1, 10001, size=(1, NL, NS))
        v[0, d.month % NL, 1] = 0
        files.append(f'ndvi_{d}.tif')
        raster(tmp_path / files[-1], v, gdal.GDT_Int16)
    r = tool('tsrecon-import', '-o', 'job', *files, cwd=tmp_path)
    assert r.returncode == 0 and 'the smallest value, 0, holds 8.33 % of the Int16 samples' in r.stderr, r.stderr
    assert 'run again with --nodata 0' in r.stderr

REFUSALS = [
    ('byte without scale', [dict(t=gdal.GDT_Byte)], [], 'gdal_edit.py -scale'),
    ('integers beyond 10000', [dict(t=gdal.GDT_Int16, v=20000)], [], '--factor F'),
    ('not NDVI', [dict(t=gdal.GDT_Float32, v=5.5)], ['--ndvi'], 'cannot be NDVI'),
    ('grid', [{}, dict(gt=(600250.0,) + GT[1:])], [], 'gdalwarp'),
    ('grid shifted by half a pixel', [{}, dict(gt=(600125.0,) + GT[1:])], [], 'lie on different grids'),
    ('grid shifted by a hundredth of a pixel', [{}, dict(gt=GT[:3] + (8700002.5,) + GT[4:])], [], 'different grids'),
    ('size', [{}, dict(shape=(1, NL + 1, NS))], [], 'gdalwarp'),
    ('projection', [{}, dict(epsg=32722)], [], 'projection'),
    ('duplicate dates', [dict(name='a_2014-01-01.tif'), dict(name='b_20140101.tif')], [], 'same date'),
    ('day 366 of a 365-day year', [dict(name='MOD13Q1.A2015353.tif'), dict(name='MOD13Q1.A2015366.tif')], [],
     'A2015366.tif: 2015366 is day 366 of 2015, a year of 365 days'),
    ('declared scale above 1 with an offset', [dict(scale=10000.0, offset=-15000.0)], [], 'check the declared scale'),
]


@pytest.mark.parametrize('files,opts,message', [r[1:] for r in REFUSALS], ids=[r[0] for r in REFUSALS])
def test_import_refuses(tmp_path, files, opts, message):
    names = []
    for k, f in enumerate(files):
        name = f.get('name', f'f_2014-01-{k + 1:02d}.tif')
        shape = f.get('shape', (1, NL, NS))
        raster(tmp_path / name, np.full(shape, f.get('v', 100)), f.get('t', gdal.GDT_Int16), gt=f.get('gt', GT),
               epsg=f.get('epsg', 32721), scale=f.get('scale'), offset=f.get('offset'))
        names.append(name)
    r = tool('tsrecon-import', *opts, '-o', 'job', *names, cwd=tmp_path)
    assert r.returncode == 1 and message in r.stderr and len(r.stderr.strip().splitlines()) == 1, r.stderr
    assert not (tmp_path / 'job').exists()


@pytest.mark.parametrize('name', ['tsrecon-import', 'tsrecon-export'])
def test_launcher_takes_the_build_named(tmp_path, name):
    """Without PYTHONPATH a launcher of the source tree runs its package with
    the extension of the build TSRECON_BUILD_DIR names, wherever it lies."""
    env = {k: v for k, v in os.environ.items() if k != 'PYTHONPATH'}
    r = tool(name, '--help', cwd=tmp_path, env=dict(env, TSRECON_BUILD_DIR=BUILD))
    assert r.returncode == 0 and r.stdout.startswith(f'usage: {name}'), r.stderr


def test_pipeline_import_run_export(tmp_path):
    """Generated NDVI as MODIS-style Int16 files -> import -> tsrecon -> tsrecon-hdr -> export."""
    (tmp_path / 'gen').mkdir()
    run('tsrecon-gen', tmp_path, '--dir', 'gen', '--nb', '23', '--nl', '8', '--ns', '10', '--npoint', '23',
        '--seed', '21', '--nodata', '0.2')
    raw = np.fromfile(tmp_path / 'gen' / 'data.bsq', '<i2').reshape(23, 8, 10).astype(np.int64)
    raw[:, 0, 0] = 32767  # a pixel without any data
    v = np.where(raw == 32767, -3000, np.minimum((raw * 25 + 2) // 4, 10000))  # NDVI x 10000, rounded
    days = dates('2014-01-01', 16, 23)
    (tmp_path / 'in').mkdir()
    for d, plane in zip(days, v):
        raster(tmp_path / 'in' / f'MOD13Q1.A{d.year}{d.timetuple().tm_yday:03d}.tif', [plane], gdal.GDT_Int16,
               -3000)
    # Runs of no-data in a fifth of the pixels: kept under MASK=0 here (the masked road is tested below).
    r = tool('tsrecon-import', '--no-mask', '-o', 'job', *sorted(os.listdir(tmp_path / 'in')), cwd=tmp_path / 'in')
    assert r.returncode == 0 and '--no-mask kept MASK=0' in r.stderr, r.stderr
    job = tmp_path / 'in' / 'job'
    assert (np.fromfile(job / 'data.bsq', '<i2').reshape(raw.shape) == np.minimum(raw, 1600) + (raw == 32767) * 31167).all()

    # The comments after the groups are dropped: the same bytes as without them.
    plain = tmp_path / 'plain'
    plain.mkdir()
    (plain / 'data.bsq').write_bytes((job / 'data.bsq').read_bytes())
    (plain / 'cntl.dat').write_text(''.join(line.split('/')[0] + ('/' if '/' in line else '') + '\n'
                                            for line in (job / 'cntl.dat').read_text().splitlines()))
    echo = [run('tsrecon', d) for d in (job, plain)]
    assert echo[0] == echo[1] and echo[0].endswith('Program Deadified\n')
    for name in ('p.bsq', 'f.bsq', 'i.bsq', 'order.dat', 'aic.dat', 'min.dat', 'max.dat'):
        assert (job / name).read_bytes() == (plain / name).read_bytes(), name
    assert os.path.getsize(job / 'p.bsq') == (2 * 5 + 2) * 8 * 10 * 4  # NFUNC=5 for NPOINT=23
    run('tsrecon-tile', job, 'split', '2')
    assert (job / 'blocks' / 'block-0001' / 'cntl.dat').read_text().splitlines()[2:] == \
        (job / 'cntl.dat').read_text().splitlines()[2:]

    run('tsrecon-hdr', job)
    run('tsrecon-seasons', job)
    r = tool('tsrecon-export', '-o', 'out', '.', cwd=job)
    assert r.returncode == 0, r.stderr
    out = job / 'out'
    # The seasons' maps as stored, named, NaN no-data, georeferenced as data.hdr.
    seasons = gdal.Open(str(out / 'seasons.tif'))
    assert (seasons.ReadAsArray().astype('<f4').tobytes() == (job / 'seasons.bsq').read_bytes())
    assert [seasons.GetRasterBand(b).GetDescription() for b in (1, 2, 32)] == ['nseasons', 's1_greenup',
                                                                               'trend_per_year']
    assert np.isnan(seasons.GetRasterBand(5).GetNoDataValue()) and seasons.GetMetadataItem('TSRECON_FACTOR') == '1600'
    assert seasons.GetGeoTransform() == GT and osr.SpatialReference(seasons.GetProjection()).GetUTMZone() == -21
    seasons = None
    f = np.fromfile(job / 'f.bsq', '<i2').reshape(23, 8, 10)
    nomodel = np.fromfile(job / 'order.dat', 'i1').reshape(8, 10) <= 1
    nomodel |= (np.fromfile(job / 'p.bsq', '<f4').reshape(12, 8, 10) == 0).all(axis=0)
    assert nomodel[0, 0] and not nomodel.all()
    ft = gdal.Open(str(out / 'f.tif'))
    got = ft.ReadAsArray()
    assert np.isnan(got[:, nomodel]).all()
    assert (got[:, ~nomodel] == (f / 1600).astype(np.float32)[:, ~nomodel]).all()
    assert [ft.GetRasterBand(b).GetDescription() for b in range(1, 24)] == [str(d) for d in days]
    for name in ('p', 'f', 'i', 'min', 'max', 'order', 'aic'):
        ds = gdal.Open(str(out / f'{name}.tif'))
        assert ds.GetGeoTransform() == GT and osr.SpatialReference(ds.GetProjection()).GetUTMZone() == -21, name
    assert not [n for n in os.listdir(job) + os.listdir(out) if n.endswith('.aux.xml')]


def fake_job(d, factor):
    """A finished job of 3 dates, 2 x 3 pixels, NFUNC=2, whose products hold chosen values."""
    d.mkdir()
    (d / 'cntl.dat').write_text('3\n2 3\n&DATA NFUNC=2 /\n&CONTRL INTP=1 /\n&NPT NPOINT=23 /\n')
    ds = gdal.GetDriverByName('ENVI').Create(str(d / 'data.bsq'), 3, 2, 3, gdal.GDT_Int16)
    ds.SetGeoTransform(GT)
    ds.SetProjection(wkt())
    for b, day in enumerate(('2014-01-01', '2014-01-17', '2014-02-02'), 1):
        ds.GetRasterBand(b).SetDescription(day)
    if factor:
        ds.SetMetadataItem('tsrecon factor', str(factor), 'ENVI')
    ds = None
    # pixels: order -1; order 1; order 3 with all-zero parameters; order 2; order 4 with an NDVI of 0
    order = np.array([-1, 1, 3, 2, 4, 2], 'i1')
    p = np.arange(1, 37, dtype='<f4').reshape(6, 6) / 64
    p[:, 2] = 0
    f = np.arange(1, 19, dtype='<i2').reshape(3, 6) * 100
    f[:, 2] = 0
    f[1, 4] = 0
    for name, values in (('order.dat', order), ('p.bsq', p), ('f.bsq', f), ('i.bsq', f + 7),
                         ('aic.dat', np.full(6, -12.5, '<f4')), ('min.dat', f.min(axis=0)),
                         ('max.dat', f.max(axis=0))):
        values.tofile(d / name)
    run('tsrecon-hdr', d)
    return order, p, f, np.array([True, True, True, False, False, False])


@pytest.mark.parametrize('header_factor,option,factor', [(1600, [], 1600), (None, [], 4096),
                                                          (1600, ['--factor', '10000'], 10000)])
def test_export_nan_where_no_model(tmp_path, header_factor, option, factor):
    order, p, f, nomodel = fake_job(tmp_path / 'job', header_factor)
    r = tool('tsrecon-export', *option, '--raw', cwd=tmp_path / 'job')
    assert r.returncode == 0, r.stderr
    assert (header_factor is None) == ('no scaling known' in r.stderr)
    assert 'no model at 3 of 6 pixels (50.00 %): order -1 at 1, order 0 or 1 at 1, all parameters 0 at 1 more' in r.stdout

    def tif(name):
        ds = gdal.Open(str(tmp_path / 'job' / f'{name}.tif'))
        return ds, ds.ReadAsArray().reshape(ds.RasterCount, 6)

    amplitudes = np.array([4096] * 3 + [1, 4096, 1])[:, None]
    for name, stored, num, den in (('f', f, 1, factor), ('i', f + 7, 1, factor), ('min', f.min(axis=0), 1, factor),
                                   ('max', f.max(axis=0), 1, factor),
                                   ('p', p, amplitudes, np.where(amplitudes == 1, 1, factor))):
        ds, got = tif(name)
        want = (stored.reshape(got.shape).astype(np.float64) * num / den).astype(np.float32)
        assert np.isnan(got[:, nomodel]).all() and (got[:, ~nomodel] == want[:, ~nomodel]).all(), name
        assert ds.GetRasterBand(1).DataType == gdal.GDT_Float32 and np.isnan(ds.GetRasterBand(1).GetNoDataValue())
        assert (tif(name + '_raw')[1] == stored.reshape(got.shape)).all(), name
    assert tif('f')[1][1, 4] == 0  # an NDVI of 0 where there is a model stays 0
    ds, p_ds = tif('f')[0], tif('p')[0]  # keep the datasets alive while their bands are used
    assert [ds.GetRasterBand(b).GetDescription() for b in (1, 2, 3)] == ['2014-01-01', '2014-01-17', '2014-02-02']
    assert p_ds.GetRasterBand(3).GetDescription() == 'amplitude_1'
    ds, got = tif('order')
    assert ds.GetRasterBand(1).DataType == gdal.GDT_Int16 and (got[0] == order).all()
    assert (tif('aic')[1] == -12.5).all()


@pytest.mark.parametrize('extra,status,said', [
    (None, 1, 'data.hdr is not an ENVI header'),
    ('Tsrecon   Factor = 10000\n', 0, 'value = raw / 10000 (tsrecon factor = 10000 in data.hdr)'),
    ('tsrecon factor = 0\n', 0, 'value = raw / 4096 (no scaling known)')],
    ids=['not a header', 'keys folded', 'a factor of 0'])
def test_export_reads_data_hdr_with_the_programs_reader(tmp_path, extra, status, said):
    fake_job(tmp_path / 'job', None)
    hdr = tmp_path / 'job' / 'data.hdr'
    hdr.write_text('garbage\n' if extra is None else hdr.read_text() + extra)
    r = tool('tsrecon-export', cwd=tmp_path / 'job')
    assert r.returncode == status and said in r.stdout + r.stderr, r.stderr
    assert (tmp_path / 'job' / 'p.tif').exists() == (status == 0)


@pytest.mark.parametrize('name,size', [('f.bsq', 3 * 6 * 2), ('p.bsq', 6 * 6 * 4)])
@pytest.mark.parametrize('cut', [1, 6 * 4])
def test_export_refuses_a_product_cut_short(tmp_path, name, size, cut):
    """GDAL reads zeros past the end of a short raw file: a product shorter
    than its header says (an unfinished run) is refused, and nothing written."""
    fake_job(tmp_path / 'job', 1600)
    path = tmp_path / 'job' / name
    assert os.path.getsize(path) == size
    os.truncate(path, size - cut)
    r = tool('tsrecon-export', cwd=tmp_path / 'job')
    assert r.returncode == 1, r.stdout
    assert f'{name} holds {size - cut} bytes, less than the {size} its header gives it' in r.stderr, r.stderr
    assert not [n for n in os.listdir(tmp_path / 'job') if n.endswith('.tif')]


@pytest.mark.parametrize('damage,message', [
    (lambda job: os.truncate(job / 'seasons.bsq', 768 - 4), 'seasons.bsq holds 764 bytes, less than the 768 its header'),
    (lambda job: (job / 'seasons.hdr').write_text('garbage\n'), 'seasons.hdr is not an ENVI header that can be read'),
    (lambda job: (job / 'seasons.hdr').write_text(re.sub(r'bands\s*=\s*32', 'bands = 31', (job / 'seasons.hdr')
                                                         .read_text())), "is not the seasons of this run's p.bsq"),
], ids=['cut short', 'not a header', 'other bands'])
def test_export_refuses_broken_seasons_before_writing(tmp_path, damage, message):
    """seasons.bsq is written last but checked first: broken, it stops the
    export before any file is written."""
    job = tmp_path / 'job'
    fake_job(job, 1600)
    run('tsrecon-seasons', job)
    assert os.path.getsize(job / 'seasons.bsq') == 768
    damage(job)
    r = tool('tsrecon-export', '-o', 'out', cwd=job)
    assert r.returncode == 1 and message in r.stderr, r.stderr
    assert not (job / 'out').exists()


def test_export_refuses_a_p_bsq_of_no_model(tmp_path):
    """p.bsq holds 2 x NFUNC + 2 planes: a header that gives it an odd count describes no run."""
    fake_job(tmp_path / 'job', 1600)
    hdr = tmp_path / 'job' / 'p.hdr'
    assert 'bands = 6\n' in hdr.read_text()
    hdr.write_text(hdr.read_text().replace('bands = 6\n', 'bands = 5\n'))
    r = tool('tsrecon-export', cwd=tmp_path / 'job')
    assert r.returncode == 1 and 'p.hdr and order.hdr in . do not describe one run' in r.stderr, r.stderr


def test_export_writes_every_series_with_its_names(tmp_path):
    """An f.bsq of zeros is exported like any other, and dates of a data.hdr of other bands name no band."""
    fake_job(tmp_path / 'job', 1600)
    (tmp_path / 'job' / 'f.bsq').write_bytes(bytes(3 * 6 * 2))
    hdr = tmp_path / 'job' / 'data.hdr'
    hdr.write_text(re.sub(r'bands\s*=\s*3\n', 'bands = 2\n', hdr.read_text()))
    r = tool('tsrecon-export', cwd=tmp_path / 'job')
    assert r.returncode == 0, r.stderr
    ds = gdal.Open(str(tmp_path / 'job' / 'f.tif'))
    assert all(ds.GetRasterBand(b).GetDescription() for b in (1, 2, 3)) and ds.ReadAsArray()[:, 1, 1].tolist() == [0] * 3
