"""The package tsrecon against the executable: every product byte for byte on
generated and edge-case cubes, the refusals, the errors as exceptions,
interrupts, threads, and the xarray layer.

Run by ctest with PYTHONPATH naming the package's sources and the build
under test (python:build/python); tsrecon and tsrecon-gen are taken beside
its extension."""

import os
import signal
import subprocess
import threading
import time
import warnings

import numpy as np
import pytest

import tsrecon
from programs import program

# Products: file, attribute, element type, planes ('b' bands, 'p' parameters, 1).
PRODUCTS = [('f.bsq', 'fitted', '<i2', 'b'), ('p.bsq', 'params', '<f4', 'p'), ('i.bsq', 'preliminary', '<i2', 'b'),
            ('order.dat', 'order', 'i1', 1), ('aic.dat', 'criterion', '<f4', 1), ('min.dat', 'minimum', '<i2', 1),
            ('max.dat', 'maximum', '<i2', 1)]


def generate(d, nb=46, nl=4, ns=5, cntl=None, **options):
    """A job made by tsrecon-gen in d (cntl.dat replaced by `cntl` when given);
    returns the cube (and mask) as arrays."""
    d.mkdir(exist_ok=True)
    args = [f'--{k}={v}' for k, v in options.items()]
    args = [a for kv in args for a in kv.split('=', 1)]
    subprocess.run([program('tsrecon-gen'), '--dir', str(d), '--nb', str(nb), '--nl', str(nl), '--ns',
                    str(ns), *args], check=True)
    if cntl is not None:
        (d / 'cntl.dat').write_text(cntl)
    cube = np.fromfile(d / 'data.bsq', '<i2').reshape(nb, nl, ns)
    mask = np.fromfile(d / 'mask.bsq', 'u1').reshape(nb, nl, ns) if (d / 'mask.bsq').exists() else None
    return cube, mask


def execute(d, env=None):
    return subprocess.run([program('tsrecon')], cwd=d, capture_output=True, text=True,
                          env=dict(os.environ, **(env or {})))


def assert_products(result, d, settings):
    """Every product of `result` has the bytes of the file the executable wrote in d."""
    nb, nl, ns = settings.nb, settings.nl, settings.ns
    for name, attr, dtype, planes in PRODUCTS:
        value = getattr(result, attr)
        if name == 'i.bsq' and settings.intp != 1:
            assert value is None and not (d / name).exists()
            continue
        n = {'b': nb, 'p': settings.parameter_count, 1: 1}[planes]
        shape = (n, nl, ns) if planes != 1 else (nl, ns)
        assert value.dtype == np.dtype(dtype) and value.shape == shape, name
        assert value.astype(dtype).tobytes() == (d / name).read_bytes(), name


CONTRL = '{nb}\n{nl} {ns}\n&DATA NFUNC={nfunc}, NDEF={ndef} /\n&CONTRL {contrl} /\n&NPT NPOINT={npoint} /\n{bands}'


def cntl(nb=46, nl=4, ns=5, nfunc=6, contrl='INTP=1', npoint=46, bands=()):
    return CONTRL.format(nb=nb, nl=nl, ns=ns, nfunc=nfunc, ndef=len(bands), contrl=contrl, npoint=npoint,
                         bands=''.join(f'{b}\n' for b in bands))


EDGE_CASES = {
    **{f'nfunc {k}': dict(cntl=cntl(nfunc=k)) for k in range(7)},
    'mask': dict(mask=1, cntl=cntl(contrl='MASK=1, INTP=1')),
    'no preliminary': dict(cntl=cntl(contrl='INTP=0')),
    'excluded bands': dict(cntl=cntl(bands=(5, 17, 17, 46))),
    'peaks clipped, tight thresholds': dict(cntl=cntl(contrl='FITMD=1, TCLD=0.06, NWIN=1, INTP=1')),
    'no filter, all samples fit': dict(cntl=cntl(contrl='FITMD=2, MMSW=0, FITSW=0, INTP=1', npoint=23, nfunc=5)),
    '200 bands': dict(nb=200, nl=2, ns=3, cntl=cntl(nb=200, nl=2, ns=3)),
    'all zero': dict(fill=0),
    'all 32767': dict(fill=32767),
}


