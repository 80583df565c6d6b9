"""tsrecon in Python: the program's reconstruction on arrays in memory.

    import numpy as np
    import tsrecon

    cube = np.fromfile('data.bsq', '<i2').reshape(46, 40, 60)  # bands, lines, samples
    r = tsrecon.reconstruct(cube, tsrecon.Settings(nfunc=4, intp=1))
    r.fitted, r.params, r.preliminary, r.order, r.criterion, r.minimum, r.maximum

The products are the bytes the tsrecon executable writes for the same cube
and settings, whatever the number of threads. `run_job` runs a job directory
as the executable does; `tsrecon.xarray` takes DataArrays in their own units.
`seasons` maps the seasons of every pixel's model (greenup, peak, dormancy,
their values) as tsrecon-seasons does:

    s = tsrecon.seasons(r, settings, dates=dates, factor=1600)
    s['s1_peak'], s.date('s1_peak')

Pixels are computed with the GIL released; Ctrl-C stops a call between
pixels with KeyboardInterrupt.
"""

import dataclasses
import operator
import os
import pkgutil
import sys
import types
import warnings

# The package's Python files and its extension may lie in two folders (the
# sources and a build tree, both on sys.path): the package is all of them.
__path__ = pkgutil.extend_path(__path__, __name__)

try:
    import numpy as np
except ImportError as e:
    raise ImportError('tsrecon needs NumPy: run it with /usr/bin/python3 (Debian\'s python3-numpy), the '
                      'interpreter it is built for') from e

from . import _tsrecon
# The domain's words, as the program has them (src/domain): raw values
# (RAW_SCALE raw per unit of the scaled series, the ceiling, the no-data
# value, the largest stored value), the bands a run takes, the harmonic table
# (cycles in NPOINT steps of harmonics 1..6), the planes of p.bsq and their
# names.
from ._tsrecon import (HARMONIC_CYCLES, MAX_BANDS, MAX_HARMONICS, MIN_BANDS, MIN_MODEL_ORDER, NDVI_FACTOR,
                       RAW_CEILING, RAW_LARGEST, RAW_NO_DATA, RAW_SCALE, parameter_names)

__all__ = ['Settings', 'Result', 'reconstruct', 'run_job', 'RunError', 'ControlFileError', 'HARMONIC_CYCLES',
           'RAW_SCALE', 'RAW_CEILING', 'RAW_NO_DATA', 'RAW_LARGEST', 'NDVI_FACTOR', 'MIN_BANDS', 'MAX_BANDS',
           'MAX_HARMONICS', 'MIN_MODEL_ORDER', 'RUN_FILES', 'run_file', 'parameter_names', 'seasons', 'Seasons',
           'SEASON_BAND_NAMES']

_INT32 = (-2**31, 2**31 - 1)

# The files of a run, in the order the program opens them: name, unit,
# dtype (as stored), size (bytes per element), planes ('bands',
# 'parameters', 'one'), presence ('always', 'mask', 'interpolation'),
# content ('input', or the product's name in Result) and title.
RUN_FILES = tuple(types.SimpleNamespace(**f) for f in _tsrecon.RUN_FILES)


def run_file(name):
    """The entry of RUN_FILES named `name` ('p.bsq')."""
    return next(f for f in RUN_FILES if f.name == name)


class RunError(Exception):
    """A job that ended as the executable ends with a message.

    number: the run-time error number (24, 29, 36, ...), 1 for a refusal;
    line: the line the executable writes on standard error; unit and file:
    the unit (15 cntl.dat, 21 data.bsq, ...) and file of a run-time error;
    exit_status: the executable's exit status; refused: a refusal (bad values
    or data, too little memory) rather than a run-time error."""

    def __init__(self, kind, number, unit, file, line, exit_status):
        super().__init__(line)
        self.kind, self.number, self.unit, self.file, self.line = kind, number, unit, file, line
        self.exit_status = exit_status

    @property
    def refused(self):
        return self.kind == 'refused'


class ControlFileError(RunError):
    """A control file the program does not run with: a run-time error of its
    reading (number 17, 18, 19, 24, 59, 64; 29 when missing) or a refused
    value (number 1)."""


