#!/usr/bin/env bash
# Runs every fuzz target of build/fuzz for SECONDS each (default 60), starting from its seed
# corpus in fuzz/corpus/<name>. New inputs go to a scratch directory, so the checked-in seeds
# stay small; a crash or a broken invariant stops with its input saved under ARTIFACTS (kept).
#   cmake --preset fuzz && cmake --build --preset fuzz && fuzz/run.sh 600
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=${FUZZ_BUILD:-build/fuzz}
artifacts=${ARTIFACTS:-$(mktemp -d /tmp/quotelab-fuzz.XXXXXX)}
status=0
for seeds in fuzz/corpus/*/; do
  name=$(basename "$seeds")
  target="$build/fuzz/${name}_fuzz"
  [ -x "$target" ] || { echo "fuzz: $target is not built"; exit 1; }
  scratch=$(mktemp -d /tmp/quotelab-corpus.XXXXXX)
  echo "== ${name}_fuzz for ${seconds}s"
  if ! "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
       -artifact_prefix="$artifacts/${name}-" "$scratch" "$seeds" 2>"$artifacts/${name}.log"; then
    tail -n 40 "$artifacts/${name}.log"
    echo "fuzz: ${name}_fuzz failed; input and log in $artifacts"
    status=1
  else
    grep -E "^stat::number_of_executed_units|^Done" "$artifacts/${name}.log" || true
  fi
  rm -rf "$scratch"
done
[ $status -eq 0 ] && rm -rf "$artifacts"
exit $status