@pytest.mark.parametrize('case', EDGE_CASES)
def test_products_equal_the_executables(tmp_path, case):
    options = dict(EDGE_CASES[case])
    fill = options.pop('fill', None)
    cube, mask = generate(tmp_path, seed=11, **options)
    if fill is not None:
        cube[...] = fill
        cube.astype('<i2').tofile(tmp_path / 'data.bsq')
    run = execute(tmp_path)
    assert run.returncode == 0, run.stderr
    settings = tsrecon.Settings.from_file(tmp_path / 'cntl.dat')
    assert (settings.nb, settings.nl, settings.ns) == cube.shape
    assert_products(tsrecon.reconstruct(cube, settings, mask=mask), tmp_path, settings)


def test_threads_engines_and_equivalent_inputs(tmp_path):
    """The same bytes for any thread count, both engines, and every layout or
    type of the same values."""
    cube, _ = generate(tmp_path, nl=5, ns=7, seed=5)
    assert execute(tmp_path).returncode == 0
    settings = tsrecon.Settings.from_file(tmp_path)
    for threads, engine in [(1, None), (2, None), (3, None), (2, 'literal'), (None, 'fast')]:
        assert_products(tsrecon.reconstruct(cube, settings, threads=threads, engine=engine), tmp_path, settings)
    same = {
        'pixels': cube.reshape(46, -1),
        'Fortran order': np.asfortranarray(cube),
        'strided': np.repeat(cube, 2, axis=2)[:, :, ::2],
        'big-endian': cube.astype('>i2'),
        'int64': cube.astype(np.int64),
        'uint16': cube.astype(np.uint16),
        'nested lists': cube.tolist(),
    }
    for name, data in same.items():
        r = tsrecon.reconstruct(data, settings, threads=2)
        if name == 'pixels':
            assert r.fitted.shape == (46, 35) and r.order.shape == (35,)
            for a in tsrecon.Result.__slots__:
                setattr(r, a, getattr(r, a).reshape(getattr(r, a).shape[:-1] + (5, 7)))
        assert_products(r, tmp_path, settings)


def test_settings_from_keywords_equal_the_control_files(tmp_path):
    text = '46\n2400 4800\n&DATA NFUNC=4, NDEF=2 /\n&CONTRL NWIN=2, TCLD=0.1, INTP=1 /\n&NPT NPOINT=46 /\n5\n17\n'
    (tmp_path / 'cntl.dat').write_text(text)
    s = tsrecon.Settings.from_file(tmp_path)
    assert s == tsrecon.Settings(nfunc=4, nwin=2, tcld=0.1, intp=1, excluded_bands=[5, 17])
    assert (s.nb, s.nl, s.ns) == (46, 2400, 4800)
    assert tsrecon.Settings().tcld == 0.15000000596046448


