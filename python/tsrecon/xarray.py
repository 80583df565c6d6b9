"""tsrecon on xarray: the reconstruction of a DataArray of NDVI (or another
index) in its own units, with its coordinates and attributes kept.

    import tsrecon, tsrecon.xarray
    ds = tsrecon.xarray.reconstruct(ndvi, tsrecon.Settings(nfunc=4, npoint=12))
    ds.fitted.sel(x=..., y=..., method='nearest').plot()
    seasons = tsrecon.xarray.seasons(ds)   # greenup, peak, dormancy ... as maps

The values become the program's raw values as tsrecon-import makes them:
raw = value x factor (1600 for NDVI), rounded to nearest (halves away from
zero), clipped to 0..32766, missing samples (NaN, the no-data value) 32767,
and by default a mask (0 missing, 1 valid) keeps the missing samples out of
the fits. A time coordinate of dates is laid on its grid in time with the
program's rules (tsrecon._tsrecon.choose_grid): the steps of the grid
without a date become steps of missing samples, dates on no grid are
composited onto one with step=, and NPOINT is checked against the grid.
"""

import dataclasses
import warnings

import numpy as np

try:
    import xarray as xr
except ImportError as e:
    raise ImportError('tsrecon.xarray needs xarray (apt-get install python3-xarray)') from e

import tsrecon
from tsrecon import _tsrecon

# The scaling of data.hdr ("tsrecon factor") as an attribute of the data.
FACTOR_ATTR = _tsrecon.HEADER_KEYS['factor'].replace(' ', '_')
# Attributes of CF-packed (undecoded) data: applied here, not carried over.
PACKING = ('scale_factor', 'add_offset', '_FillValue', 'missing_value')
# How dates on no grid are put onto one.
STEP_REMEDY = ("composite them onto one with step='16d', '8d', 'month', 'dekad' or 'Nd' (N days from 2 to 31; per "
               "step the median of the valid samples, or the largest with composite='max')")


def _factor(factor, attrs):
    if factor is None:
        factor = attrs.get(FACTOR_ATTR, attrs.get(_tsrecon.HEADER_KEYS['factor'], tsrecon.NDVI_FACTOR))
    factor = float(factor)
    if not (np.isfinite(factor) and factor > 0):
        raise ValueError(f'factor must be a positive number (raw per unit of the data), not {factor}')
    return factor


def to_raw(values, factor, missing):
    """Raw values (int16) of `values` (float64, the data's own units): value
    x factor rounded, clipped to 0..RAW_LARGEST; RAW_NO_DATA where
    `missing` (bool), the program's one conversion."""
    return _tsrecon.raw_values(np.asarray(values, np.float64), float(factor), np.asarray(missing, bool))[0]


def _days(coord, time_dim):
    """Day numbers (days since 1970-01-01, the day that holds each instant)
    of a time coordinate of datetimes, of cftime dates (the same year, month
    and day) or of numbers with CF units; None for one of plain numbers."""
    values = np.asarray(coord.values)
    try:
        if values.dtype.kind == 'M':
            return tsrecon._day_numbers(values, len(values), whole=True).tolist()
        if values.dtype.kind == 'O' and all(hasattr(t, 'year') and hasattr(t, 'day') for t in values):
            return [_tsrecon.days_from_civil(t.year, t.month, t.day) for t in values]
        units = coord.attrs.get('units')
        if values.dtype.kind in 'iuf' and isinstance(units, str) and ' since ' in units:
            return _tsrecon.decode_cf_time(values.astype(np.float64), units, str(coord.attrs.get('calendar', '')))
    except ValueError as e:
        raise ValueError(f'the time coordinate {time_dim!r}: {e} (drop it, data_array.drop_vars({time_dim!r}), to '
                         f'take the steps as they are)') from None
    return None


