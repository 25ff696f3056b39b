#!/usr/bin/python3
"""Backfill speed on a local Dask cluster: one worker against two, and the scheduling overhead
against the same days rebuilt directly through the binding (no cluster).

    PYTHONPATH=build/release/python bench/cluster_bench.py --program build/release/bin/quotelab

Simulates --days market days of --events events each (`quotelab simulate --symbols`), then
times: the direct rebuild of every day (one thread, in a fresh process as a worker is); the
same days split between two such processes side by side (what the machine gives two
processes of this work with no cluster at all, the bound of the two-worker figure); a
backfill with one worker and one shard a day (the scheduling overhead over the direct
rebuild); backfills with one and with two
workers (one thread each) at --shards shards a day (the speed-up). Each is timed --repeat
times, the direct rebuild and the one-worker backfill in turn, and the best time counts: on a
virtual machine the first touch of memory costs what the host makes it cost at that moment,
and single runs of the same work differ by a third.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

import distributed

from quotelab import cluster


def simulate(program, directory, days, events, symbols):
    out = []
    for i in range(days):
        date = 20240102 + i
        files = [os.path.join(directory, f"{date}_{n}")
                 for n in ("orders.dat", "trades.dat", "sequence.txt")]
        subprocess.run([program, "simulate", "--symbols", str(symbols), "--events", str(events),
                        "--date", str(date), "--seed", str(100 + i), "--orders-out", files[0],
                        "--trades-out", files[1], "--sequence-out", files[2]],
                       check=True, capture_output=True)
        out.append(cluster.MarketDay(date, *files))
    return out


# The days rebuilt one after the other through the binding, in a process of their own: a
# worker's process starts fresh too, and one that rebuilt days before reuses their memory.
DIRECT = """
import sys, time
from quotelab import _core
days, root = eval(sys.argv[1]), sys.argv[2]
start, events = time.monotonic(), 0
for date, orders, trades, sequence in days:
    events += _core.rebuild_market(orders, trades, root=root, date=date,
                                   sequence=sequence)["events"]
print(time.monotonic() - start, events)
"""


def start_direct(days, root):
    listed = repr([(d.date, d.orders, d.trades, d.sequence) for d in days])
    return subprocess.Popen([sys.executable, "-c", DIRECT, listed, root],
                            stdout=subprocess.PIPE, text=True)


def direct_rebuild(days, root):
    process = start_direct(days, root)
    out = process.communicate()[0].split()
    if process.returncode != 0:
        raise RuntimeError("the direct rebuild failed")
    return float(out[0]), int(out[1])


def direct_pair(days, root):
    """The days split between two direct rebuilds run side by side, with no cluster: what the
    machine itself gives two processes of this work, the bound of two workers."""
    start = time.monotonic()
    processes = [start_direct(days[i::2], root) for i in range(2)]
    for process in processes:
        process.communicate()
        if process.returncode != 0:
            raise RuntimeError("the direct rebuild failed")
    return time.monotonic() - start


def timed_backfill(days, root, workers, shards):
    with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as lc, distributed.Client(lc) as client:
        start = time.monotonic()
        report = cluster.backfill(days, root, client=client, shards_per_day=shards)
        seconds = time.monotonic() - start
    assert report.ok, str(report)
    return report, seconds


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--days", type=int, default=4)
    parser.add_argument("--events", type=int, default=10_000_000)
    parser.add_argument("--symbols", type=int, default=200)
    parser.add_argument("--shards", type=int, default=1)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="quotelab-cluster-bench.")
    try:
        days = simulate(args.program, work, args.days, args.events, args.symbols)
        direct, pair, single, one, two = [], [], [], [], []
        for r in range(args.repeat):
            root = f"{work}/direct-{r}"
            os.makedirs(root)
            seconds, events = direct_rebuild(days, root)
            direct.append(seconds)
            shutil.rmtree(root)
            os.makedirs(root)
            pair.append(direct_pair(days, root))
            shutil.rmtree(root)
            single.append(timed_backfill(days, f"{work}/single-{r}", 1, 1)[1])
            shutil.rmtree(f"{work}/single-{r}")
        for r in range(args.repeat):
            one.append(timed_backfill(days, f"{work}/one-{r}", 1, args.shards)[1])
            shutil.rmtree(f"{work}/one-{r}")
            two.append(timed_backfill(days, f"{work}/two-{r}", 2, args.shards)[1])
            shutil.rmtree(f"{work}/two-{r}")
        times = lambda runs: " ".join(f"{t:.2f}" for t in runs)
        print(f"direct: {events:,} events in {min(direct):.2f} s "
              f"({events / min(direct) / 1e6:.1f} M/s; runs {times(direct)})")
        print(f"2 direct processes, no cluster: {min(pair):.2f} s (runs {times(pair)}), "
              f"{min(direct) / min(pair):.2f}x one: the machine's own bound for two workers")
        print(f"1 worker, 1 shard a day: {min(single):.2f} s (runs {times(single)}), scheduling "
              f"overhead {100 * (min(single) - min(direct)) / min(direct):.1f}% over direct")
        print(f"1 worker, {args.shards} shards a day: {min(one):.2f} s "
              f"({events / min(one) / 1e6:.1f} M/s; runs {times(one)})")
        print(f"2 workers, {args.shards} shards a day: {min(two):.2f} s "
              f"({events / min(two) / 1e6:.1f} M/s; runs {times(two)}), "
              f"{min(one) / min(two):.2f}x one worker")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
