#!/usr/bin/env bash
# Installs the build into a scratch prefix, builds examples/library against
# it and runs it on a generated job.
#   run_library_example.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/tsrecon-library.XXXXXX")
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
test -f "$work/prefix/include/tsrecon/tsrecon.h"
test -x "$work/prefix/bin/tsrecon"
cmake -S "$src/examples/library" -B "$work/example" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/example" >/dev/null
mkdir -p "$work/job"
"$build/tsrecon-gen" --dir "$work/job" --nb 23 --nl 3 --ns 5 --npoint 23 --seed 2 >/dev/null
out=$("$work/example/reconstruct_cube" "$work/job")
echo "$out"
grep -q "of 15 pixels have a model" <<<"$out"
