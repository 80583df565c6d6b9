"""tsrecon.xarray on data as it comes: a NetCDF file with a CF time axis and a
missing composite, acquisitions on no grid composited with step=, time axes
refused or warned of, and CF packing unpacked. Expected cubes are built here
from the dates and values the tests make, and reconstructed with
tsrecon.reconstruct."""

import datetime
import warnings

import numpy as np
import pytest

import tsrecon

xr = pytest.importorskip('xarray')
import tsrecon.xarray  # noqa: E402

RNG = np.random.default_rng(18)
NL, NS = 3, 4


def modis_dates(first_year, years, first_doy=1):
    """MODIS 16-day composite dates: days of the year first_doy + 16 k, every year."""
    out = []
    for y in range(first_year, first_year + years):
        jan1 = datetime.date(y, 1, 1)
        out += [jan1 + datetime.timedelta(d - 1) for d in range(first_doy, 366, 16)]
    return out


def ndvi(dates, missing_share=0.1, per_year=23):
    """Seasonal NDVI (dates, NL, NS) as floats with NaN scattered at `missing_share`."""
    t = np.array([(d - dates[0]).days for d in dates], float)[:, None, None]
    phase = RNG.uniform(0, 6.28, (1, NL, NS))
    v = 0.45 + 0.2 * np.sin(2 * np.pi * t / 365.25 + phase) + RNG.normal(0, 0.01, (len(dates), NL, NS))
    v[RNG.random(v.shape) < missing_share] = np.nan
    return v


def data_array(values, dates, **attrs):
    return xr.DataArray(values, dims=('time', 'y', 'x'), attrs=attrs, coords={
        'time': np.array(dates, 'datetime64[ns]'), 'y': np.arange(NL) * -250.0, 'x': np.arange(NS) * 250.0})


def expected(planes, settings, factor=1600.0):
    """tsrecon.reconstruct of the raw cube of `planes` (NaN missing) through a mask of the missing samples."""
    missing = np.isnan(planes)
    raw = tsrecon.xarray.to_raw(np.nan_to_num(planes), factor, missing)
    return tsrecon.reconstruct(raw, tsrecon.Settings(**dict(settings, mask=1)), mask=~missing)


def assert_model_of(ds, r, factor=1600.0):
    model = r.has_model
    fitted = np.where(model, r.fitted / factor, np.nan).astype(np.float32)
    np.testing.assert_array_equal(ds.fitted.transpose('time', 'y', 'x').values, fitted)
    np.testing.assert_array_equal(ds.order.values, r.order)


def test_netcdf_with_a_missing_composite(tmp_path):
    """Two years of 16-day composites across a year change, one composite
    missing, 10 % of the samples NaN, written as NetCDF with a CF time axis
    and read back decoded: the missing date becomes a step of missing
    samples, and every pixel gets a model."""
    pytest.importorskip('netCDF4')
    dates = modis_dates(2013, 3)[12:58]  # 2013-07-12 .. 2015-06-26
    values = ndvi(dates)
    gone = 20  # 2014-05-25
    kept = [d for k, d in enumerate(dates) if k != gone]
    da = data_array(np.delete(values, gone, axis=0), kept, units='NDVI', long_name='EVI-like index')
    path = tmp_path / 'stack.nc'
    da.to_dataset(name='ndvi').to_netcdf(path, encoding={'time': {'units': 'days since 2000-01-01',
                                                                    'calendar': 'standard'}})
    with xr.open_dataset(path) as f:
        read = f['ndvi'].load()
    assert read.time.dtype.kind == 'M'
    settings = dict(nfunc=4, npoint=23)
    ds = tsrecon.xarray.reconstruct(read, tsrecon.Settings(**settings))
    assert list(ds.time.values) == list(np.array(dates, 'datetime64[ns]'))
    values[gone] = np.nan
    r = expected(values, settings)
    assert r.has_model.all()
    assert_model_of(ds, r)
    # Unmasked, as the program's own rule runs it: a warning names the remedy.
    with pytest.warns(UserWarning, match='leave mask_missing=True') as caught:
        tsrecon.xarray.reconstruct(read, tsrecon.Settings(**settings), mask_missing=False)
    assert caught[0].filename == __file__