def _check(status, error=None):
    """Raises for a status of the library that is not ok: `error` with its
    fields, or without one ValueError for a refusal (RunError otherwise)."""
    if status[0] == 'ok':
        return
    if error is None:
        if status[0] == 'refused':
            raise ValueError(status[4])
        error = RunError
    raise error(*status)


def _integer(name, value, low, high):
    try:
        v = operator.index(value)
    except TypeError:
        raise TypeError(f'{name} must be an integer, not {type(value).__name__}') from None
    if not low <= v <= high:
        raise ValueError(f'{name} = {v} is outside the range of its type {low}..{high}')
    return v


class _SettingsMethods:
    """What Settings does besides holding its members."""

    def __post_init__(self):
        for name, bounds, _ in _tsrecon.SETTINGS_MEMBERS:
            if bounds is not None:
                object.__setattr__(self, name, _integer(name, getattr(self, name), *bounds))
        for name, bounds, _ in _tsrecon.SETTINGS_MEMBERS:
            if bounds is None:
                try:
                    object.__setattr__(self, name, float(getattr(self, name)))
                except (TypeError, ValueError):
                    raise TypeError(f'{name} must be a real number, not {type(getattr(self, name)).__name__}') from None
        bands = tuple(_integer('an excluded band', b, *_INT32) for b in np.ravel(self.excluded_bands).tolist())
        object.__setattr__(self, 'excluded_bands', bands)
        # The cube's length is not known yet: bands past MAX_BANDS (or more of
        # them) are for a longer record, checked against its length by reconstruct.
        _check(_tsrecon.check_reconstruct_settings(self, max(MAX_BANDS, len(bands), *bands)))

    @property
    def parameter_count(self):
        """Planes of p.bsq: constant, trend, amplitude and phase per harmonic."""
        return _tsrecon.parameter_count(self.nfunc)

    @classmethod
    def from_file(cls, path):
        """The settings of a control file (the file, or a directory holding
        cntl.dat), read with the program's own reader and rules; errors as
        ControlFileError with the program's number and message."""
        status, members, size = _tsrecon.read_control_file(os.fspath(path))
        _check(status, ControlFileError)
        s = cls(**members)
        for name, value in zip(('nb', 'nl', 'ns'), size):
            object.__setattr__(s, name, value)
        return s


def _size_field():
    return dataclasses.field(default=None, init=False, repr=False, compare=False)


# The members of the program's list, in its order, with its defaults and the
# ranges of their types (integers) or as reals; then the excluded bands.
Settings = dataclasses.make_dataclass(
    'Settings',
    [(name, int if bounds is not None else float, dataclasses.field(default=default))
     for name, bounds, default in _tsrecon.SETTINGS_MEMBERS]
    + [('excluded_bands', tuple, ()), ('nb', int, _size_field()), ('nl', int, _size_field()),
       ('ns', int, _size_field())],
    bases=(_SettingsMethods,), frozen=True,
    namespace={'__module__': __name__, '__doc__': """The members of cntl.dat that shape the reconstruction, in lower case,
    with the program's defaults; refused as the program refuses them
    (ValueError naming the member). tcld is used as given (cntl.dat's TCLD is
    read as a double; the default is the single-precision 0.15). Excluded
    bands must lie in 1..nb of the cube (of any length for reconstruct, at
    most MAX_BANDS for a control file). Settings.from_file also tells the
    cube size of the control file (nb, nl, ns; None otherwise)."""})


class Result:
    """The products of reconstruct(), each in the element type and layout of
    its file: fitted (int16, f.bsq), params (float32, p.bsq: constant, trend,
    then amplitude and phase per harmonic, parameters first), preliminary
    (int16, i.bsq; None unless intp is 1), order (int8, order.dat),
    criterion (float32, aic.dat), minimum and maximum (int16, min.dat and
    max.dat). Series and parameters are shaped (planes, lines, samples) for a
    (bands, lines, samples) cube and (planes, pixels) for a (bands, pixels)
    cube; the maps (lines, samples) and (pixels,)."""

    __slots__ = ('fitted', 'params', 'preliminary', 'order', 'criterion', 'minimum', 'maximum')

    def __init__(self, products, pixel_shape):
        for name in self.__slots__:
            a = products[name]
            if a is not None:
                a = a.reshape(a.shape[:-2] + pixel_shape) if a.ndim == 3 else a.reshape(pixel_shape)
            setattr(self, name, a)

    @property
    def has_model(self):
        """True where a pixel has a model by the program's no-model rule on
        the stored products: order at least MIN_MODEL_ORDER and not every
        parameter exactly 0 (elsewhere the products hold zeros)."""
        return _tsrecon.has_model(self.order, self.params)

    def __repr__(self):
        return f'<tsrecon.Result {self.fitted.shape[0]} bands, pixels {self.order.shape}>'


