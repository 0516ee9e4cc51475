#!/usr/bin/env bash
# Builds Quirelle (release) and runs the main job: packs the bundled sample book into a program
# of ours and lists the two images it then carries.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh"
build="$root/build/release"
[ -f "$build/build.ninja" ] || cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUIRELLE_TESTS=OFF >/dev/null
cmake --build "$build" --target quirelle-mfs quirelle-pack
book="$build/sample-book"
"$build/tools/quirelle-pack" --viewer "$build/tools/quirelle-mfs" \
  --system "$root/examples/sample-book/system" --content "$root/examples/sample-book/content" -o "$book"
"$build/tools/quirelle-pack" --list "$book"
