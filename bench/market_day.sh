#!/usr/bin/env bash
# Times `quotelab book --market` over a simulated market day: SYMBOLS stocks of both
# exchanges' styles (a few over a million events, most 10k to 100k), about EVENTS events in one
# pair of binary files with the exchange's sequence. Runs --jobs 1 and --jobs 2 RUNS times each
# under /usr/bin/time -v and prints the best wall time, events per second end to end (reading
# the files to the written day file), the processor time and the peak resident memory of each.
# On a machine shared with other work the wall times carry its load: compare the best of
# several runs, and the processor times.
#
#   bench/market_day.sh                       # 1,000 symbols, about 50 M events
#   SYMBOLS=2000 EVENTS=100000000 RUNS=5 bench/market_day.sh
#
# QUOTELAB names the program (default build/release/bin/quotelab), DIR keeps the simulated day
# between runs (default a temporary directory, removed at the end), FORMAT the day file's
# format (bin or csv, default bin).
set -euo pipefail
cd "$(dirname "$0")/.."

QUOTELAB=${QUOTELAB:-build/release/bin/quotelab}
SYMBOLS=${SYMBOLS:-1000}
EVENTS=${EVENTS:-50000000}
RUNS=${RUNS:-3}
FORMAT=${FORMAT:-bin}
if [ -z "${DIR:-}" ]; then
  DIR=$(mktemp -d)
  trap 'rm -rf "$DIR"' EXIT
fi
[ -x "$QUOTELAB" ] || { echo "no program at $QUOTELAB (cmake --preset release && cmake --build build/release --target quotelab_cli)" >&2; exit 1; }

day="$DIR/market-$SYMBOLS-$EVENTS"
if [ ! -f "$day.seq" ]; then
  echo "== simulating $SYMBOLS symbols, about $EVENTS events into $DIR"
  "$QUOTELAB" simulate --symbols "$SYMBOLS" --events "$EVENTS" --seed 1 \
    --orders-out "$day.orders.dat" --trades-out "$day.trades.dat" --sequence-out "$day.seq.tmp"
  mv "$day.seq.tmp" "$day.seq"
fi

for jobs in 1 2; do
  best_wall=""
  best_rss=""
  events=""
  for run in $(seq "$RUNS"); do
    root="$DIR/root"
    rm -rf "$root" && mkdir -p "$root"
    /usr/bin/time -v -o "$DIR/time.txt" "$QUOTELAB" book --market --orders "$day.orders.dat" \
      --trades "$day.trades.dat" --sequence "$day.seq" --root "$root" --out-format "$FORMAT" \
      --jobs "$jobs" --quiet > "$DIR/out.txt"
    events=$(sed -n 's/^market [0-9]*: [0-9,]* symbols, \([0-9,]*\) events.*/\1/p' "$DIR/out.txt" | tr -d ,)
    wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {n = split($2, p, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + p[i]; print s}' "$DIR/time.txt")
    rss=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$DIR/time.txt")
    cpu=$(awk -F': ' '/User time|System time/ {s += $2} END {print s}' "$DIR/time.txt")
    echo "jobs $jobs run $run: wall $wall s, cpu $cpu s, peak $((rss / 1024)) MiB"
    if [ -z "$best_wall" ] || awk "BEGIN {exit !($wall < $best_wall)}"; then best_wall=$wall; fi
    if [ -z "$best_rss" ] || [ "$rss" -lt "$best_rss" ]; then best_rss=$rss; fi
  done
  rate=$(awk "BEGIN {printf \"%.1f\", $events / $best_wall / 1e6}")
  echo "== --jobs $jobs: $events events, best wall $best_wall s = $rate M events/s end to end, peak memory $((best_rss / 1024)) MiB (best of $RUNS)"
done
