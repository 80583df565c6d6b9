#!/usr/bin/env bash
# The installed copy on its own, run from a scratch folder with nothing of
# the source tree or the build on PATH or PYTHONPATH:
#
#   run_install_test.sh BUILD_DIR prefix           cmake --install into a scratch prefix
#   run_install_test.sh BUILD_DIR deb VERSION      cpack -G DEB, the package unpacked
#                                                  with dpkg-deb -x into a scratch root
#
# It runs the README's job (tsrecon-gen, tsrecon-check, tsrecon, tsrecon-hdr,
# tsrecon-plot; the products equal those of the build's tsrecon), the job
# again in process through the installed package, tsrecon-import of a
# GeoTIFF stack, tsrecon-check, tsrecon, tsrecon-seasons and tsrecon-export
# on it, and block runs with GNU parallel and as Slurm array tasks (the
# launchers finding the programs beside themselves) whose merged products
# equal the whole run's. Exit 0 passed, 1 failed, 77 skipped.
set -euo pipefail
build=$(cd "$1" && pwd)
kind=$2
fail() { echo "FAIL (install_$kind): $*" >&2; exit 1; }
skip() { echo "install_$kind skipped: $*"; exit 77; }

/usr/bin/python3 -c 'import osgeo.gdal, numpy' 2>/dev/null || skip "python3-gdal or python3-numpy is missing"
command -v parallel >/dev/null || skip "GNU parallel is missing (scripts/install-deps installs it)"
work=$(mktemp -d "${TMPDIR:-/tmp}/tsrecon-install-$kind.XXXXXX")
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT

case "$kind" in
  prefix)
    root=$work/prefix
    cmake --install "$build" --prefix "$root" >"$work/install.log" || fail "cmake --install failed"
    ;;
  deb)
    version=$3
    for c in cpack dpkg-deb dpkg-shlibdeps; do
      command -v "$c" >/dev/null || skip "$c is missing (scripts/install-deps installs it)"
    done
    (cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/pkg") >"$work/cpack.log" 2>&1 \
      || { cat "$work/cpack.log" >&2; fail "cpack -G DEB failed"; }
    deb=$work/pkg/tsrecon_${version}_$(dpkg --print-architecture).deb
    [ -f "$deb" ] || fail "no $deb: $(ls "$work/pkg")"
    depends=$(dpkg-deb -f "$deb" Depends)
    for p in libc6 libstdc++6 python3 python3-numpy python3-gdal; do
      case ", $depends," in *", $p "* | *", $p,"*) ;; *) fail "Depends lacks $p: $depends" ;; esac
    done
    dpkg-deb -x "$deb" "$work/unpacked"
    root=$work/unpacked/usr
    [ -f "$root/lib/python3/dist-packages/tsrecon/__init__.py" ] || fail "the package is not in /usr/lib/python3/dist-packages"
    ;;
  *) fail "unknown kind" ;;
esac
site=$(echo "$root"/lib/python3*/dist-packages)
[ -f "$site/tsrecon/__init__.py" ] && ls "$site"/tsrecon/_tsrecon*.so >/dev/null || fail "no package tsrecon in $site"

# Every command from here on: in $work/run, a clean environment, the
# installation's bin/ and the system's on PATH.
mkdir "$work/run"
cd "$work/run"
clean() { env -i HOME="$work" TMPDIR="$work" LANG=C.UTF-8 PATH="${bin_path:-$root/bin}:/usr/bin:/bin" "$@"; }
run() {
  local status=0
  clean "$@" >"$work/out" 2>&1 || status=$?
  [ "$status" = 0 ] || { cat "$work/out" >&2; fail "$* exited $status"; }
}
same_products() {  # same_products DIR_A DIR_B: every product of a run in A is byte-identical in B
  local f
  for f in p.bsq f.bsq order.dat aic.dat min.dat max.dat; do
    cmp "$1/$f" "$2/$f" || fail "$f of $2 differs from $1"
  done
}