def test_refusals():
    cube = np.full((46, 2, 3), 800, np.int16)
    ok = tsrecon.Settings()
    bad_settings = [(dict(nfunc=7), ValueError, 'nfunc = 7 is outside the allowed range 0..6'),
                    (dict(nwin=-1), ValueError, 'nwin = -1'), (dict(npoint=0), ValueError, 'npoint = 0'),
                    (dict(fitsw=200), ValueError, 'fitsw = 200'), (dict(nfunc=2.5), TypeError, 'nfunc'),
                    (dict(tcld='x'), TypeError, 'tcld'), (dict(excluded_bands=[0]), ValueError, 'excluded band 0')]
    for kwargs, error, text in bad_settings:
        with pytest.raises(error, match=text):
            tsrecon.Settings(**kwargs)
    negative = cube.copy()
    negative[2, 1, 2] = -5

    def call(cube=cube, settings=ok, **options):
        return cube, settings, options

    bad_calls = [
        (call(settings=tsrecon.Settings(excluded_bands=[47])), ValueError, 'excluded band 47 is outside the bands 1..46'),
        (call(settings=tsrecon.Settings(excluded_bands=[250])), ValueError, 'excluded band 250 is outside the bands 1..46'),
        (call(np.full((201, 1, 2), 800, np.int16), engine='literal'), ValueError,
         'the literal engine takes series of at most 200 steps, not 201'),
        (call(cube[:2]), ValueError, 'nb = 2 is outside'),
        (call(cube[0, 0]), ValueError, 'shaped'),
        (call(cube / 4096.0), TypeError, 'float64'),
        (call(negative), ValueError, 'band 3 line 2 sample 3 holds -5'),
        (call(negative.astype(np.int32)), ValueError, 'band 3 line 2 sample 3 holds -5'),
        (call(cube.astype(np.int32) + 40000), ValueError, 'band 1 line 1 sample 1 holds 40800'),
        (call(settings=tsrecon.Settings(mask=1)), ValueError, 'needs a mask'),
        (call(mask=np.ones(cube.shape, np.uint8)), ValueError, 'ignored'),
        (call(settings=tsrecon.Settings(mask=1), mask=np.ones((46, 3, 2), np.uint8)), ValueError, 'shaped'),
        (call(settings=tsrecon.Settings(mask=1), mask=np.full(cube.shape, 256)), ValueError, 'holds 256'),
        (call(threads=0), ValueError, 'threads'),
        (call(engine='quick'), ValueError, 'engine'),
        (call(settings=None), TypeError, 'Settings'),
        # 46 x 10^12 values, a view of one: refused before a byte is copied.
        (call(np.broadcast_to(np.int16(0), (46, 10**6, 10**6))), MemoryError, 'MiB'),
        (call(np.broadcast_to(np.int16(0), (2 * 10**9, 1, 1))), MemoryError, 'MiB for its products, copies and working'),
    ]
    for (data, settings, options), error, text in bad_calls:
        with pytest.raises(error, match=text):
            tsrecon.reconstruct(data, settings, **options)


# Records longer than the executable's 200 bands -- name: (nb, nl, ns,
# settings) -- against the literal algorithm with storage for the whole record.
LONG_RECORDS = {
    '201 steps, excluded bands': (201, 2, 2, dict(intp=1, excluded_bands=(3, 200, 201))),
    '365 steps, mask': (365, 2, 2, dict(nfunc=4, npoint=23, mask=1)),
    '572 steps, 250 excluded bands': (572, 2, 2, dict(nfunc=3, excluded_bands=tuple(range(201, 451)))),
    '1000 steps, peaks clipped': (1000, 1, 3, dict(nfunc=2, fitmd=1, fitsw=0)),
}


def literal_record(d, nb, nl, ns, members):
    """The cube (and mask) that the build's test program literal_products
    writes in d, beside the literal algorithm's products for it; and the settings."""
    args = [f'{k}={v}' for k, v in members.items() if k != 'excluded_bands']
    if members.get('excluded_bands'):
        args.append('excluded=' + ','.join(map(str, members['excluded_bands'])))
    subprocess.run([program('literal_products'), str(d), str(nb), str(nl), str(ns), '7', *args], check=True)
    settings = tsrecon.Settings(**members)
    for name, value in zip(('nb', 'nl', 'ns'), (nb, nl, ns)):
        object.__setattr__(settings, name, value)
    cube = np.fromfile(d / 'data.bsq', np.int16).reshape(nb, nl, ns)
    mask = np.fromfile(d / 'mask.bsq', np.uint8).reshape(nb, nl, ns) if settings.mask == 1 else None
    return cube, mask, settings


@pytest.mark.parametrize('case', LONG_RECORDS)
def test_long_records_equal_the_literal_algorithm(tmp_path, case):
    cube, mask, settings = literal_record(tmp_path, *LONG_RECORDS[case])
    r = tsrecon.reconstruct(cube, settings, mask=mask, threads=2)
    assert_products(r, tmp_path, settings)
    assert (r.order > 1).any()  # the comparison saw fits


