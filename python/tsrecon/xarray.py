"""tsrecon on xarray: the reconstruction of a DataArray of NDVI (or another
index) in its own units, with its coordinates and attributes kept.

    import tsrecon, tsrecon.xarray
    ds = tsrecon.xarray.reconstruct(ndvi, tsrecon.Settings(nfunc=4, npoint=12))
    ds.fitted.sel(x=..., y=..., method='nearest').plot()
    seasons = tsrecon.xarray.seasons(ds)   # greenup, peak, dormancy ... as maps

The values become the program's raw values as tsrecon-import makes them:
raw = value x factor (1600 for NDVI), rounded to nearest (halves away from
zero), clipped to 0..32766, missing samples (NaN, the no-data value) 32767.
"""

import dataclasses

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


def reconstruct(data_array, settings, time_dim='time', *, factor=None, nodata=None, mask_missing=False,
                threads=None, engine=None):
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
    mask_missing: run with a mask (settings.mask = 1) that drops the missing
    samples, instead of the program's residual screening of them.
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
    nb, pixels = stored.shape[0], int(np.prod(stored.shape[1:]))
    # The raw cube, its mask and the Dataset's variables, before any of them is made.
    tsrecon._refuse_beyond_memory(
        tsrecon._products_bytes(settings, nb, pixels) + nb * pixels * (2 + 1 + 4) + pixels * 4 * (nb + 2 * nfunc),
        f'{nb} time steps x {pixels} pixels need', 'for the raw cube, the products and the Dataset')
    cube = np.empty((nb, pixels), np.int16)
    mask = np.empty((nb, pixels), np.uint8) if mask_missing else None
    for b in range(nb):  # one time step at a time: no temporaries of the whole cube
        plane = stored[b].reshape(-1)
        missing = ~np.isfinite(plane) if plane.dtype.kind == 'f' else np.zeros(plane.shape, bool)
        for fill in fills:
            missing |= plane == fill
        cube[b] = to_raw(plane.astype(np.float64) * scale + offset, factor, missing)
        if mask is not None:
            mask[b] = ~missing
    if mask_missing:
        settings = dataclasses.replace(settings, mask=1)
    r = tsrecon.reconstruct(cube, settings, mask=mask, threads=threads, engine=engine)

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
    fitted = variable(in_units(r.fitted.reshape((nb,) + shape)), series.dims, series.coords, kept)
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