@pytest.mark.parametrize('count', [70, 600], ids=['36 months', '210 months, beyond the program\'s 200 bands'])
def test_acquisitions_composited_with_step(count):
    """Acquisitions of two satellites (9, 7 and 16 days apart) lie on no grid:
    refused, naming step=; with step='month' the monthly medians (and with
    composite='max' the largest) are reconstructed, dated at the months'
    first days, months without data missing."""
    first = datetime.date(2014, 1, 3)
    dates, d = [], first
    while len(dates) < count:
        dates.append(d)
        d += datetime.timedelta((9, 7, 16)[len(dates) % 3])
    values = ndvi(dates, 0.15)
    values[[k for k, x in enumerate(dates) if (x.year, x.month) == (2014, 5)]] = np.nan  # a month of clouds
    da = data_array(values, dates)
    settings = dict(nfunc=4, npoint=12)
    with pytest.raises(ValueError, match=r"lie on no regular grid \(MODIS 16-day: 2014-01-03 is not one of its.*"
                                         r"composite them onto one with step='16d'"):
        tsrecon.xarray.reconstruct(da, tsrecon.Settings(**settings))
    months = sorted({(x.year, x.month) for x in dates})
    for rule, reduce in (('median', np.nanmedian), ('max', np.nanmax)):
        with warnings.catch_warnings():
            warnings.simplefilter('ignore', RuntimeWarning)  # all-NaN months
            planes = np.array([reduce(values[[k for k, x in enumerate(dates) if (x.year, x.month) == m]], axis=0)
                               for m in months])
        ds = tsrecon.xarray.reconstruct(da, tsrecon.Settings(**settings), step='month', composite=rule)
        assert list(ds.time.values) == [np.datetime64(f'{y}-{m:02d}-01', 'ns') for y, m in months]
        assert_model_of(ds, expected(planes, settings))