def _times(coord, days, kept):
    """The time coordinate's values for bands on `days`: kept[b] >= 0 keeps
    entry kept[b] of `coord`, else the day itself, as the coordinate holds
    dates (datetime64 for datetimes and numbers, cftime dates of the
    coordinate's calendar)."""
    values = np.asarray(coord.values)
    if values.dtype.kind == 'O':
        first = values[0]
        out = np.empty(len(days), object)
        for b, (day, k) in enumerate(zip(days, kept)):
            y, m, d = _tsrecon.civil_from_days(day)
            out[b] = values[k] if k >= 0 else first.replace(year=y, month=m, day=d, hour=0, minute=0, second=0,
                                                            microsecond=0)
        return out
    out = np.array([_tsrecon.format_date(day) for day in days], 'datetime64[ns]')
    if values.dtype.kind == 'M':
        for b, k in enumerate(kept):
            if k >= 0:
                out[b] = values[k]
    return out


def _check_npoint(grid, settings, bands, time_dim):
    """NPOINT against the steps a year of the grid: ValueError when it is no
    year, warnings for a cycle of several years and for a fixed step that
    slides from the calendar."""
    c = _tsrecon.check_npoint(grid, settings.npoint, bands)
    where = f'the dates of {time_dim!r} lie on the {_tsrecon.grid_name(grid)} grid ({c.steps_per_year:g} steps a year)'
    suggested = f'npoint={c.suggested} (with nfunc at most {_tsrecon.sound_nfunc(c.suggested)})'
    if c.verdict == _tsrecon.NpointVerdict.MISMATCH:
        raise ValueError(f'npoint = {settings.npoint} but {where}: a model year of {settings.npoint} steps is neither '
                         f'the calendar year nor a whole number of years, so the seasons slide through the record: '
                         f'give tsrecon.Settings({suggested}), or drop the time coordinate '
                         f'(data_array.drop_vars({time_dim!r})) to take the steps as they are')
    if c.verdict == _tsrecon.NpointVerdict.WHOLE_YEARS:
        warnings.warn(f'npoint = {settings.npoint} but {where}: the first harmonic is one cycle in {c.years} years; '
                      f'{suggested} makes it one cycle per year, unless a cycle of {c.years} years is meant',
                      UserWarning, stacklevel=3)
    if grid.step_days and c.drift_days > grid.step_days / 2:
        warnings.warn(f'{where}, which does not restart with the year: a cycle of {c.suggested} steps '
                      f'({c.suggested * grid.step_days} days) slides {c.drift_days:.0f} days from the calendar over '
                      f'the {bands} steps, more than half a step; a grid that restarts every year (step=\'8d\', '
                      f'\'16d\', \'dekad\' or \'month\') keeps the seasons in place', UserWarning, stacklevel=3)


def _layout(coord, time_dim, steps, step, composite):
    """The bands of the series: (sources, rule, times). sources[b] lists the
    time steps of the data that band b takes (none: a step without data);
    rule: the composite rule for step=, else None; times: the values of the
    time coordinate of the bands, None when they are the data's; and the
    grid (None when the coordinate holds no dates)."""
    days = _days(coord, time_dim) if coord is not None else None
    if step is not None:
        if days is None:
            raise ValueError(f'step= composites by the dates of the time coordinate, and {time_dim!r} holds none '
                             f'(datetimes, cftime dates or numbers with CF units)')
        try:
            grid = _tsrecon.parse_step(str(step), min(days))
            rule = _tsrecon.parse_composite_rule(str(composite))
        except ValueError as e:
            raise ValueError(str(e).replace(f'--step {step}', f'step={step!r}').replace(
                f'--composite {composite}', f'composite={composite!r}')) from None
        plan = _tsrecon.plan_composite(grid, days)
        return plan.sources, rule, _times(coord, plan.band_days, [-1] * len(plan.band_days)), grid
    if days is None:
        return [[k] for k in range(steps)], None, None, None
    try:
        choice = _tsrecon.choose_grid(days)
    except ValueError as e:
        raise ValueError(f'the time coordinate {time_dim!r}: {e} (data_array.sortby({time_dim!r}) puts the steps in '
                         f'time order; step= composites repeated dates)') from None
    fit = choice.fit
    if fit is None:
        raise ValueError(f'the time coordinate {time_dim!r}: '
                         + _tsrecon.no_grid_message(choice, days, 'tsrecon takes step t of a series as step t of one '
                                                                  'grid: ' + STEP_REMEDY))
    sources = [[k] if k >= 0 else [] for k in fit.date_of_band]
    times = _times(coord, fit.band_days, fit.date_of_band) if fit.inserted else None
    return sources, None, times, fit.grid