def _products_bytes(settings, nb, pixels):
    """Bytes of the products of `pixels` pixels of `nb` bands."""
    planes = {'bands': nb, 'parameters': settings.parameter_count, 'one': 1}
    return pixels * sum(planes[f.planes] * f.size for f in RUN_FILES
                        if f.presence == 'always' and f.content != 'input'
                        or f.presence == 'interpolation' and settings.intp == 1)


def _refuse_beyond_memory(need, what, purpose):
    have = _tsrecon.available_memory()
    if need > have:
        raise MemoryError(f'{what} {need / 2**20:.0f} MiB {purpose}; this machine has {have / 2**20:.0f} MiB '
                          f'available')


def _first_outside(a, low, high):
    """(band, line, sample) of the first value outside low..high in the
    program's reading order (line by line, band by band), or None."""
    first = None
    for b in range(a.shape[0]):
        bad = (a[b] < low) | (a[b] > high)
        rows = np.flatnonzero(bad.any(axis=1))
        if rows.size and (first is None or rows[0] < first[1]):
            first = (b, int(rows[0]), int(np.argmax(bad[rows[0]])))
    return first


def _as_cube(a, what, dtype, high, convert_bool):
    """`a` (3-D) as a C-contiguous, aligned, native array of `dtype`; other
    integer types are converted when every value is 0..high."""
    if a.dtype.kind == 'b' and convert_bool:
        a = a.astype(dtype)
    elif a.dtype.kind not in 'iu':
        hint = ' (scale and round it first, or use tsrecon.xarray.reconstruct)' if a.dtype.kind == 'f' else ''
        raise TypeError(f'{what} must hold integers ({np.dtype(dtype).name}), not {a.dtype}{hint}')
    elif a.dtype.newbyteorder('=') != np.dtype(dtype):
        bad = _first_outside(a, 0, high)
        if bad is not None:
            b, l, s = bad
            raise ValueError(f'{what}: band {b + 1} line {l + 1} sample {s + 1} holds {a[b, l, s]}; values must be '
                             f'0..{high}')
    return np.require(a, dtype=dtype, requirements=['C', 'A'])


def _pixel_shape(a, what):
    if a.ndim not in (2, 3):
        raise ValueError(f'{what} must be shaped (bands, lines, samples) or (bands, pixels), not {a.shape}')
    return a.shape[1:]


def _warn_of_missing_samples(cube, settings, remedy, stacklevel):
    """Warns when the missing-sample rule finds pixels that missing samples
    (RAW_NO_DATA in `cube`, int16 shaped (bands, ...)) spoil: an unmasked
    run (settings.mask != 1) without excluded bands, where they enter the
    preliminary fit at their value. `remedy` ends the warning."""
    tally = _tsrecon.MissingSampleTally(cube.shape[0])
    tally.add(_tsrecon.count_missing(cube, RAW_NO_DATA))
    verdict = _tsrecon.judge_missing_samples(tally, settings.mask, len(settings.excluded_bands))
    if verdict.pixels_ruined:
        warnings.warn(f'missing samples ({RAW_NO_DATA}) spoil {verdict.pixels_ruined} of {verdict.pixels} pixels: '
                      f'{_tsrecon.format_missing_counts(verdict)}. With settings.mask = {settings.mask} and no '
                      f'excluded band they enter the preliminary fit at their value, which then keeps them and '
                      f'screens real samples out: {remedy}', UserWarning, stacklevel=stacklevel + 1)