def test_xarray_takes_a_long_record(tmp_path):
    xr = pytest.importorskip('xarray')
    import tsrecon.xarray
    cube, _, settings = literal_record(tmp_path, 365, 2, 3, dict(nfunc=4, npoint=23))
    ndvi = xr.DataArray(np.where(cube == 32767, np.nan, cube / 1600.0), dims=('time', 'y', 'x'))
    ds = tsrecon.xarray.reconstruct(ndvi, settings, factor=1600, mask_missing=False)
    order = np.fromfile(tmp_path / 'order.dat', np.int8).reshape(2, 3)
    params = np.fromfile(tmp_path / 'p.bsq', np.float32).reshape(-1, 2, 3)
    fitted = np.fromfile(tmp_path / 'f.bsq', np.int16).reshape(cube.shape)
    model = tsrecon._tsrecon.has_model(order, params)
    assert model.any() and ds.fitted.shape == (365, 2, 3)
    np.testing.assert_array_equal(ds.fitted.values, np.where(model, fitted / 1600.0, np.nan).astype(np.float32))
    np.testing.assert_array_equal(ds.order.values, order)
    # Its seasons, from the Dataset and from the planes of p.bsq with the record's length.
    maps = tsrecon.xarray.seasons(ds)
    s = tsrecon.seasons(params, settings, nb=365, order=order, factor=1600)
    assert s.bands.tobytes() == np.stack([maps[n].values for n in tsrecon.SEASON_BAND_NAMES]).tobytes()
    assert not np.isnan(s['nseasons'][model]).any()


@pytest.mark.parametrize('case,files', {
    'cntl.dat ends without a line feed': {'cntl.dat': '46\n2 3\n&DATA /\n&CONTRL /\n&NPT /'},
    'bad group': {'cntl.dat': '46\n2 3\n&DATA /\n&NPT /\n&CONTRL /\n'},
    'bad number': {'cntl.dat': '46\n2 x\n&DATA /\n&CONTRL /\n&NPT /\n'},
    'refused value': {'cntl.dat': '46\n2 3\n&DATA NFUNC=7 /\n&CONTRL /\n&NPT /\n'},
    'no cntl.dat': {},
    'short cube': {'cntl.dat': '46\n2 3\n&DATA /\n&CONTRL /\n&NPT /\n', 'data.bsq': b'\0' * 100},
}.items())
def test_errors_are_the_executables(tmp_path, case, files):
    """The control-file reader and run_job raise what the executable reports."""
    for name, content in files.items():
        (tmp_path / name).write_bytes(content.encode() if isinstance(content, str) else content)
    exe = execute(tmp_path)
    assert exe.returncode not in (0, 2)
    for name in os.listdir(tmp_path):
        if name not in files:
            os.remove(tmp_path / name)
    if 'data.bsq' not in files:
        # The control file alone: read as the executable reads it, except that a
        # missing one is not created (error 29; the executable reads it empty).
        with pytest.raises(tsrecon.ControlFileError) as read:
            tsrecon.Settings.from_file(tmp_path / 'cntl.dat')
        if files:
            assert (read.value.exit_status, read.value.line) == (exe.returncode, exe.stderr.strip())
        else:
            assert read.value.number == 29 and read.value.line.startswith('forrtl: severe (29)')
    with pytest.raises(tsrecon.RunError) as job:
        tsrecon.run_job(tmp_path, console=lambda text: None)
    assert (job.value.exit_status, job.value.line) == (exe.returncode, exe.stderr.strip())


def test_run_job_is_the_executable(tmp_path):
    a, b = tmp_path / 'a', tmp_path / 'b'
    generate(a, seed=3, mask=1, cntl=cntl(contrl='MASK=1, INTP=1'))
    generate(b, seed=3, mask=1, cntl=cntl(contrl='MASK=1, INTP=1'))
    exe = execute(a)
    console = []
    tsrecon.run_job(b, console=console.append)
    assert ''.join(console) == exe.stdout
    for name in os.listdir(a):
        assert (a / name).read_bytes() == (b / name).read_bytes(), name
    with pytest.raises(ZeroDivisionError):  # a failing console ends the run with its exception
        tsrecon.run_job(b, console=lambda text: 1 / 0)


