#!/usr/bin/env bash
# Runs one fuzz target for a while over its saved corpus.
#   run-fuzzer.sh BINARY SECONDS [WORKDIR]
# With WORKDIR, new inputs and crash files go there and the saved corpus is only read;
# without it, new inputs are added to the saved corpus (fuzz/corpus/NAME).
set -euo pipefail
bin=$1; seconds=$2; work=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
name=$(basename "$bin")
corpus="$here/corpus/$name"
mkdir -p "$corpus"
args=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1)
# A fixed seed (the test run gives one) makes a short run try the same inputs every time.
[ -z "${QUIRELLE_FUZZ_SEED:-}" ] || args+=(-seed="$QUIRELLE_FUZZ_SEED")
if [ -n "$work" ]; then
  rm -rf "$work"; mkdir -p "$work/new" "$work/artifacts"
  exec "$bin" "${args[@]}" -artifact_prefix="$work/artifacts/" "$work/new" "$corpus"
else
  mkdir -p "$here/artifacts"
  exec "$bin" "${args[@]}" -artifact_prefix="$here/artifacts/" "$corpus"
fi