def reconstruct(cube, settings, mask=None, threads=None, engine=None):
    """Reconstructs every pixel of `cube` as the executable does, returning a
    Result with its products.

    cube: raw values 0..32767 (4096 = 1.0) shaped (bands, lines, samples), the
    layout of data.bsq, or (bands, pixels); int16, or any integer type whose
    values fit (converted), in any memory layout (copied when not C order).
    Any number of bands from 3: beyond MAX_BANDS (the executable's limit,
    that of its files and control file) a record of any length runs on the
    fast engine, about 2.8 kB of working storage per step and worker thread.
    settings: a Settings. mask: with settings.mask == 1, the weights 0..255
    (uint8, or bool or integers that fit) in the cube's shape. threads: worker
    threads, as TSRECON_THREADS (None: TSRECON_THREADS, else OMP_NUM_THREADS,
    else every core). engine: 'fast' or 'literal' (None: TSRECON_ENGINE, else
    fast); both give the same bytes; 'literal' for at most MAX_BANDS bands.

    Raises ValueError for refused settings or data (a negative value names
    its band, line and sample, from 1), TypeError for arrays of the wrong
    type, MemoryError before any work when the products (and the copies, and
    for a longer record the working storage) do not fit the machine's memory,
    KeyboardInterrupt on Ctrl-C. Warns
    (UserWarning) when missing samples (RAW_NO_DATA) are 2 % or more of a
    pixel's bands in a run without a mask or excluded bands: they enter the
    preliminary fit at their value and spoil it; a mask of them (mask=, with
    settings.mask = 1) keeps them out."""
    return _reconstruct(cube, settings, mask, threads, engine, 'give mask= (1 valid, 0 missing) with '
                        'settings.mask = 1 to keep them out', 2)


def _reconstruct(cube, settings, mask, threads, engine, remedy, stacklevel):
    """reconstruct(), warning of spoiling missing samples with `remedy` at
    `stacklevel` (that of the caller of the public function)."""
    if not isinstance(settings, Settings):
        raise TypeError(f'settings must be a tsrecon.Settings, not {type(settings).__name__}')
    data = np.asarray(cube)
    pixel_shape = _pixel_shape(data, 'the cube')
    shape = (data.shape[0], 1, data.shape[1]) if data.ndim == 2 else data.shape
    nb, nl, ns = shape
    _check(_tsrecon.check_reconstruct_settings(settings, min(nb, _INT32[1])))
    if threads is None:
        threads = 0
    elif _integer('threads', threads, *_INT32) < 1:
        raise ValueError(f'threads must be 1 or more, not {threads}')
    if engine not in (None, 'fast', 'literal'):
        raise ValueError(f"engine must be 'fast' or 'literal', not {engine!r}")
    if settings.mask == 1 and mask is None:
        raise ValueError('settings.mask = 1 needs a mask: weights 0..255 in the shape of the cube')
    if settings.mask != 1 and mask is not None:
        raise ValueError(f'a mask is given but settings.mask = {settings.mask}: it would be ignored (mask=1 uses it)')
    weights = None if mask is None else np.asarray(mask)
    if weights is not None and weights.shape != data.shape:
        raise ValueError(f'the mask is shaped {weights.shape}, the cube {data.shape}')

    # Memory: the products, and the copies of inputs that must be converted.
    pixels = nl * ns
    need = _products_bytes(settings, nb, pixels) + pixels * 4  # and the counts of missing samples
    if data.dtype != np.int16 or not (data.flags.c_contiguous and data.flags.aligned):
        need += pixels * nb * 2 + pixels * 2
    if weights is not None and not (weights.dtype == np.uint8 and weights.flags.c_contiguous):
        need += pixels * nb + pixels * 2
    purpose = 'for its products and copies'
    if nb > MAX_BANDS:  # a longer record: each worker's storage grows with it
        workers = max(1, min(pixels, threads or len(os.sched_getaffinity(0))))
        need += workers * _tsrecon.worker_storage_bytes(min(nb, _INT32[1]))
        purpose = 'for its products, copies and working storage'
    _refuse_beyond_memory(need, f'a cube of {nb} bands x {pixels} pixels needs', purpose)

    data = _as_cube(data.reshape(shape), 'the cube', np.int16, RAW_NO_DATA, False)
    if weights is not None:
        weights = _as_cube(weights.reshape(shape), 'the mask', np.uint8, 255, True)
    _warn_of_missing_samples(data, settings, remedy, stacklevel + 1)
    status, products = _tsrecon.reconstruct(settings, data, weights, threads, engine or '')
    _check(status)
    return Result(products, pixel_shape)