@pytest.mark.parametrize('call', ['reconstruct', 'run_job'])
def test_interrupt_stops_between_pixels(tmp_path, monkeypatch, call):
    """SIGINT from another Python thread (which runs only because the call
    released the GIL) ends a call of several seconds within a fraction of one."""
    cube, _ = generate(tmp_path, nl=40, ns=100, seed=2)
    monkeypatch.setenv('TSRECON_ENGINE', 'literal')  # about 3 ms a pixel: 12 s for the cube
    monkeypatch.setenv('TSRECON_THREADS', '1')
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    start = time.monotonic()
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        if call == 'reconstruct':
            tsrecon.reconstruct(cube, tsrecon.Settings())
        else:
            tsrecon.run_job(tmp_path, console=lambda text: None)
    timer.join()
    assert time.monotonic() - start < 4.0  # a third of the whole call: room for a busy machine


def test_threads_as_the_environment_says(tmp_path, monkeypatch):
    cube, _ = generate(tmp_path, nl=1, ns=3, seed=1)
    monkeypatch.setenv('TSRECON_THREADS', 'many')
    with pytest.raises(ValueError, match="TSRECON_THREADS must be a positive number of threads, not 'many'"):
        tsrecon.reconstruct(cube, tsrecon.Settings())


@pytest.mark.parametrize('packed', [False, True])
def test_xarray_keeps_coordinates_and_units(tmp_path, packed):
    """Floats with NaN, or CF-packed integers with a fill value run with a
    mask of the missing samples: the program's products in the data's units."""
    xr = pytest.importorskip('xarray')
    import tsrecon.xarray
    raw, _ = generate(tmp_path, nl=3, ns=4, seed=9, nodata=0.5)
    missing = raw == 32767
    if packed:  # NDVI x 10 as stored int16 with its CF scaling: raw = NDVI x 1000
        stored = np.where(missing, -3000, raw.astype(np.int32) * 10).astype(np.int16)
        attrs, factor = dict(scale_factor=0.0001, _FillValue=-3000), 1000.0
    else:  # NDVI as floats, NaN where missing: raw = NDVI x 1600
        stored, attrs, factor = np.where(missing, np.nan, raw / 1600.0), {}, None
    attrs.update(units='NDVI', long_name='vegetation index')
    crs = xr.DataArray(0, attrs={'crs_wkt': 'PROJCS["UTM 21S"]'})
    da = xr.DataArray(stored.transpose(1, 2, 0), dims=('y', 'x', 'time'), attrs=attrs, coords={
        'time': np.datetime64('2014-01-01') + np.arange(46) * np.timedelta64(8, 'D'),
        'y': [30.0, 20.0, 10.0], 'x': [1.0, 2.0, 3.0, 4.0], 'spatial_ref': crs})
    settings = tsrecon.Settings(nfunc=4)
    ds = tsrecon.xarray.reconstruct(da, settings, factor=factor, mask_missing=packed)
    per_unit = factor or 1600.0
    if packed:
        expected = tsrecon.reconstruct(raw, tsrecon.Settings(nfunc=4, mask=1), mask=~missing)
    else:
        expected = tsrecon.reconstruct(raw, settings)
    model = expected.has_model
    assert ds.fitted.dims == da.dims
    for name in ('time', 'y', 'x', 'spatial_ref'):
        assert ds[name].equals(da[name]) and ds[name].attrs == da[name].attrs
    assert ds.fitted.attrs['units'] == 'NDVI' and 'scale_factor' not in ds.fitted.attrs
    assert ds.attrs['long_name'] == 'vegetation index'
    fitted = np.where(model, expected.fitted / per_unit, np.nan).astype(np.float32)
    np.testing.assert_array_equal(ds.fitted.transpose('time', 'y', 'x').values, fitted)
    np.testing.assert_array_equal(ds.amplitude.values, np.where(model, expected.params[2::2].astype(float) * 4096 / per_unit,
                                                                np.nan).astype(np.float32))
    np.testing.assert_array_equal(ds.phase.values, np.where(model, expected.params[3::2], np.nan))
    np.testing.assert_array_equal(ds.order.values, expected.order)
    np.testing.assert_array_equal(ds.criterion.values, expected.criterion)
    assert list(ds.cycles.values) == [1, 2, 3, 4] and ds.amplitude.dims == ('harmonic', 'y', 'x')


