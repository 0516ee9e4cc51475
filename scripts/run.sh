#!/usr/bin/env bash
# Builds Quirelle (release) and runs the main job: packs the bundled sample book's pages into
# an MFS image and lists it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh"
build="$root/build/release"
[ -f "$build/build.ninja" ] || cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUIRELLE_TESTS=OFF >/dev/null
cmake --build "$build" --target quirelle-mfs
image="$build/sample-content.mfs"
"$build/tools/quirelle-mfs" build "$root/examples/sample-book/content" "$image"
"$build/tools/quirelle-mfs" list "$image"
