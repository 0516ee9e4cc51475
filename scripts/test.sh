#!/usr/bin/env bash
# Builds everything with clang under AddressSanitizer and UBSan (warnings are errors) and runs
# every test: the unit tests and a short run of each fuzz target over its saved corpus.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh"
build="$root/build/test"
if [ ! -f "$build/build.ninja" ]; then
  CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DQUIRELLE_SANITIZE=ON -DQUIRELLE_FUZZ=ON -DQUIRELLE_WERROR=ON >/dev/null
fi
cmake --build "$build"
cd "$build"
ctest --output-on-failure -j2 "$@"
