#!/usr/bin/env bash
# The Slurm example run locally: each array task of examples/slurm/backfill.sbatch in turn (as
# Slurm would set SLURM_ARRAY_TASK_ID/COUNT), then merge.sbatch; the day file must equal a
# one-machine `book --market` byte for byte, and no part file may remain.
# Usage: slurm_example_test.sh QUOTELAB_PROGRAM EXAMPLES_SLURM_DIR
set -euo pipefail
program=$1
examples=$2
work=$(mktemp -d /tmp/quotelab-slurm.XXXXXX)
trap 'rm -rf "$work"' EXIT

date=20240105
"$program" simulate --symbols 12 --events 300000 --date "$date" --seed 11 \
  --orders-out "$work/orders.dat" --trades-out "$work/trades.dat" \
  --sequence-out "$work/sequence.txt" >/dev/null
mkdir "$work/one"
"$program" book --market --quiet --orders "$work/orders.dat" --trades "$work/trades.dat" \
  --sequence "$work/sequence.txt" --root "$work/one" >/dev/null

export QUOTELAB=$program ORDERS=$work/orders.dat TRADES=$work/trades.dat
export SEQUENCE=$work/sequence.txt DATE=$date ROOT=$work/array
shards=3
for k in $(seq 1 $shards); do
  SLURM_ARRAY_TASK_ID=$k SLURM_ARRAY_TASK_COUNT=$shards bash "$examples/backfill.sbatch" >/dev/null
done
bash "$examples/merge.sbatch" >/dev/null

cmp "$work/one/$date/tick.csv" "$work/array/$date/tick.csv"
if ls "$work/array/$date" | grep -q part; then
  echo "part files left behind: $(ls "$work/array/$date")"
  exit 1
fi
echo "slurm example: $shards array tasks and the merge give the one-machine day file"
