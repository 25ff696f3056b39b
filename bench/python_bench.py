#!/usr/bin/env python3
"""The Python package against its yardsticks, in one run:

1. quotelab.read of a 100,000-row snapshot CSV against pandas.read_csv of the same file
   (rows/s; target: at least 4 times pandas);
2. quotelab.rebuild of a simulated Shenzhen day (the orderbook_bench day: seed 20240102,
   560,000 order entries) against the quotelab program on the same files and, when built,
   orderbook_bench's BM_BuilderRun2 (events/s; target: at least 90% of the C++ builder).

Run from a release build:
    cmake --preset release && cmake --build --preset release
    PYTHONPATH=build/release/python /usr/bin/python3 bench/python_bench.py
Each figure is the best of --repeat runs (the machine may be shared: best, not mean).
"""

import argparse
import json
import pathlib
import re
import subprocess
import tempfile
import time

import numpy as np

import quotelab


def best_seconds(fn, repeat, clock=time.perf_counter):
    best = float("inf")
    for _ in range(repeat):
        start = clock()
        fn()
        best = min(best, clock() - start)
    return best


def snapshot_rows(n, seed=1):
    """n snapshots of one instrument with ten populated levels a side."""
    rng = np.random.default_rng(seed)
    ticks = np.zeros(n, dtype=quotelab.dtypes.L2Snapshot)
    ticks["type"] = 2
    ticks["exchange"] = 2
    ticks["symbol"] = b"000001"
    ticks["action_day"] = ticks["trading_day"] = 20240102
    ticks["time"] = 93000000 + np.arange(n) % 60000
    mid = np.round(10 + np.cumsum(rng.integers(-1, 2, n)) * 0.01, 2).clip(1)
    steps = np.arange(1, 11) * 0.01
    ticks["ask_price"] = np.round(mid[:, None] + steps, 2)
    ticks["bid_price"] = np.round(mid[:, None] - steps, 2)
    ticks["ask_volume"] = rng.integers(1, 500, (n, 10)) * 100
    ticks["bid_volume"] = rng.integers(1, 500, (n, 10)) * 100
    ticks["last"] = ticks["open"] = ticks["high"] = ticks["low"] = mid
    ticks["volume"] = np.cumsum(rng.integers(0, 50, n) * 100)
    ticks["turnover"] = ticks["volume"] * 10.0
    ticks["num_trades"] = np.arange(n)
    ticks["pre_close"] = 10.0
    return ticks


def bench_read(directory, rows, repeat):
    import pandas

    path = directory / "ticks.csv"
    quotelab.write(path, snapshot_rows(rows))
    assert len(quotelab.read(path)) == rows and len(pandas.read_csv(path)) == rows
    ql = best_seconds(lambda: quotelab.read(path), repeat)
    pd = best_seconds(lambda: pandas.read_csv(path), repeat)
    print(f"read {rows:,} snapshot rows ({path.stat().st_size / 1e6:.1f} MB CSV):")
    print(f"  quotelab.read     {ql * 1e3:8.1f} ms  {rows / ql:12,.0f} rows/s")
    print(f"  pandas.read_csv   {pd * 1e3:8.1f} ms  {rows / pd:12,.0f} rows/s")
    print(f"  quotelab.read is {pd / ql:.1f} times pandas (target: 4)")


def program_rate(program, orders, trades, out, repeat):
    best = 0.0
    for _ in range(repeat):
        done = subprocess.run([program, "book", "--orders", orders, "--trades", trades, "--out",
                               out, "--quiet"], check=True, capture_output=True, text=True)
        m = re.search(r"in ([0-9.]+) s", done.stdout + done.stderr)
        events = re.search(r"([0-9,]+) events", done.stdout + done.stderr)
        if m and events:
            best = max(best, int(events.group(1).replace(",", "")) / float(m.group(1)))
    return best


def builder_bench_rates(bench, repeat):
    """BM_BuilderRun2/Shenzhen's best (wall, CPU) events/s, or None when it is not built."""
    if bench is None or not bench.exists():
        return None
    done = subprocess.run([str(bench), "--benchmark_filter=BM_BuilderRun2/Shenzhen$",
                           f"--benchmark_repetitions={repeat}", "--benchmark_format=json"],
                          check=True, capture_output=True, text=True)
    runs = [b for b in json.loads(done.stdout)["benchmarks"] if b.get("run_type") == "iteration"]
    if not runs:
        return None
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
    per_iteration = [(b["real_time"] * scale[b["time_unit"]], b["cpu_time"] * scale[b["time_unit"]],
                      b["events"]) for b in runs]
    return (max(e / w for w, _, e in per_iteration), max(e / c for _, c, e in per_iteration))


def bench_rebuild(directory, program, bench, repeat):
    orders, trades = directory / "orders.dat", directory / "trades.dat"
    subprocess.run([program, "simulate", "--style", "sz", "--seed", "20240102", "--orders",
                    "560000", "--orders-out", orders, "--trades-out", trades], check=True,
                   capture_output=True)
    o, t = quotelab.read(orders), quotelab.read(trades)
    events = len(o) + len(t)
    wall = events / best_seconds(lambda: quotelab.rebuild(o, t), repeat)
    cpu = events / best_seconds(lambda: quotelab.rebuild(o, t), repeat, time.process_time)
    prog = program_rate(program, orders, trades, directory / "ticks.dat", repeat)
    print(f"rebuild a simulated Shenzhen day ({events:,} events), M events/s:")
    print(f"  quotelab.rebuild             wall {wall / 1e6:6.2f}   CPU {cpu / 1e6:6.2f}")
    print(f"  quotelab book (whole job)    wall {prog / 1e6:6.2f}"
          f"               -> rebuild at {wall / prog:.0%} of it")
    builder = builder_bench_rates(bench, repeat)
    if builder:
        print(f"  orderbook_bench BuilderRun2  wall {builder[0] / 1e6:6.2f}   CPU "
              f"{builder[1] / 1e6:6.2f} -> rebuild at {wall / builder[0]:.0%} (wall), "
              f"{cpu / builder[1]:.0%} (CPU) of it (target: 90%)")


def main():
    build = pathlib.Path(quotelab.__file__).resolve().parents[2]
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", default=str(build / "bin" / "quotelab"))
    parser.add_argument("--bench", default=str(build / "bench" / "orderbook_bench"),
                        help="orderbook_bench, for the C++ builder's own figure")
    parser.add_argument("--rows", type=int, default=100000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        directory = pathlib.Path(tmp)
        bench_read(directory, args.rows, args.repeat)
        bench_rebuild(directory, args.program, pathlib.Path(args.bench), args.repeat)


if __name__ == "__main__":
    main()