def test_the_domains_words_on_arrays():
    """The extension's no-model rule, raw conversion and header reader on
    NumPy arrays and bytes, against the rules written out here."""
    from tsrecon import _tsrecon
    rng = np.random.default_rng(4)
    for shape in [(0,), (7,), (3, 5)]:
        order = rng.integers(-1, 7, size=shape).astype(np.int8)
        params = np.where(rng.random((6,) + shape) < 0.7, 0, rng.normal(size=(6,) + shape)).astype(np.float32)
        params[:, ::2] = 0
        want = (order > 1) & np.any(params != 0, axis=0)
        assert (_tsrecon.has_model(order, params) == want).all() and _tsrecon.has_model(order, params).shape == shape
        # Not C order: the same answer.
        assert (_tsrecon.has_model(order[::-1], params[:, ::-1]) == want[::-1]).all()
    values = np.concatenate([rng.uniform(-3, 25, 500), [12.5 / 1600, -12.5 / 1600, np.inf, -np.inf, np.nan]])
    missing = np.concatenate([values[:500] > 20, [False] * 5])  # a NaN that is not missing is stored as missing
    raw, (low, high, above) = _tsrecon.raw_values(values, 1600.0, missing)
    exact = [32767 if m else min(max(int(np.sign(v) * np.floor(abs(v * 1600) + 0.5)), 0), 32766)
             for v, m in zip(values[:-3], missing[:-3])] + [32766, 0, 32767]
    assert raw.dtype == np.int16 and raw.tolist() == exact
    good = np.array(exact)[~missing][:-1]  # the NaN is no measured sample
    assert (low, high) == (int(np.sum(values[~missing] * 1600 <= -0.5)), 1) and above == int(np.sum(good > 1536))
    refusals = [(lambda: _tsrecon.has_model(order.astype(np.int16), params), TypeError),
                (lambda: _tsrecon.has_model(order, params[:, :-1]), ValueError),
                (lambda: _tsrecon.raw_values(values.astype(np.float32), 1600.0, None), TypeError),
                (lambda: _tsrecon.raw_values(values, 1600.0, missing[:-1]), ValueError)]
    for call, error in refusals:
        with pytest.raises(error):
            call()
    entries = _tsrecon.parse_envi_header(b'ENVI\nTsrecon   Factor = 1600\nband names = {a,\n b}\n')
    assert entries == {'tsrecon factor': '1600', 'band names': '{a,\nb}'}
    assert _tsrecon.envi_list(entries['band names']) == ['a', 'b'] and _tsrecon.parse_envi_header(b'x = 1') is None
    assert tsrecon.Settings().parameter_count == 14 and tsrecon.parameter_names(1)[2:] == ['amplitude_1', 'phase_1']


SPOILING = [
    # name, bands, (band, line, sample) set to 32767, settings, a mask of them, warned
    ('one missing of 23, unmasked', 23, [(4, 0, 1)], dict(npoint=23, nfunc=5), False, True),
    ('the same through a mask', 23, [(4, 0, 1)], dict(npoint=23, nfunc=5, mask=1), True, False),
    ('the same with a band excluded', 23, [(4, 0, 1)], dict(npoint=23, nfunc=5, excluded_bands=(9,)), False, False),
    ('a pixel without data', 23, [(b, 1, 2) for b in range(23)], dict(npoint=23, nfunc=5), False, False),
    ('one missing of 200', 200, [(50, 0, 0)], dict(npoint=23), False, False),
    ('four missing of 200', 200, [(b, 0, 0) for b in (5, 50, 90, 150)], dict(npoint=23), False, True),
]


@pytest.mark.parametrize('nb,where,settings,masked,warned', [s[1:] for s in SPOILING], ids=[s[0] for s in SPOILING])
def test_reconstruct_warns_of_spoiling_missing_samples(tmp_path, nb, where, settings, masked, warned):
    """Missing samples at 2 % or more of a pixel's bands in a run without a
    mask or excluded bands: a warning at the caller's line naming mask=."""
    cube, _ = generate(tmp_path, nb=nb, nl=2, ns=3, seed=2, nodata=0, npoint=settings['npoint'])
    cube[cube == 32767] = 800  # generated water pixels: complete ones here
    for b, l, s in where:
        cube[b, l, s] = 32767
    mask = (cube != 32767).astype(np.uint8) if masked else None
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter('always')
        tsrecon.reconstruct(cube, tsrecon.Settings(**settings), mask=mask)
    spoiled = [w for w in caught if 'missing samples (32767) spoil' in str(w.message)]
    assert len(spoiled) == warned
    if warned:
        assert 'spoil 1 of 6 pixels' in str(spoiled[0].message) and 'give mask= (1 valid, 0 missing)' in \
            str(spoiled[0].message)
        assert spoiled[0].filename == __file__