def reconstruct(data_array, settings, time_dim='time', *, factor=None, nodata=None, mask_missing=True, step=None,
                composite='median', threads=None, engine=None):
    """Reconstructs every series of `data_array` along `time_dim` (one band
    per step, 3 or more steps: a whole record, as tsrecon.reconstruct takes
    it) and returns a Dataset with

    - fitted: the fitted series in the data's own units (float32, the
      data's dimensions, coordinates and attributes), NaN where a pixel has
      no model (order 1 or less, or every parameter 0);
    - constant, trend (per ten time steps), amplitude and phase (radians) per
      harmonic (dimension `harmonic` 1..nfunc with coordinate `cycles`, the
      cycles in npoint steps): the model in the data's units, NaN where there
      is no model;
    - order (int8, -1 where the fit gave up) and criterion (float32), as the
      program stores them;
    - params: the planes of p.bsq as the program stores them (float32,
      scaled units, dimension `parameter`; attribute npoint), from which
      seasons() maps the seasons.

    Every coordinate of the data that is not along time (x, y, spatial_ref
    with the CRS ...) is kept on the maps; the Dataset's attributes are the
    data's, with tsrecon_factor and tsrecon_settings added.

    factor: raw per unit of the data (raw = value x factor); default: the
    attribute tsrecon_factor, else 1600 (NDVI). Integer data with CF packing
    attributes (scale_factor, add_offset) is unpacked first. Missing: NaN,
    infinities, `nodata`, the attributes _FillValue and missing_value.
    mask_missing: run with a mask (settings.mask = 1) that keeps the missing
    samples out of the fits (the default); False runs with the settings as
    given, where under mask 0 missing samples enter the preliminary fit at
    their value (a UserWarning says when they spoil pixels).

    The time coordinate, when it holds dates (datetimes, cftime dates, or
    numbers with CF units and calendar), must lie on one grid in time: MODIS
    16-day (Terra or Aqua) or 8-day composites, calendar months, dekads, or a
    fixed step of 2 to 31 days. A step of the grid without data becomes a
    step of missing samples, dated in the Dataset's time coordinate (the
    other coordinates along time are then dropped), and excluded bands number
    the steps of the grid. Dates on no grid are refused (ValueError naming
    step=). NPOINT must be the grid's steps a year (a ValueError otherwise)
    or a whole number of years (a UserWarning). step ('16d', '8d', 'month',
    'dekad' or 'Nd'): composites the data onto that grid first, per step the
    median of the valid samples, or the largest with composite='max'; the
    time coordinate then holds the steps' first days. A time coordinate of
    plain numbers is taken as it is.
    threads, engine: as for tsrecon.reconstruct.

    Memory: besides the data (read whole, as a NumPy array), this holds the
    raw cube (2 bytes per value), with mask_missing its mask (1 byte), the
    products of tsrecon.reconstruct (2 bytes per value for the fitted series,
    2 more with intp = 1) and the Dataset's float32 variables (4 bytes per
    value): 9 to 11 bytes per value, refused with MemoryError before any of
    it is made when it does not fit."""

    if not isinstance(data_array, xr.DataArray):
        raise TypeError(f'data_array must be an xarray.DataArray, not {type(data_array).__name__}')
    if time_dim not in data_array.dims:
        raise ValueError(f'{time_dim!r} is not a dimension of the data {data_array.dims}: give time_dim=')
    if not isinstance(settings, tsrecon.Settings):
        raise TypeError(f'settings must be a tsrecon.Settings, not {type(settings).__name__}')
    attrs = dict(data_array.attrs)
    factor = _factor(factor, attrs)
    nfunc = settings.nfunc
    others = [d for d in data_array.dims if d != time_dim]
    series = data_array.transpose(time_dim, *others)
    stored = np.asarray(series.values)
    if stored.dtype.kind not in 'iufb':
        raise TypeError(f'the data must be numbers, not {stored.dtype}')
    fills = [f for f in (nodata, attrs.get('_FillValue'), attrs.get('missing_value')) if f is not None]
    scale, offset = float(attrs.get('scale_factor', 1.0)), float(attrs.get('add_offset', 0.0))
    coord = series.coords[time_dim] if time_dim in series.coords else None
    sources, rule, times, grid = _layout(coord, time_dim, stored.shape[0], step, composite)
    nb, pixels = len(sources), int(np.prod(stored.shape[1:]))
    if grid is not None:
        _check_npoint(grid, settings, nb, time_dim)
    # The raw cube, its mask, a step's composite and the Dataset's variables, before any of them is made.
    widest = max(len(s) for s in sources) if rule is not None else 0
    tsrecon._refuse_beyond_memory(
        tsrecon._products_bytes(settings, nb, pixels) + nb * pixels * (2 + 1 + 4) + pixels * 4 * (nb + 2 * nfunc)
        + widest * pixels * 9, f'{nb} time steps x {pixels} pixels need',
        'for the raw cube, the products and the Dataset')

    def unpacked(k):  # time step k of the data in its units, and where it is missing
        plane = stored[k].reshape(-1)
        missing = ~np.isfinite(plane) if plane.dtype.kind == 'f' else np.zeros(plane.shape, bool)
        for fill in fills:
            missing |= plane == fill
        return plane.astype(np.float64) * scale + offset, missing

    cube = np.empty((nb, pixels), np.int16)
    mask = np.empty((nb, pixels), np.uint8) if mask_missing else None
    for b, src in enumerate(sources):  # one step at a time: no temporaries of the whole cube
        if rule is not None:
            planes = [unpacked(k) for k in src]
            values, valid, _ = _tsrecon.composite_step(
                np.array([v for v, _ in planes], np.float64).reshape(len(src), pixels),
                np.array([~m for _, m in planes], np.uint8).reshape(len(src), pixels), rule)
            missing = valid == 0
        elif src:
            values, missing = unpacked(src[0])
        else:
            values, missing = np.zeros(pixels), np.ones(pixels, bool)
        cube[b] = to_raw(values, factor, missing)
        if mask is not None:
            mask[b] = ~missing
    if mask_missing:
        settings = dataclasses.replace(settings, mask=1)
    r = tsrecon._reconstruct(cube, settings, mask, threads, engine,
                             'leave mask_missing=True (the default) to keep them out by a mask', 2)
    series_coords = series.coords  # the fitted series': the data's, or with the time steps of the grid
    if times is not None:
        series_coords = {k: v for k, v in series.coords.items() if time_dim not in v.dims}
        series_coords[time_dim] = xr.DataArray(times, dims=(time_dim,), attrs={
            k: v for k, v in coord.attrs.items() if k not in ('units', 'calendar')})

    grid = series.isel({time_dim: 0}, drop=True)  # the maps' dimensions and coordinates
    shape = grid.shape
    model = r.has_model.reshape(shape)
    kept = {k: v for k, v in attrs.items() if k not in PACKING}
    grid_mapping = data_array.encoding.get('grid_mapping', attrs.get('grid_mapping'))

    def in_units(planes, numerator=1.0):
        # value = stored x numerator / factor in double precision, plane by plane
        out = np.empty(planes.shape, np.float32)
        for k, plane in enumerate(planes):
            out[k] = np.where(model, plane.astype(np.float64) * numerator / factor, np.nan)
        return out

    def variable(values, dims, coords, extra=None):
        v = xr.DataArray(values, dims=dims, coords=coords, attrs=dict(extra or {}))
        if grid_mapping is not None:
            v.encoding['grid_mapping'] = grid_mapping
        return v

    harmonic = dict(grid.coords, harmonic=np.arange(1, nfunc + 1),
                    cycles=('harmonic', list(tsrecon.HARMONIC_CYCLES[:nfunc])))
    params = r.params.reshape((settings.parameter_count,) + shape)
    amplitudes = [_tsrecon.amplitude_plane(k) for k in range(1, nfunc + 1)]
    phases = [_tsrecon.phase_plane(k) for k in range(1, nfunc + 1)]
    fitted = variable(in_units(r.fitted.reshape((nb,) + shape)), series.dims, series_coords, kept)
    data_vars = {
        'fitted': fitted.transpose(*data_array.dims),
        'constant': variable(in_units(params[[_tsrecon.CONSTANT_PLANE]], tsrecon.RAW_SCALE)[0], grid.dims,
                             grid.coords),
        'trend': variable(in_units(params[[_tsrecon.TREND_PLANE]], tsrecon.RAW_SCALE)[0], grid.dims, grid.coords,
                          {'description': 'change per ten time steps'}),
        'amplitude': variable(in_units(params[amplitudes], tsrecon.RAW_SCALE), ('harmonic',) + grid.dims, harmonic),
        'phase': variable(np.where(model, params[phases], np.nan).astype(np.float32), ('harmonic',) + grid.dims,
                          harmonic, {'units': 'radians'}),
        'order': variable(r.order.reshape(shape), grid.dims, grid.coords,
                          {'description': 'model order; -1 where the fit gave up'}),
        'criterion': variable(r.criterion.reshape(shape), grid.dims, grid.coords,
                              {'description': 'information criterion of the chosen model'}),
        'params': variable(params, ('parameter',) + grid.dims,
                           dict(grid.coords, parameter=list(tsrecon.parameter_names(nfunc))),
                           {'description': 'the planes of p.bsq as stored (scaled units, raw / 4096)',
                            'npoint': settings.npoint}),
    }
    return xr.Dataset(data_vars, attrs=dict(kept, **{FACTOR_ATTR: factor}, tsrecon_settings=repr(settings)))


