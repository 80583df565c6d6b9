"""tsrecon-import on stacks as they come: scattered no-data (the mask),
missing composites on each grid, irregular acquisitions (refused, then
composited), CF time axes (NetCDF, Zarr), quality layers of each kind
against a decoding of their bits written here, records longer than the
program takes, and a 16-day EVI stack of an alpine valley (winter snow and
three composites lost) through the README's commands.

The expected dates are stepped through the calendar here, the expected
values computed with exact arithmetic; nothing is taken from the tools."""

import datetime
import os
from fractions import Fraction

import numpy as np
import pytest
from osgeo import gdal

from stacks import (NL, NS, band_names, cf_file, cntl_members, composites, dates, dekads, expected_raw, half_away,
                    modis_name, months, raster, read_job, run, tool)

RNG = np.random.default_rng(18)
# NumPy's note on the binary layout of the NetCDF library's extension, not a fault.
pytestmark = pytest.mark.filterwarnings('ignore:numpy.ndarray size changed')
X10000 = lambda x: x * Fraction(16, 100)  # noqa: E731  NDVI x 10000 -> raw (x 1600)


def write_dates(folder, days, planes, name=lambda d: f'ndvi_{d}.tif', gdal_type=gdal.GDT_Int16, nodata=None):
    folder.mkdir(exist_ok=True)
    for d, plane in zip(days, planes):
        raster(folder / name(d), [plane], gdal_type, nodata)
    return sorted(os.listdir(folder))


def import_job(folder, *args):
    r = tool('tsrecon-import', '-o', 'job', *args, cwd=folder)
    return r, folder / 'job'


def month_start(d):
    return d.replace(day=1)


GRIDS = [  # name, every date of the grid, the indices left out, the band date of a step left out, NPOINT
    ('Terra 16-day across a year change', composites('2014-11-17', 12), [2, 3], None, 23),
    ('Aqua 16-day across a year change', composites('2014-11-25', 12, 'aqua'), [2, 4], None, 23),
    ('8-day', composites('2014-12-03', 12, '8-day'), [1, 5, 6], None, 46),
    ('monthly, mid-month', months(12, datetime.date(2014, 9, 1), day=15), [4, 5], month_start, 12),
    ('dekads', dekads(14, datetime.date(2014, 12, 1)), [4], None, 36),
    ('5-day step', dates('2014-03-02', 5, 12), [3], None, 73),        # 365.25 / 5 = 73.05
    ('3-day step', dates('2014-03-02', 3, 12), [5, 6], None, 122),    # 365.25 / 3 = 121.75
]


@pytest.mark.parametrize('every,left_out,dated_as,npoint', [g[1:] for g in GRIDS], ids=[g[0] for g in GRIDS])
def test_missing_dates_become_bands_of_missing_samples(tmp_path, every, left_out, dated_as, npoint):
    v = RNG.integers(0, 10001, size=(len(every), NL, NS))
    kept = [k for k in range(len(every)) if k not in left_out]
    files = write_dates(tmp_path / 'in', [every[k] for k in kept], v[kept],
                        name=modis_name if npoint in (23, 46) else (lambda d: f'ndvi_{d}.tif'))
    r, job = import_job(tmp_path / 'in', *files)
    assert r.returncode == 0, r.stderr
    inserted = [str((dated_as or (lambda d: d))(every[k])) for k in left_out]
    assert band_names(job) == [str(d) if k in kept else inserted[left_out.index(k)] for k, d in enumerate(every)]
    assert f'{len(left_out)} date' in r.stdout and all(d in r.stdout for d in inserted)
    data, mask = read_job(job, v.shape)
    missing = np.zeros(v.shape, bool)
    missing[left_out] = True
    assert (data == expected_raw(v, missing, X10000)).all()
    assert mask is not None and (mask == ~missing).all()
    members = cntl_members(job)
    assert members['MASK'] == '1' and 'INTP' not in members and members['NPOINT'] == str(npoint)