def test_seasons_are_the_tools_bytes(tmp_path):
    """tsrecon.seasons on a Result and tsrecon.xarray.seasons on the Dataset
    of the same cube give the bands tsrecon-seasons writes, bit for bit; the
    date bands of xarray are the days of the year of the calendar dates."""
    nb, nl, ns = 46, 4, 6
    raw, _ = generate(tmp_path, nb=nb, nl=nl, ns=ns, seed=13, npoint=23, nfunc=4,
                      cntl=cntl(nb=nb, nl=nl, ns=ns, nfunc=4, npoint=23))
    days = np.datetime64('2013-01-01') + np.concatenate([np.arange(23) * 16, 365 + np.arange(23) * 16])
    (tmp_path / 'data.hdr').write_text(
        f'ENVI\nsamples = {ns}\nlines = {nl}\nbands = {nb}\ndata type = 2\ninterleave = bsq\nbyte order = 0\n'
        'band names = {' + ', '.join(str(d) for d in days) + '}\ntsrecon factor = 1600\n')
    assert execute(tmp_path).returncode == 0
    made = subprocess.run([program('tsrecon-seasons')], cwd=tmp_path, capture_output=True, text=True)
    assert made.returncode == 0, made.stderr
    stored = (tmp_path / tsrecon._tsrecon.SEASONS_FILE).read_bytes()
    settings = tsrecon.Settings.from_file(tmp_path / 'cntl.dat')
    r = tsrecon.reconstruct(raw, settings)
    for threads in (1, 3):
        s = tsrecon.seasons(r, settings, dates=days, factor=1600, threads=threads)
        assert s.bands.shape == (32, nl, ns) and s.bands.astype('<f4').tobytes() == stored
    assert np.isnan(s.bands[:, ~r.has_model]).all() and not np.isnan(s['nseasons'][r.has_model]).any()
    # The planes alone, without dates: what the tool makes without them.
    (tmp_path / 'data.hdr').unlink()
    assert subprocess.run([program('tsrecon-seasons')], cwd=tmp_path, capture_output=True).returncode == 0
    steps = tsrecon.seasons(r.params, settings, nb=nb, order=r.order)
    assert steps.days is None and steps.bands.tobytes() == (tmp_path / 'seasons.bsq').read_bytes()
    # The edges of the arguments: a record of one band, a share of 0.
    assert tsrecon.seasons(r.params, settings, nb=1, order=r.order, min_share=0).bands.shape == (32, nl, ns)

    xr = pytest.importorskip('xarray')
    tsx = pytest.importorskip('tsrecon.xarray')
    da = xr.DataArray(np.where(raw == 32767, np.nan, raw / 1600.0), dims=('time', 'y', 'x'),
                      coords={'time': days.astype('datetime64[ns]')})
    ds = tsx.seasons(tsx.reconstruct(da, settings, mask_missing=False))  # as the executable ran it
    with pytest.raises(ValueError, match='factor must be a positive number'):
        tsx.reconstruct(da, settings, factor=0)
    assert np.stack([ds[n].values for n in tsrecon.SEASON_BAND_NAMES]).astype('<f4').tobytes() == stored
    peak = ds['s1_peak_date'].values
    jan1 = peak.astype('datetime64[Y]').astype('datetime64[ns]')
    doy = 1 + (peak - jan1) / np.timedelta64(1, 'D')
    have = ~np.isnat(peak)
    assert have.any() and (np.isnan(ds['s1_peak'].values) == ~have).all()
    np.testing.assert_allclose(doy[have], ds['s1_peak'].values[have], atol=1e-4)
    with pytest.raises(ValueError, match='dates must hold one date per band'):
        tsrecon.seasons(r, settings, dates=days[:-1])