def seasons(ds, time_dim='time', *, min_amplitude=0.05, min_share=0.35, threads=None):
    """The seasons of every pixel's model of `ds` (a Dataset of reconstruct())
    as maps: a Dataset with one variable per band of tsrecon-seasons
    (tsrecon.SEASON_BAND_NAMES; float32, the maps' dimensions and
    coordinates, NaN where a pixel has no model), bit for bit what
    tsrecon-seasons writes for the same parameters, dates and scaling. Values
    are in the data's units (the attribute tsrecon_factor). Where the time
    coordinate holds datetimes, the dates are days of the year of each
    season's peak and every date band has its calendar date beside it as
    <band>_date (datetime64[ns], NaT where there is no such season); else the
    dates are steps. min_amplitude (in the data's units) and min_share: the
    thresholds of a season. threads: None for every core."""
    if not isinstance(ds, xr.Dataset) or 'params' not in ds or 'order' not in ds:
        raise TypeError('ds must be a Dataset of tsrecon.xarray.reconstruct (with its params and order)')
    if time_dim not in ds.dims:
        raise ValueError(f'{time_dim!r} is not a dimension of the Dataset {tuple(ds.dims)}: give time_dim=')
    stored = ds['params']
    grid = ds['order']
    planes = np.ascontiguousarray(stored.transpose('parameter', *grid.dims).values, np.float32)
    nfunc = (planes.shape[0] - 2) // 2
    nb = ds.sizes[time_dim]
    time = ds[time_dim].values
    days = tsrecon._day_numbers(time, nb) if time.dtype.kind == 'M' else None
    model = _tsrecon.has_model(np.ascontiguousarray(grid.values.reshape(-1), np.int8), planes.reshape(planes.shape[0], -1))
    bands, event_days = tsrecon._season_maps(planes.reshape(planes.shape[0], -1), model, nb, int(stored.attrs['npoint']),
                                             nfunc, days, _factor(None, ds.attrs), min_amplitude, min_share, threads,
                                             days is not None)
    data_vars = {}
    for k, name in enumerate(tsrecon.SEASON_BAND_NAMES):
        data_vars[name] = xr.DataArray(bands[k].reshape(grid.shape), dims=grid.dims, coords=grid.coords)
        if days is not None and name in tsrecon._DATE_BANDS:
            j = tsrecon._DATE_BANDS.index(name)
            data_vars[name + '_date'] = xr.DataArray(tsrecon._datetimes(event_days[j // 7, j % 7]).reshape(grid.shape),
                                                     dims=grid.dims, coords=grid.coords)
    description = ('the mean season of the record: the model\'s periodic part repeats every npoint steps and the '
                   'values are those at the middle of the record (the trend shifts the values year by year, never '
                   'the dates); ' + ('dates are days of the year of the season\'s peak' if days is not None
                                     else 'dates are steps of the cycle'))
    return xr.Dataset(data_vars, attrs={FACTOR_ATTR: _factor(None, ds.attrs), 'description': description,
                                        'min_amplitude': float(min_amplitude), 'min_share': float(min_share)})
