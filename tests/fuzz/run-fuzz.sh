#!/usr/bin/env bash
# Runs the fuzz target FUZZER over a scratch copy of CORPUS (the findings of
# one run are not written into the sources) for QUILLMARK_FUZZ_SECONDS
# (60 by default). A crash, a sanitizer report or a failed check ends it
# with the input that caused it saved beside the scratch corpus and named.
set -euo pipefail
fuzzer=$1
corpus=$2
seconds=${QUILLMARK_FUZZ_SECONDS:-60}
work=$(mktemp -d "${TMPDIR:-/tmp}/fuzz-pe.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus" "$work/artifacts"
cp "$corpus"/* "$work/corpus/"
# First every seed once, then new inputs until the time is up.
"$fuzzer" -runs=0 "$work/corpus"
if ! "$fuzzer" -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=1024 \
     -print_final_stats=1 -artifact_prefix="$work/artifacts/" "$work/corpus" 2>"$work/log"; then
  tail -n 60 "$work/log"
  for artifact in "$work"/artifacts/*; do
    [[ -e $artifact ]] || continue
    kept="${TMPDIR:-/tmp}/fuzz-pe-$(basename "$artifact")"
    cp "$artifact" "$kept"
    echo "The input that failed is kept as $kept" >&2
  done
  exit 1
fi
grep -E '^stat::number_of_executed_units|^#[0-9]+.*DONE' "$work/log" || true
