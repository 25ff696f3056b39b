#!/bin/bash
# Queues a whole-market day on Slurm: SHARDS array tasks (backfill.sbatch), then the merge
# (merge.sbatch) once all of them have succeeded. The variables are those of backfill.sbatch.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
shards=${SHARDS:-8}
array=$(sbatch --parsable --export=ALL --array="1-$shards" "$here/backfill.sbatch")
sbatch --parsable --export=ALL --dependency="afterok:${array%%;*}" "$here/merge.sbatch"