def test_the_stacks_rules_on_arrays():
    """The bindings of the stack's rules: NumPy layouts, refusals as
    ValueError, and the answers of the C++ rules on cases worked out here."""
    from tsrecon import _tsrecon as t
    day = t.parse_date
    # Validity planes (bands,) + S counted per pixel, added to what is there.
    missing = np.ones((2, 3), np.int32)
    t.count_invalid(np.array([[[1, 0, 1], [0, 0, 1]], [[0, 0, 1], [1, 1, 1]]], bool), missing)
    assert missing.tolist() == [[2, 3, 1], [2, 2, 1]]
    tally = t.MissingSampleTally(3)
    tally.add(missing)
    verdict = t.judge_missing_samples(tally, mask=1)
    assert tally.pixels_by_missing() == [0, 2, 3, 1] and verdict.pixels_ruined == 0 and verdict.masked
    assert t.judge_missing_samples(tally).pixels_ruined == 5 and t.ruinous_missing_share(1, 50)
    # Without counts to add to: new ones shaped as a plane, the bands first.
    counts = t.count_missing(np.array([[[7, 1], [7, 7]], [[7, 7], [2, 7]], [[3, 7], [7, 7]]], np.int16), 7)
    assert counts.dtype == np.int32 and counts.tolist() == [[2, 2], [2, 3]]
    assert t.count_invalid(np.array([1, 0, 0], np.uint8)).tolist() == 2
    assert [t.days_from_civil(1970, 1, 1), t.days_from_civil(2016, 2, 29)] == [0, day('2016-02-29')]
    assert t.civil_from_days(day('2016-02-29')) == (2016, 2, 29)
    assert t.decode_cf_time(np.array([0, 45.5]), 'days since 2014-01-01') == [day('2014-01-01'), day('2014-02-15')]
    days = [day('2014-01-01'), day('2014-01-10'), day('2014-01-30')]
    choice = t.choose_grid(days)
    assert choice.fit is None and t.no_grid_message(choice, days).endswith('--composite max)')
    assert t.no_grid_message(choice, days, 'remedy').endswith('): remedy')
    fit = t.fit_grid(t.TimeGrid(t.GridKind.MONTH), [day('2014-01-15'), day('2014-04-02')])
    assert fit.holds and [t.format_date(d) for d in fit.inserted] == ['2014-02-01', '2014-03-01']
    check = t.check_npoint(t.parse_step('10d', day('2014-01-01')), 37, 40)
    assert (check.suggested, check.verdict) == (37, t.NpointVerdict.MATCHES)
    assert t.check_npoint(t.TimeGrid(t.GridKind.MODIS_16_DAY), 46, 40).verdict == t.NpointVerdict.WHOLE_YEARS
    rule = t.QualityRule.keep_values([3, 1])
    valid = np.ones(4, np.uint8)
    qt = t.QualityTally()
    rule.apply(np.array([1, 2, 3, 4], np.int64), valid, qt)
    assert valid.tolist() == [1, 0, 1, 0] and qt.rejected == 2 and rule.reasons_of(2) == 1 and rule.name() == '--keep 1,3'
    values, ok, count = t.composite_step(np.zeros((0, 2)), np.zeros((0, 2), np.uint8), t.CompositeRule.MAX)
    assert np.isnan(values).all() and ok.tolist() == [0, 0] and count.tolist() == [0, 0]
    for call in (lambda: tally.merge(t.MissingSampleTally(4)), lambda: t.parse_step('7x', 0),
                 lambda: tally.add(np.array([4], np.int32)), lambda: t.decode_cf_time([1.0], 'years since 2000-01-01'),
                 lambda: t.days_from_civil(2015, 2, 29), lambda: t.civil_from_days(t.LAST_DAY_NUMBER + 1),
                 lambda: t.count_missing(np.array(7, np.int16), 7)):
        with pytest.raises(ValueError):
            call()
    with pytest.raises(TypeError):
        t.count_missing(np.zeros(3, np.int32), 32767, np.zeros(3, np.int32))