# The README's job, and the same job run by the build's tsrecon.
run tsrecon-gen --dir job --nb 46 --nl 40 --ns 60 --seed 7 --mask 1 --intp 0
run tsrecon-check job
grep -q '^ready' "$work/out" || fail "tsrecon-check: $(cat "$work/out")"
cp -r job built
(cd job && clean tsrecon >console.txt 2>&1) || fail "the installed tsrecon failed: $(tail -3 job/console.txt)"
(cd built && "$build/tsrecon" >console.txt 2>&1) || fail "the build's tsrecon failed"
same_products built job
cmp built/console.txt job/console.txt || fail "the installed tsrecon's console differs from the build's"
(cd job && run tsrecon-hdr && run tsrecon-plot -o pixel_1_16.svg 1 16 && run tsrecon-seasons)
grep -q '<svg' job/pixel_1_16.svg && [ -s job/seasons.bsq ] || fail "no plot or no seasons.bsq"

# In process: the installed package (and nothing else) on PYTHONPATH.
mkdir inproc && cp job/cntl.dat job/data.bsq job/mask.bsq inproc/
run env PYTHONPATH="$site" /usr/bin/python3 -P -c '
import sys, tsrecon
assert tsrecon.__file__.startswith(sys.argv[1]) and tsrecon._tsrecon.__file__.startswith(sys.argv[1]), tsrecon.__path__
tsrecon.run_job("inproc", console=lambda text: None)' "$site/"
same_products job inproc

# A GeoTIFF stack of a year of monthly NDVI (x 10000, -3000 no data) made
# with GDAL, through the import, the run, the seasons and the export.
mkdir tifs
run /usr/bin/python3 -c '
import datetime
import numpy as np
from osgeo import gdal, osr
srs = osr.SpatialReference()
srs.ImportFromEPSG(32721)
rows, cols = np.mgrid[0:6, 0:7]
for m in range(12):
    day = datetime.date(2014, m + 1, 1).timetuple().tm_yday
    ndvi = 3000 + 2500 * np.sin(2 * np.pi * (m + rows / 6) / 12) + 40 * cols
    ndvi[0, :2] = -3000
    t = gdal.GetDriverByName("GTiff").Create(f"tifs/MOD13A3.A2014{day:03d}.ndvi.tif", 7, 6, 1, gdal.GDT_Int16)
    t.SetGeoTransform((600000, 1000, 0, 8700000, 0, -1000))
    t.SetProjection(srs.ExportToWkt())
    t.GetRasterBand(1).SetNoDataValue(-3000)
    t.GetRasterBand(1).WriteArray(ndvi.astype(np.int16))'
run tsrecon-import -o stack tifs/MOD13A3.A2014*.ndvi.tif
grep -q '12 files, 12 dates 2014-01-01 .. 2014-12-01' "$work/out" || fail "tsrecon-import: $(cat "$work/out")"
run tsrecon-check stack
(cd stack && run tsrecon && run tsrecon-hdr && run tsrecon-seasons)
run tsrecon-export -o stack/tif stack
run /usr/bin/python3 -c '
from osgeo import gdal
f = gdal.Open("stack/tif/f.tif")
assert (f.RasterCount, f.RasterYSize, f.RasterXSize) == (12, 6, 7) and f.GetRasterBand(1).GetDescription() == "2014-01-01"
assert gdal.Open("stack/tif/seasons.tif") is not None'

# Blocks of the README's job: GNU parallel on this machine, then Slurm
# array tasks (the script from share/tsrecon, PATH without the installation).
mkdir split && cp job/cntl.dat job/data.bsq job/mask.bsq split/
(cd split && run tsrecon-tile split 4 && run tsrecon-blocks-parallel -j 2 blocks && run tsrecon-tile merge)
same_products job split
(cd split && rm -f p.bsq f.bsq order.dat aic.dat min.dat max.dat && run tsrecon-tile split 3 --force)
for task in 1 2 3; do
  bin_path=/nonexistent run env SLURM_ARRAY_TASK_ID=$task bash "$root/share/tsrecon/tsrecon-blocks.slurm" "$work/run/split/blocks"
done
(cd split && run tsrecon-tile merge)
same_products job split
echo "install_$kind: the README's job, the package, the import, the export and the block runs from $root"
