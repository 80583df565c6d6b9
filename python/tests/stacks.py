"""Stacks as users' files come, made with GDAL for the import's tests:
georeferenced rasters of chosen values, the dates of the products' grids
in time (written out here, not taken from the program), MODIS file names,
NetCDF and Zarr files with a CF time axis (written by xarray), and the
tools and programs of the build under test."""

import datetime
import subprocess
from fractions import Fraction

import numpy as np
from osgeo import gdal, osr

from programs import launcher, program

gdal.UseExceptions()
GT = (600000.0, 250.0, 0.0, 8700000.0, 0.0, -250.0)
NL, NS = 3, 4


def wkt(epsg=32721):
    s = osr.SpatialReference()
    s.ImportFromEPSG(epsg)
    return s.ExportToWkt()


def raster(path, planes, gdal_type, nodata=None, scale=None, offset=None, fmt='GTiff', gt=GT, epsg=32721,
           descriptions=(), metadata=None):
    """Writes `planes` (bands x lines x samples) as a georeferenced raster."""
    planes = np.asarray(planes)
    mem = gdal.GetDriverByName('MEM').Create('', planes.shape[2], planes.shape[1], planes.shape[0], gdal_type)
    mem.SetGeoTransform(gt)
    mem.SetProjection(wkt(epsg))
    for b, plane in enumerate(planes, 1):
        band = mem.GetRasterBand(b)
        band.WriteArray(plane)
        if nodata is not None:
            band.SetNoDataValue(nodata)
        if scale is not None:
            band.SetScale(scale)
            band.SetOffset(offset)
        if b <= len(descriptions):
            band.SetDescription(descriptions[b - 1])
    if metadata:
        mem.SetMetadata(metadata)
    options = ['QUALITY=100', 'REVERSIBLE=YES'] if fmt == 'JP2OpenJPEG' else []
    gdal.Translate(str(path), mem, format=fmt, creationOptions=options)


def cf_file(path, times, planes, fmt='netcdf', units=None, calendar=None):
    """A NetCDF or Zarr file of one variable ndvi(time, y, x) as xarray
    writes it, x and y the pixel centres of GT. `times`: dates, CF-encoded
    by xarray (in `units` and `calendar` when given), or numbers written as
    they are with the attributes `units` and `calendar`."""
    import xarray as xr
    planes = np.asarray(planes)
    x = GT[0] + GT[1] * (np.arange(planes.shape[2]) + 0.5)
    y = GT[3] + GT[5] * (np.arange(planes.shape[1]) + 0.5)
    dated = isinstance(times[0], datetime.date)
    time = xr.DataArray(np.array(times, dtype='datetime64[ns]') if dated else np.asarray(times), dims='time')
    da = xr.DataArray(planes, dims=('time', 'y', 'x'), name='ndvi', coords={'time': time, 'y': y, 'x': x})
    da.x.attrs.update(standard_name='projection_x_coordinate', units='m')
    da.y.attrs.update(standard_name='projection_y_coordinate', units='m')
    given = {k: v for k, v in (('units', units), ('calendar', calendar)) if v}
    if not dated:
        da.time.attrs.update(given)
    ds = da.to_dataset()
    encoding = {'time': given} if dated else {}
    if fmt == 'zarr':
        ds.to_zarr(str(path), encoding=encoding)
    else:
        ds.to_netcdf(str(path), encoding=encoding)


def tool(name, *args, cwd, env=None):
    return subprocess.run([launcher(name), *map(str, args)], cwd=cwd, env=env, capture_output=True, text=True)


def run(prog, cwd, *args):
    r = subprocess.run([program(prog), *args], cwd=cwd, capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    return r.stdout


def half_away(x):
    """Fraction -> nearest integer, halves away from zero."""
    n = int(abs(x) + Fraction(1, 2))
    return n if x >= 0 else -n


def expected_raw(stored, missing, to_raw):
    raw = [32767 if m else min(max(half_away(to_raw(Fraction(float(v)))), 0), 32766)
           for v, m in zip(np.ravel(stored), np.ravel(missing))]
    return np.array(raw, dtype=np.int64).reshape(np.shape(stored))


# Dates of the products' grids, stepped through by the calendar.

def dates(first, step, n):
    d = datetime.date.fromisoformat(str(first))
    return [d + datetime.timedelta(step * k) for k in range(n)]


def months(n, first=datetime.date(2014, 1, 1), day=1):
    return [datetime.date(first.year + (first.month - 1 + k) // 12, (first.month - 1 + k) % 12 + 1, day)
            for k in range(n)]


def dekads(n, first=datetime.date(2014, 1, 1)):
    """n dekads (days 1, 11 and 21 of each month) from `first`, one of them."""
    out, d = [], first
    while len(out) < n:
        out.append(d)
        d = d.replace(day=d.day + 10) if d.day < 21 else (d.replace(day=1) + datetime.timedelta(32)).replace(day=1)
    return out


GRID_DAYS = {'terra': range(1, 354, 16), 'aqua': range(9, 362, 16), '8-day': range(1, 362, 8)}


def composites(first, n, grid='terra'):
    """n composites from `first` (one of them) on a MODIS grid: the same days
    of the year every year (Terra 16-day 1, 17, ..., 353; Aqua 9, ..., 361;
    8-day 1, 9, ..., 361)."""
    first = datetime.date.fromisoformat(str(first))
    out, year = [], first.year
    while len(out) < n:
        out += [d for d in (datetime.date(year, 1, 1) + datetime.timedelta(doy - 1) for doy in GRID_DAYS[grid])
                if d >= first][:n - len(out)]
        year += 1
    return out


def modis_name(d, product='MOD13Q1', suffix='tif'):
    return f'{product}.A{d.year}{d.timetuple().tm_yday:03d}.h12v10.061.{suffix}'


def read_job(job, shape):
    """data.bsq and mask.bsq (None when there is none) of an imported job, shaped (bands, lines, samples)."""
    data = np.fromfile(job / 'data.bsq', '<i2').reshape(shape)
    mask = np.fromfile(job / 'mask.bsq', 'u1').reshape(shape) if (job / 'mask.bsq').exists() else None
    return data, mask


def cntl_members(job):
    """The members of the imported cntl.dat as a dict ('NFUNC': '5', ...)."""
    members = {}
    for line in (job / 'cntl.dat').read_text().splitlines()[2:]:
        for item in line.split('/')[0].split()[1:]:
            for pair in item.split(','):
                if '=' in pair:
                    k, v = pair.split('=')
                    members[k.strip()] = v.strip()
    return members


def band_names(job):
    ds = gdal.Open(str(job / 'data.bsq'))
    return [ds.GetRasterBand(b).GetDescription() for b in range(1, ds.RasterCount + 1)]
