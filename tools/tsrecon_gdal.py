"""What tsrecon-import and tsrecon-export share: loading GDAL, the raw-value
conventions of tsrecon's cubes, the keys they leave in data.hdr, and reading
large rasters in slices of whole lines."""

import sys

RAW_MISSING = 32767  # data.bsq value of a missing sample (above the ceiling, so screened)
RAW_TOP = 32766      # largest raw value a sample is clipped to
RAW_CEILING = 1536   # tsrecon screens raw values above this
SCALED_UNIT = 4096   # raw per unit of the program's scaled values (p.bsq, TCLD)

# Keys of data.hdr (ENVI header entries) that carry the scaling of the cube.
FACTOR_KEY = 'tsrecon factor'  # raw per user unit: raw = value x factor
UNITS_KEY = 'tsrecon units'    # what the user's values are: NDVI, reflectance, input value


class Refusal(Exception):
    """A reason to stop before writing anything; the message names the fix."""


def need_gdal(prog):
    """GDAL's Python bindings and NumPy, or one line naming the package and exit 1."""
    try:
        import numpy
    except ImportError:
        sys.exit(f'{prog}: NumPy is missing (apt-get install python3-numpy)')
    try:
        from osgeo import gdal
    except ImportError:
        sys.exit(f"{prog}: GDAL's Python bindings are missing (apt-get install python3-gdal)")
    gdal.UseExceptions()
    return gdal, numpy


def no_side_files(gdal):
    """Datasets opened or created from now on write no .aux.xml files. (Inputs
    are opened before: some formats, JPEG2000 among them, keep their no-data
    value and scaling only in such a file.)"""
    gdal.SetConfigOption('GDAL_PAM_ENABLED', 'NO')


def line_slices(lines, samples, pixels=1 << 22):
    """(first line, line count) slices of about `pixels` pixels each."""
    step = max(1, pixels // max(1, samples))
    for y in range(0, lines, step):
        yield y, min(step, lines - y)


def parameter_names(nfunc):
    """Planes of p.bsq: constant, trend, then amplitude_k, phase_k."""
    names = ['constant', 'trend']
    for k in range(1, nfunc + 1):
        names += [f'amplitude_{k}', f'phase_{k}']
    return names


def percent(part, whole):
    return f'{100.0 * part / whole:.2f} %' if whole else '0 %'


def number(x):
    """A number as short as it reads back exactly: 1600, 0.16, 4.096."""
    return f'{x:.15g}' if float(f'{x:.15g}') == x else repr(float(x))


def run_tool(prog, run, args):
    """Runs a tool's work; a refusal or a GDAL failure is one line on standard error and status 1."""
    try:
        run(args)
    except Refusal as e:
        print(f'{prog}: {e}', file=sys.stderr)
        return 1
    except RuntimeError as e:  # GDAL could not read or write
        print(f'{prog}: GDAL: {e}', file=sys.stderr)
        return 1
    return 0