# The bands of the seasons' maps, in the order of seasons.bsq: nseasons, 15
# for each of two seasons, trend_per_year.
SEASON_BAND_NAMES = _tsrecon.SEASON_BAND_NAMES
# The bands that are dates: greenup .. dormancy of each season.
_DATE_BANDS = tuple(f's{s}_{e}' for s in (1, 2)
                    for e in ('greenup', 'midgreenup', 'maturity', 'peak', 'senescence', 'midgreendown', 'dormancy'))
_DAY = np.timedelta64(1, 'D')


def _day_numbers(dates, nb, whole=False):
    """Days since 1970-01-01 of `nb` dates (datetime64, datetime, 'YYYY-MM-DD'
    texts): float64 whose fractions are times of the day, or with `whole` the
    day that holds each instant (int64)."""
    d = np.asarray(dates)
    if d.dtype.kind != 'M':
        d = d.astype('datetime64[ns]')
    if d.shape != (nb,):
        raise ValueError(f'dates must hold one date per band ({nb}), not shape {d.shape}')
    if np.isnat(d).any():
        raise ValueError('dates must not hold NaT')
    since = d - np.datetime64(0, 'D')
    return since // _DAY if whole else np.ascontiguousarray(since / _DAY, np.float64)


def _datetimes(days):
    """datetime64[ns] of day numbers, NaT where they are NaN."""
    ns = np.where(np.isnan(days), 0, np.round(np.nan_to_num(days) * 86400e9)).astype(np.int64)
    return np.where(np.isnan(days), np.datetime64('NaT', 'ns'), ns.view('datetime64[ns]'))


def _threads(threads):
    if threads is None:
        return len(os.sched_getaffinity(0)) if hasattr(os, 'sched_getaffinity') else (os.cpu_count() or 1)
    if _integer('threads', threads, *_INT32) < 1:
        raise ValueError(f'threads must be 1 or more, not {threads}')
    return threads


def _season_maps(params, has_model, nb, npoint, nfunc, days, factor, min_amplitude, min_share, threads, with_days):
    """(bands, days) of the extension for planes `params` (planes, pixels)."""
    factor, min_amplitude, min_share = float(factor), float(min_amplitude), float(min_share)
    if not (np.isfinite(factor) and factor > 0):
        raise ValueError(f'factor must be a positive number (raw per unit), not {factor}')
    if not (np.isfinite(min_amplitude) and min_amplitude >= 0):
        raise ValueError(f'min_amplitude must be 0 or more, not {min_amplitude}')
    if not 0 <= min_share <= 1:
        raise ValueError(f'min_share must be 0..1, not {min_share}')
    error, bands, event_days = _tsrecon.seasons(
        np.ascontiguousarray(params, np.float32), np.ascontiguousarray(has_model, np.uint8), nb, npoint, nfunc, days,
        factor, min_amplitude, min_share, _threads(threads), with_days)
    if error is not None:
        raise ValueError(error)
    return bands, event_days