def cftime_months(n, skip):
    cftime = pytest.importorskip('cftime')
    return [cftime.DatetimeNoLeap(2014 + k // 12, k % 12 + 1, 15) for k in range(n) if k != skip]


CASES = [
    # name, dates, settings, step, what is refused (ValueError) or warned of (UserWarning)
    ('no year', modis_dates(2014, 1), dict(npoint=20), None,
     (ValueError, r"npoint = 20 but the dates of 'time' lie on the MODIS 16-day grid \(23 steps a year\): a model "
                  r"year of 20 steps is neither the calendar year.*tsrecon.Settings\(npoint=23 \(with nfunc at most 5\)\)")),
    ('two years', modis_dates(2014, 1), dict(npoint=46, nfunc=4), None,
     (UserWarning, r"npoint = 46 but .* MODIS 16-day grid \(23 steps a year\): the first harmonic is one cycle in 2 "
                   r"years; npoint=23")),
    ('a drifting step', [datetime.date(2014, 1, 5) + datetime.timedelta(10 * k) for k in range(73)],
     dict(npoint=37, nfunc=4), None,
     (UserWarning, r"lie on the 10-day grid \(36.525 steps a year\), which does not restart with the year: a cycle of "
                   r"37 steps \(370 days\) slides 9 days")),
    ('out of order', modis_dates(2014, 1)[::-1], dict(npoint=23), None,
     (ValueError, r"the time coordinate 'time': the dates are not in time order \(2014-12-19 before 2014-12-03\) "
                  r"\(data_array.sortby\('time'\)")),
    ('a step no grid knows', modis_dates(2014, 1), dict(npoint=23), '40d',
     (ValueError, r"step='40d': give 16d \(MODIS 16-day\), 8d \(MODIS 8-day\), month, dekad")),
    ('no dates to composite by', None, dict(npoint=23), 'month',
     (ValueError, r"step= composites by the dates of the time coordinate, and 'time' holds none")),
]


@pytest.mark.parametrize('dates,settings,step,outcome', [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_time_axes_refused_or_warned_of(dates, settings, step, outcome):
    n = 23 if dates is None else len(dates)
    da = data_array(ndvi([datetime.date(2014, 1, 1)] * n, 0), dates or list(range(n)))
    if dates is None:
        da = da.assign_coords(time=np.arange(n))
    kind, message = outcome
    with pytest.warns(kind, match=message) if kind is UserWarning else pytest.raises(kind, match=message):
        tsrecon.xarray.reconstruct(da, tsrecon.Settings(**settings), step=step)


@pytest.mark.parametrize('form', ['cftime', 'numbers with CF units'])
def test_other_time_coordinates_with_a_missing_month(form):
    """Monthly data of a noleap calendar (cftime dates) or with the time
    undecoded (days since, 365_day): the missing month is inserted, dated in
    the coordinate's own kind."""
    dates = cftime_months(24, skip=7)
    values = ndvi([datetime.date(d.year, d.month, d.day) for d in dates], 0.05)
    da = data_array(values, [datetime.date(2014, 1, 1)] * len(dates))
    if form == 'cftime':
        da = da.assign_coords(time=np.array(dates, object))
    else:
        since = [(d.year - 2014) * 365 + [0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334][d.month - 1] + 14
                 for d in dates]
        da = da.assign_coords(time=('time', np.array(since, float), {'units': 'days since 2014-01-01',
                                                                     'calendar': '365_day'}))
    settings = dict(nfunc=4, npoint=12)
    ds = tsrecon.xarray.reconstruct(da, tsrecon.Settings(**settings))
    assert ds.time.size == 24
    inserted = ds.time.values[7]
    if form == 'cftime':
        assert (type(inserted), inserted.year, inserted.month, inserted.day) == (type(dates[0]), 2014, 8, 1)
        assert list(ds.time.values[:7]) == dates[:7]
    else:
        assert inserted == np.datetime64('2014-08-01', 'ns') and ds.time.values[8] == np.datetime64('2014-09-15', 'ns')
    assert_model_of(ds, expected(np.insert(values, 7, np.nan, axis=0), settings))


PACKING = [
    # name, attributes of the stored integers, nodata=
    ('scale and offset, missing_value', dict(scale_factor=1e-4, add_offset=0.05, missing_value=-32768), None),
    ('_FillValue and missing_value', dict(scale_factor=1e-4, add_offset=0.05, _FillValue=-3000, missing_value=-32768),
     None),
    ('nodata given', dict(scale_factor=1e-4, add_offset=0.05), -9999),
]


@pytest.mark.parametrize('attrs,nodata', [p[1:] for p in PACKING], ids=[p[0] for p in PACKING])
def test_cf_packing_unpacked(attrs, nodata):
    """Integers stored as (NDVI - 0.05) x 10000 with their fill values: the
    raw cube is (stored x 0.16 + 80), missing where a fill value stands, and
    constant and trend come back in NDVI (raw x 4096 / 1600)."""
    dates = modis_dates(2014, 2)
    raw = (np.nan_to_num(ndvi(dates, 0) * 1600).astype(np.int64) // 4) * 4
    stored = (raw - 80) * 25 // 4
    fills = [f for f in (attrs.get('_FillValue'), attrs.get('missing_value'), nodata) if f is not None]
    where = RNG.random(stored.shape) < 0.1
    stored[where] = RNG.choice(fills, size=int(where.sum()))
    da = data_array(stored.astype(np.int16), dates, **attrs)
    settings = dict(nfunc=4, npoint=23)
    ds = tsrecon.xarray.reconstruct(da, tsrecon.Settings(**settings), nodata=nodata)
    r = tsrecon.reconstruct(np.where(where, 32767, raw), tsrecon.Settings(**dict(settings, mask=1)), mask=~where)
    assert_model_of(ds, r)
    model = r.has_model
    for name, plane in (('constant', 0), ('trend', 1)):
        want = np.where(model, r.params[plane].astype(np.float64) * 4096 / 1600, np.nan).astype(np.float32)
        np.testing.assert_array_equal(ds[name].values, want)
    assert not set(attrs) & set(ds.fitted.attrs)
