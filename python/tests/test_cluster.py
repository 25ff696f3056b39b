"""Backfills on a real Dask cluster: a scheduler and two workers on 127.0.0.1, each its own
process, against one machine's `quotelab book --market` of the same days."""

import os
import pathlib
import signal
import subprocess
import sys
import threading
import time

import pytest

distributed = pytest.importorskip("distributed")

from quotelab import cluster  # noqa: E402

pytestmark = pytest.mark.cluster

DATES = (20240102, 20240103, 20240104)


def _start(args, directory, log):
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
    return subprocess.Popen([sys.executable, "-m", *args], cwd=directory, env=env,
                            stdout=open(directory / log, "wb"), stderr=subprocess.STDOUT,
                            start_new_session=True)


def _stop(process):
    if process.poll() is None:
        os.killpg(process.pid, signal.SIGTERM)
        try:
            process.wait(20)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()


@pytest.fixture
def dask_cluster(tmp_path):
    """A scheduler on a free port and two single-thread workers; yields (client, workers)."""
    scheduler_file = tmp_path / "scheduler.json"
    processes = [_start(["distributed.cli.dask_scheduler", "--host", "127.0.0.1", "--port", "0",
                         "--no-dashboard", "--scheduler-file", str(scheduler_file)],
                        tmp_path, "scheduler.log")]
    try:
        deadline = time.monotonic() + 60
        while not scheduler_file.exists():
            assert time.monotonic() < deadline, (tmp_path / "scheduler.log").read_text()
            time.sleep(0.1)
        workers = [_start(["distributed.cli.dask_worker", "--scheduler-file",
                           str(scheduler_file), "--nworkers", "1", "--nthreads", "1",
                           "--no-dashboard", "--host", "127.0.0.1", "--local-directory",
                           str(tmp_path / f"w{i}"), "--name", f"w{i}"], tmp_path, f"w{i}.log")
                   for i in range(2)]
        processes += workers
        client = distributed.Client(scheduler_file=str(scheduler_file), timeout="60s")
        client.wait_for_workers(2, timeout=120)
        yield client, workers
        client.close()
    finally:
        for p in reversed(processes):
            _stop(p)


@pytest.fixture(scope="module")
def market_days(run, tmp_path_factory):
    """Three simulated market days and one machine's day files of them."""
    d = tmp_path_factory.mktemp("market")
    (d / "one").mkdir()
    days = []
    for i, date in enumerate(DATES):
        files = [d / f"{date}_{name}" for name in ("orders.dat", "trades.dat", "sequence.txt")]
        run("simulate", "--symbols", 10, "--events", 400000, "--date", date, "--seed", 30 + i,
            "--orders-out", files[0], "--trades-out", files[1], "--sequence-out", files[2])
        run("book", "--market", "--quiet", "--orders", files[0], "--trades", files[1],
            "--sequence", files[2], "--root", d / "one")
        days.append(cluster.MarketDay(date, *map(str, files)))
    return days, d / "one"


def _assert_same_days(root, reference):
    for date in DATES:
        assert (root / str(date) / "tick.csv").read_bytes() == \
            (reference / str(date) / "tick.csv").read_bytes()
    leftovers = [p.name for p in root.rglob("*") if "part" in p.name or p.name.startswith(".")]
    assert leftovers == []


def test_backfill_equals_one_machine_and_skips_complete_days(dask_cluster, market_days,
                                                              tmp_path):
    client, _ = dask_cluster
    days, reference = market_days
    root = tmp_path / "root"
    report = cluster.backfill(days, root, client=client, shards_per_day=3)
    assert report.ok, str(report)
    assert (report.days, report.rebuilt, report.skipped) == (3, 3, 0)
    assert report.events > 0 and report.snapshots > 0
    _assert_same_days(root, reference)

    again = cluster.backfill(days, root, client=client, shards_per_day=3)
    assert (again.rebuilt, again.skipped, again.events) == (0, 3, 0)

    single = cluster.backfill(days, tmp_path / "single", client=client, shards_per_day=1)
    assert single.ok, str(single)
    _assert_same_days(tmp_path / "single", reference)


def test_worker_killed_mid_run_leaves_complete_identical_days(dask_cluster, market_days,
                                                              tmp_path):
    client, workers = dask_cluster
    days, reference = market_days
    root = tmp_path / "root"
    result = {}
    thread = threading.Thread(target=lambda: result.setdefault(
        "report", cluster.backfill(days, root, client=client, shards_per_day=4)))
    thread.start()
    # Kill the second worker while it runs a task (or once the run is over, on a fast machine).
    victim = next(addr for addr, info in client.scheduler_info()["workers"].items()
                  if info.get("name") == "w1")
    deadline = time.monotonic() + 120
    while thread.is_alive() and not client.processing().get(victim) and time.monotonic() < deadline:
        time.sleep(0.01)
    os.killpg(workers[1].pid, signal.SIGKILL)
    thread.join(600)
    assert not thread.is_alive()
    report = result["report"]
    assert report.ok, str(report)
    assert report.rebuilt == 3
    _assert_same_days(root, reference)


def test_manifest_and_refusals(market_days, tmp_path):
    days, _ = market_days
    manifest = tmp_path / "jobs.txt"
    manifest.write_text("".join(f"* * {d.date} {d.orders} {d.trades} sequence={d.sequence}\n"
                                for d in days))
    read = cluster._days_of(manifest, tmp_path)
    assert [(d.date, d.orders, d.sequence) for d in read] == \
        [(d.date, d.orders, d.sequence) for d in days]
    with pytest.raises(ValueError, match="given twice"):
        cluster._days_of([days[0], days[0]], tmp_path)
    one_symbol = tmp_path / "one.txt"
    one_symbol.write_text(f"SZ 000001 {days[0].date} {days[0].orders} {days[0].trades}\n")
    with pytest.raises(ValueError, match="whole-market days"):
        cluster._days_of(one_symbol, tmp_path)