class Seasons:
    """The seasons of pixels' models, as tsrecon-seasons maps them (see
    tsrecon-seasons --help for what each band holds).

    bands: float32 shaped (bands,) + the pixels' shape, the bands of
    seasons.bsq in the order of SEASON_BAND_NAMES, NaN where a pixel has no
    model; seasons['s1_peak'] is one of them. days: with dates, float64
    (2, 7) + the pixels' shape, the day numbers (days since 1970-01-01,
    fractional) of greenup, midgreenup, maturity, peak, senescence,
    midgreendown and dormancy of seasons 1 and 2 (NaN where a pixel has no
    such season); None without dates. date(name) gives a date band
    ('s2_greenup') as datetime64[ns], NaT where it is NaN."""

    __slots__ = ('bands', 'days')

    def __init__(self, bands, days):
        self.bands, self.days = bands, days

    def __getitem__(self, name):
        return self.bands[SEASON_BAND_NAMES.index(name)]

    def date(self, name):
        if self.days is None:
            raise ValueError('the seasons were computed without dates: their dates are steps')
        k = _DATE_BANDS.index(name)
        return _datetimes(self.days[k // 7, k % 7])

    def __repr__(self):
        return f'<tsrecon.Seasons {len(SEASON_BAND_NAMES)} bands, pixels {self.bands.shape[1:]}>'


def seasons(params, settings, *, nb=None, order=None, dates=None, factor=None, min_amplitude=0.05, min_share=0.35,
            threads=None):
    """The seasons of every pixel's model, bit for bit the bands
    tsrecon-seasons writes to seasons.bsq for the same parameters, dates,
    scaling and thresholds; a Seasons.

    params: a Result of reconstruct() (its parameters, orders and number of
    bands), or the planes of p.bsq (float32 shaped (planes, lines, samples)
    or (planes, pixels)) with nb, the bands of the record, and optionally
    order (the orders of order.dat, int8 in the pixels' shape). settings:
    the Settings of the reconstruction (nfunc, npoint). A pixel has no model
    where its order is below MIN_MODEL_ORDER or every parameter is 0.
    dates: one date per band (datetime64, datetime, 'YYYY-MM-DD'), or None
    for dates in steps. factor: raw per unit of the values (1600 for NDVI
    stored as NDVI x 1600); None: the program's scaled units (raw / 4096).
    min_amplitude (in those units) and min_share: the thresholds of a season.
    threads: None for every core."""
    if not isinstance(settings, Settings):
        raise TypeError(f'settings must be a tsrecon.Settings, not {type(settings).__name__}')
    if isinstance(params, Result):
        if nb is None:
            nb = params.fitted.shape[0]
        if order is None:
            order = params.order
        params = params.params
    p = np.asarray(params)
    if p.dtype != np.float32:
        raise TypeError(f'params must be float32, the planes of p.bsq, not {p.dtype}')
    if p.ndim not in (2, 3) or p.shape[0] != settings.parameter_count:
        raise ValueError(f'params must be shaped ({settings.parameter_count}, lines, samples) or '
                         f'({settings.parameter_count}, pixels) for nfunc = {settings.nfunc}, not {p.shape}')
    if nb is None:
        nb = len(dates) if dates is not None else settings.nb
    if nb is None:
        raise ValueError('give nb, the bands of the record (or dates, or a Result)')
    nb = _integer('nb', nb, 1, _INT32[1])  # a record of any length, as reconstruct() takes it
    shape = p.shape[1:]
    planes = p.reshape(p.shape[0], -1)
    if order is None:
        order = np.full(shape, MIN_MODEL_ORDER, np.int8)
    order = np.asarray(order)
    if order.shape != shape:
        raise ValueError(f'order is shaped {order.shape}, the pixels of params {shape}')
    model = _tsrecon.has_model(np.ascontiguousarray(order.reshape(-1), np.int8) if order.dtype == np.int8
                               else _integer_orders(order), np.ascontiguousarray(planes))
    days = None if dates is None else _day_numbers(dates, nb)
    bands, event_days = _season_maps(planes, model, nb, settings.npoint, settings.nfunc, days,
                                     RAW_SCALE if factor is None else factor, min_amplitude, min_share, threads,
                                     days is not None)
    return Seasons(bands.reshape((-1,) + shape), None if event_days is None else event_days.reshape((2, 7) + shape))


def _integer_orders(order):
    if order.dtype.kind not in 'iu':
        raise TypeError(f'order must hold integers (int8, as order.dat), not {order.dtype}')
    return np.ascontiguousarray(order.reshape(-1).astype(np.int8))


def _write_stdout(text):
    sys.stdout.write(text)
    sys.stdout.flush()


def run_job(directory='.', console=None):
    """Runs the job in `directory` as the executable does there: reads
    cntl.dat and data.bsq (mask.bsq), writes the products beside them.

    console: a callable that receives the console text, or None for the
    executable's console (sys.stdout, or the file FORT6 names when set).
    Raises RunError (number and line as the executable reports them) where
    the executable ends with an error, KeyboardInterrupt on Ctrl-C (the
    products then hold the lines completed, as after an interrupted run)."""
    if console is None and 'FORT6' not in os.environ:
        console = _write_stdout
    if console is not None and not callable(console):
        raise TypeError('console must be a callable that takes a str, or None')
    _check(_tsrecon.run_job(os.fspath(directory), console), RunError)


def __getattr__(name):
    # tsrecon.xarray on first use: xarray is optional and slow to import.
    if name == 'xarray':
        import importlib
        return importlib.import_module('.xarray', __name__)
    raise AttributeError(f'module {__name__!r} has no attribute {name!r}')
