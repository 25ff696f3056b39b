#!/usr/bin/python3
"""Backfill speed on a local Dask cluster: one worker against two, and the scheduling overhead
against the same days rebuilt directly through the binding (no cluster).

    PYTHONPATH=build/release/python bench/cluster_bench.py --program build/release/bin/quotelab

Simulates --days market days of --events events each (`quotelab simulate --symbols`), then
times: the direct rebuild of every day (one thread); a backfill with one worker and one shard
a day (the scheduling overhead over the direct rebuild); backfills with one and with two
workers (one thread each) at --shards shards a day (the speed-up).
"""

import argparse
import os
import shutil
import subprocess
import tempfile
import time

import distributed

import quotelab
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
    parser.add_argument("--shards", type=int, default=4)
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="quotelab-cluster-bench.")
    try:
        days = simulate(args.program, work, args.days, args.events, args.symbols)
        os.makedirs(f"{work}/direct")
        start = time.monotonic()
        events = 0
        for d in days:
            events += quotelab._core.rebuild_market(d.orders, d.trades, root=f"{work}/direct",
                                                    date=d.date, sequence=d.sequence)["events"]
        direct = time.monotonic() - start
        print(f"direct: {events:,} events in {direct:.2f} s ({events / direct / 1e6:.1f} M/s)")
        _, single = timed_backfill(days, f"{work}/single", 1, 1)
        print(f"1 worker, 1 shard a day: {single:.2f} s, scheduling overhead "
              f"{100 * (single - direct) / direct:.1f}% over direct")
        _, one = timed_backfill(days, f"{work}/one", 1, args.shards)
        print(f"1 worker, {args.shards} shards a day: {one:.2f} s ({events / one / 1e6:.1f} M/s)")
        _, two = timed_backfill(days, f"{work}/two", 2, args.shards)
        print(f"2 workers, {args.shards} shards a day: {two:.2f} s "
              f"({events / two / 1e6:.1f} M/s), {one / two:.2f}x one worker")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
