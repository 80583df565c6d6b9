"""What tsrecon-import and tsrecon-export share: loading GDAL, the domain's
words they write and read (from the extension), and reading large rasters in
slices of whole lines."""

import sys

from . import _tsrecon

RAW_NO_DATA = _tsrecon.RAW_NO_DATA  # data.bsq value of a missing sample (above the ceiling, so screened)
RAW_LARGEST = _tsrecon.RAW_LARGEST  # largest raw value a sample is clipped to
RAW_CEILING = _tsrecon.RAW_CEILING  # tsrecon screens raw values above this
RAW_SCALE = _tsrecon.RAW_SCALE      # raw per unit of the program's scaled values (p.bsq, TCLD)

# Keys of data.hdr (ENVI header entries) that carry the scaling of the cube.
FACTOR_KEY = _tsrecon.HEADER_KEYS['factor']  # raw per user unit: raw = value x factor
UNITS_KEY = _tsrecon.HEADER_KEYS['units']    # what the user's values are: NDVI, reflectance, input value


class Refusal(Exception):
    """A reason to stop before writing anything; the message names the fix."""


def load_gdal(prog):
    """GDAL's Python bindings, raising exceptions; None, said in one line on
    standard error, when they are missing."""
    try:
        from osgeo import gdal
    except ImportError:
        print(f"{prog}: GDAL's Python bindings are missing (apt-get install python3-gdal)", file=sys.stderr)
        return None
    gdal.UseExceptions()
    return gdal


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


def read_header(path):
    """The entries of the ENVI header at `path` through the program's one
    header reader (keys in lower case, blanks folded), or None when it is
    missing or no ENVI header."""
    try:
        with open(path, 'rb') as f:
            return _tsrecon.parse_envi_header(f.read())
    except OSError:
        return None