def seasonal_ndvi(days, shape, rng):
    """NDVI x 10000 of a yearly cycle with noise, one curve per pixel."""
    doy = np.array([d.timetuple().tm_yday for d in days])[:, None, None]
    base = rng.uniform(0.35, 0.5, shape)
    amp = rng.uniform(0.1, 0.3, shape)
    v = base + amp * np.sin(2 * np.pi * (doy - 100) / 365.25) + rng.normal(0, 0.02, (len(days),) + shape)
    return np.round(v * 10000).astype(np.int64)


def has_model(job, shape):
    order = np.fromfile(job / 'order.dat', 'i1').reshape(shape)
    nfunc = int(cntl_members(job)['NFUNC'])
    p = np.fromfile(job / 'p.bsq', '<f4').reshape((2 * nfunc + 2,) + shape)
    return (order > 1) & (p != 0).any(axis=0)


def test_scattered_no_data_gets_a_mask_and_every_pixel_a_model(tmp_path):
    days, shape = composites('2014-01-01', 46), (6, 8)
    v = seasonal_ndvi(days, shape, RNG)
    v[RNG.random(v.shape) < 0.08] = -3000
    files = write_dates(tmp_path / 'in', days, v, name=modis_name, nodata=-3000)
    r, job = import_job(tmp_path / 'in', *files)
    assert r.returncode == 0 and 'mask.bsq and MASK=1 written' in r.stdout, r.stdout + r.stderr
    data, mask = read_job(job, v.shape)
    assert (mask == (v != -3000)).all() and cntl_members(job)['MASK'] == '1'
    run('tsrecon', job)
    assert has_model(job, shape).all()


def test_one_spoiled_pixel_gets_a_mask(tmp_path):
    v = RNG.integers(0, 10001, size=(12, NL, NS))
    v[3, 1, 2] = -3000
    files = write_dates(tmp_path / 'in', months(12), v, nodata=-3000)
    r, job = import_job(tmp_path / 'in', *files)
    assert r.returncode == 0 and 'mask.bsq and MASK=1 written' in r.stdout, r.stdout + r.stderr
    assert cntl_members(job)['MASK'] == '1' and (read_job(job, v.shape)[1] == (v != -3000)).all()

def irregular_days():
    """Acquisitions of two overlapping paths (gaps of 7 and 9 days), some lost to clouds, one day twice."""
    d, out = datetime.date(2019, 3, 28), []
    for gap in [7, 9] * 12:
        d += datetime.timedelta(gap)
        if RNG.random() > 0.15:
            out.append(d)
    return out + [out[3]]


def step_start(d, step, origin):
    if step == '16d':
        return max(c for c in composites(f'{d.year}-01-01', 23) if c <= d)
    if step == 'month':
        return d.replace(day=1)
    n = int(step[:-1])
    return origin + datetime.timedelta(n * ((d - origin).days // n))


COMPOSITES = [  # options, step, rule
    (['--step', '16d'], '16d', np.median),
    (['--step', 'month', '--composite', 'max'], 'month', np.max),
    (['--step', '10d', '--from', '2019-04-01'], '10d', np.median),
]


@pytest.mark.parametrize('opts,step,rule', COMPOSITES, ids=[' '.join(c[0]) for c in COMPOSITES])
def test_irregular_acquisitions_are_refused_then_composited(tmp_path, opts, step, rule):
    days = irregular_days()
    v = RNG.uniform(-0.1, 0.9, size=(len(days), NL, NS)).astype(np.float32)
    v[RNG.random(v.shape) < 0.3] = np.nan
    folder = tmp_path / 'in'
    folder.mkdir()
    for k, (d, plane) in enumerate(zip(days, v)):
        raster(folder / f'LC0{8 + k % 2}_L2SP_227069_{d:%Y%m%d}_{k:02d}_NDVI.tif', [plane], gdal.GDT_Float32)
    files = sorted(os.listdir(folder))
    once = [f for f in files if not f.endswith(f'_{len(days) - 1:02d}_NDVI.tif')]  # each date once
    r, _ = import_job(folder, *once)
    assert r.returncode == 1 and 'lie on no regular grid' in r.stderr and '--step' in r.stderr, r.stderr
    r, job = import_job(folder, *opts, *files)
    assert r.returncode == 0, r.stderr
    origin = datetime.date(2019, 4, 1)  # before the first acquisition
    first, last = step_start(days[0], step, origin), step_start(max(days), step, origin)
    bands = sorted({step_start(first + datetime.timedelta(k), step, origin) for k in range((last - first).days + 1)})
    assert band_names(job) == [str(b) for b in bands]
    want = np.full((len(bands), NL, NS), 32767, np.int64)
    for b, start in enumerate(bands):
        planes = [v[k] for k, d in enumerate(days) if step_start(d, step, origin) == start]
        for i in np.ndindex(NL, NS):
            valid = [Fraction(float(p[i])) for p in planes if np.isfinite(p[i])]
            if valid:
                want[(b,) + i] = min(max(half_away(Fraction(rule(valid)) * 1600), 0), 32766)
    data, mask = read_job(job, want.shape)
    assert (data == want).all()
    if mask is not None:
        assert (mask == (want != 32767)).all()


CF_AXES = [  # name, writer options, missing composite
    ('NetCDF', dict(fmt='netcdf'), True),
    ('Zarr', dict(fmt='zarr'), True),
    ('NetCDF in hours since', dict(fmt='netcdf', units='hours since 2010-01-01 00:00:00'), False),
]


@pytest.mark.parametrize('writer,gap', [c[1:] for c in CF_AXES], ids=[c[0] for c in CF_AXES])
def test_cf_time_axis(tmp_path, writer, gap):
    every = composites('2014-10-16', 10)
    kept = [k for k in range(10) if not (gap and k == 4)]
    v = RNG.uniform(0.1, 0.8, size=(10, NL, NS)).astype(np.float32)
    v[RNG.random(v.shape) < 0.1] = np.nan
    name = 'stack.zarr' if writer['fmt'] == 'zarr' else 'stack.nc'
    cf_file(tmp_path / name, [every[k] for k in kept], v[kept], **writer)
    r, job = import_job(tmp_path, name)
    assert r.returncode == 0, r.stderr
    assert 'CF time axis "time"' in r.stdout and r.stdout.count('nan') == 1, r.stdout
    assert band_names(job) == [str(d) for d in every] if gap else [str(every[k]) for k in kept]
    missing = np.isnan(v)
    missing[[k for k in range(10) if k not in kept]] = True
    data, _ = read_job(job, (len(every) if gap else len(kept), NL, NS))
    want = expected_raw(np.nan_to_num(v), missing, lambda x: x * 1600)
    assert (data == (want if gap else want[kept])).all()
    assert cntl_members(job)['NPOINT'] == '23'


def test_cf_time_axis_in_months_is_refused(tmp_path):
    cf_file(tmp_path / 'monthly.nc', [0, 1, 2, 3], RNG.uniform(0.1, 0.8, (4, NL, NS)).astype(np.float32),
            units='months since 2014-01-01', calendar='standard')
    r, job = import_job(tmp_path, 'monthly.nc')
    assert r.returncode == 1 and 'a month has no fixed length' in r.stderr and not job.exists(), r.stderr


def bits(q, *positions):
    return np.bitwise_or.reduce([(q >> p) & 1 for p in positions])


# Quality layers as the products ship them, and which samples each keeps, decoded here from the products' documentation.
QUALITY = [  # name, options, GDAL type, values, kept
    ('MOD13 pixel reliability', ['--quality-kind', 'modis-reliability'], gdal.GDT_Int16,
     lambda n: RNG.choice([-1, 0, 0, 0, 1, 2, 3], n), lambda q: (q == 0) | (q == 1)),
    ('MOD13 VI Quality', ['--quality-kind', 'modis-vi-quality'], gdal.GDT_UInt16,
     lambda n: RNG.choice([0x0800, 0x0801, 0x0802, 0x0803, 0x0c00, 0x4800, 0x8801, 0x2841], n)
     | RNG.integers(0, 2, n) << 2,
     lambda q: ((q & 3) <= 1) & (bits(q, 10, 14, 15) == 0)),
    ('Landsat QA_PIXEL', ['--quality-kind', 'landsat-qa-pixel'], gdal.GDT_UInt16,
     lambda n: RNG.choice([21824, 21952, 22280, 23888, 1, 55052, 21890, 30048, 54596], n),
     lambda q: bits(q, 0, 1, 2, 3, 4, 5) == 0),
    ('Sentinel-2 SCL', ['--quality-kind', 's2-scl'], gdal.GDT_Byte,
     lambda n: RNG.integers(0, 12, n), lambda q: (q >= 4) & (q <= 7)),
    ('a keep list, in one multi-band file', ['--keep', '0,1'], gdal.GDT_Byte,
     lambda n: RNG.integers(0, 4, n), lambda q: (q == 0) | (q == 1)),
]


@pytest.mark.parametrize('opts,gdal_type,values,kept', [q[1:] for q in QUALITY], ids=[q[0] for q in QUALITY])
def test_quality_layers_reject_samples(tmp_path, opts, gdal_type, values, kept):
    days = months(12)
    v = RNG.integers(0, 10001, size=(12, NL, NS))
    q = values(v.size).reshape(v.shape)
    files = write_dates(tmp_path, days, v)
    if opts[0] == '--keep':  # the dates in the band descriptions
        raster(tmp_path / 'quality.tif', q, gdal_type, descriptions=[f'QA {d}' for d in days])
        layers = ['quality.tif']
    else:
        layers = [f'qa_{d:%Y%m%d}.tif' for d in days]
        for name, plane in zip(layers, q):
            raster(tmp_path / name, [plane], gdal_type)
    r, job = import_job(tmp_path, *files, '--quality', *layers[::-1], *opts)
    assert r.returncode == 0, r.stderr
    rejected = ~kept(q)
    data, mask = read_job(job, v.shape)
    assert (data == expected_raw(v, rejected, X10000)).all()
    assert mask is not None and (mask == ~rejected).all() and 'or rejected by quality' in r.stdout
    assert f'removed {rejected.sum()} of {v.size} samples' in r.stdout


QUALITY_PAIRS = [  # name, quality dates given (of the twelve), grid shift, options, message (None: imported)
    ('a date without its quality layer', list(range(11)), 0.0, [], 'no quality layer (or not one each) for the data '
                                                                   'of 1 date: 2014-12-01'),
    ('two quality layers of one date', list(range(12)) + [5], 0.0, [], 'no quality layer (or not one each) for the '
                                                                       'data of 1 date: 2014-06-01'),
    ('a quality layer on another grid', list(range(12)), 250.0, [], 'gdalwarp the quality layers and the data'),
    ('layers of dates outside a window', list(range(12)), 0.0, ['--from', '2014-03-01', '--to', '2014-10-01'], None),
]


@pytest.mark.parametrize('given,shift,opts,message', [q[1:] for q in QUALITY_PAIRS], ids=[q[0] for q in QUALITY_PAIRS])
def test_quality_layers_paired_by_date(tmp_path, given, shift, opts, message):
    days = months(12)
    files = write_dates(tmp_path, days, RNG.integers(0, 10001, size=(12, NL, NS)))
    layers = [f'qa{i}_{days[k]:%Y%m%d}.tif' for i, k in enumerate(given)]
    for name, k in zip(layers, given):
        gt = (600000.0 + shift * (k == 5), 250.0, 0.0, 8700000.0, 0.0, -250.0)
        raster(tmp_path / name, np.full((1, NL, NS), 4), gdal.GDT_Byte, gt=gt)
    r, job = import_job(tmp_path, *opts, *files, '--quality', *layers, '--quality-kind', 's2-scl')
    if message is None:
        assert r.returncode == 0 and band_names(job) == [str(d) for d in days[2:10]], r.stderr
    else:
        assert r.returncode == 1 and message in r.stderr and not job.exists(), r.stderr


def test_long_records_are_refused_and_imported_by_window(tmp_path):
    days = composites('2000-02-18', 365)
    v = RNG.integers(0, 10001, size=(365, NL, NS))
    raster(tmp_path / 'MOD13Q1.NDVI.2000-2015.tif', v, gdal.GDT_Int16, descriptions=[f'NDVI {d}' for d in days])
    window_end = composites('2000-02-18', 201)[-1] - datetime.timedelta(1)
    for step in ([], ['--step', '16d']):  # composited onto the same grid: the same refusal
        r, job = import_job(tmp_path, *step, 'MOD13Q1.NDVI.2000-2015.tif')
        assert r.returncode == 1 and not job.exists(), r.stderr
        assert f'--from 2000-02-18 --to {window_end} takes the first 200' in r.stderr and 'tsrecon.xarray' in r.stderr
    r, job = import_job(tmp_path, '--from', '2004-01-01', '--to', '2005-12-31', 'MOD13Q1.NDVI.2000-2015.tif')
    assert r.returncode == 0, r.stderr
    taken = [k for k, d in enumerate(days) if datetime.date(2004, 1, 1) <= d <= datetime.date(2005, 12, 31)]
    assert band_names(job) == [str(days[k]) for k in taken] and len(taken) == 46
    data, mask = read_job(job, (46, NL, NS))
    assert (data == expected_raw(v[taken], np.zeros((46, NL, NS), bool), X10000)).all() and mask is None


def snowy_valley(days, shape, rng):
    """EVI x 10000 of an alpine valley: a short summer, snow from November to April hiding most samples."""
    doy = np.array([d.timetuple().tm_yday for d in days])[:, None, None]
    summer = np.clip(np.sin(np.pi * (doy - 110) / 200), 0, None) ** 1.5
    v = rng.uniform(0.08, 0.15, shape) + rng.uniform(0.25, 0.45, shape) * summer
    v = v + rng.normal(0, 0.015, v.shape)
    snow = ((doy > 315) | (doy < 110)) & (rng.random(v.shape) < 0.55)
    return np.round(v * 10000).astype(np.int64), snow


def test_alpine_valley_through_the_readme_commands(tmp_path):
    every = composites('2010-01-01', 184)
    lost = [k for k, d in enumerate(every) if d.year == 2013 and d.month in (6, 7)][:3]
    shape = (8, 8)
    v, snow = snowy_valley(every, shape, RNG)
    v[snow] = -3000
    kept = [k for k in range(len(every)) if k not in lost]
    files = write_dates(tmp_path / 'in', [every[k] for k in kept], v[kept],
                        name=lambda d: modis_name(d, suffix='250m_16_days_EVI.tif'), nodata=-3000)
    fits = {}
    for name, opts in (('mask', []), ('no mask', ['--no-mask'])):
        r = tool('tsrecon-import', *opts, '-o', tmp_path / name, *files, cwd=tmp_path / 'in')
        job = tmp_path / name
        assert r.returncode == 0 and len(band_names(job)) == len(every), r.stderr
        assert all(str(every[k]) in r.stdout for k in lost)
        run('tsrecon', job)
        fits[name] = np.fromfile(job / 'f.bsq', '<i2').reshape(v.shape).astype(np.float64), has_model(job, shape)
    job = tmp_path / 'mask'
    assert run('tsrecon-check', job).rstrip().splitlines()[-1].startswith('ready')
    run('tsrecon-hdr', job)
    r = tool('tsrecon-export', '-o', 'tif', '.', cwd=job)
    assert r.returncode == 0, r.stderr
    observed = np.isin(np.arange(len(every)), kept)[:, None, None] & ~snow
    raw = np.where(observed, v * 16 / 100, np.nan)
    rms = {}
    for name, (f, model) in fits.items():
        rms[name] = float(np.sqrt(np.nanmean(((f - raw) ** 2)[:, model]))), model.mean()
    print(f'alpine valley, {observed.mean():.1%} of the samples observed: ' + '; '.join(
        f'{name}: {r:.1f} raw ({r / 1600:.4f} EVI) RMS from the valid observations, {m:.0%} of the pixels modelled'
        for name, (r, m) in rms.items()))
    assert fits['mask'][1].all() and rms['mask'][0] < rms['no mask'][0]
    f_tif = gdal.Open(str(job / 'tif' / 'f.tif')).ReadAsArray()
    assert not np.isnan(f_tif).any()

