"""Whole-market backfills on a Dask cluster (dask.distributed).

    from dask.distributed import Client
    from quotelab.cluster import backfill

    report = backfill("jobs.txt", "/shared/data", client=Client("tcp://head:8786"),
                      shards_per_day=8)
    print(report)

Every (day, shard) is one task: it rebuilds the shard's symbols through the library, outside
the GIL, into the shard's part file; one merge task per day then joins the parts into the day
file ``ROOT/YYYYMMDD/tick.csv`` (``tick.dat`` with ``out_format="bin"``), the same byte for
byte as ``quotelab book --market`` on one machine. ``root`` must be a directory every worker
reaches under the same path.

Files appear only when complete: a task writes in a scratch directory under ``root`` and
renames its file into place at the end, so a task that fails, or whose worker dies, leaves
nothing half-written, and Dask runs it again (``retries`` for failures; a lost worker's tasks
are rescheduled by the scheduler). A day whose day file exists is complete and skipped, and a
shard whose part file exists is not rebuilt, so a backfill can simply be run again after an
interruption.

From the shell, with a progress bar::

    python3 -m quotelab.cluster --scheduler tcp://HOST:PORT --manifest jobs.txt --root ROOT
"""

import argparse
import glob
import json
import os
import shutil
import sys
import tempfile
import time
from dataclasses import dataclass, field
from typing import Iterable, List, Optional, Tuple, Union

from . import _core

__all__ = ["MarketDay", "BackfillReport", "backfill", "main"]


@dataclass(frozen=True)
class MarketDay:
    """One whole-market day: its order and trade files (every symbol of the day), the
    exchange's sequence over them (a file of O/T letters; empty when the records carry it) and,
    for CSV files, the layout they are read under (a built-in name or a profile file; empty
    detects it from the header)."""

    date: int
    orders: str
    trades: str
    sequence: str = ""
    profile: str = ""


@dataclass
class BackfillReport:
    """What a backfill did. ``failures`` lists (date, message) of the days not completed."""

    days: int = 0
    skipped: int = 0
    rebuilt: int = 0
    events: int = 0
    snapshots: int = 0
    refused: int = 0
    seconds: float = 0.0
    failures: List[Tuple[int, str]] = field(default_factory=list)

    @property
    def ok(self) -> bool:
        return not self.failures

    def __str__(self) -> str:
        rate = self.events / self.seconds / 1e6 if self.seconds > 0 else 0.0
        text = (f"{self.days} days: {self.rebuilt} rebuilt, {self.skipped} already complete, "
                f"{len(self.failures)} failed; {self.events:,} events, {self.snapshots:,} "
                f"snapshots, {self.refused:,} refused rows in {self.seconds:.1f} s "
                f"({rate:.1f} M events/s)")
        for date, message in self.failures:
            text += f"\n{date}: {message}"
        return text


def _extension(out_format: str) -> str:
    if out_format not in ("csv", "bin"):
        raise ValueError(f"out_format: '{out_format}' is not 'csv' or 'bin'")
    return "csv" if out_format == "csv" else "dat"


def day_path(root: str, date: int, out_format: str = "csv") -> str:
    """The day file of ``date`` under ``root``: ROOT/YYYYMMDD/tick.csv (tick.dat)."""
    return os.path.join(root, str(date), "tick." + _extension(out_format))


def part_path(root: str, date: int, k: int, n: int, out_format: str = "csv") -> str:
    """The part file of shard k of n: ROOT/YYYYMMDD/tick.part-K-of-N.csv (.dat)."""
    return os.path.join(root, str(date), f"tick.part-{k}-of-{n}.{_extension(out_format)}")


def _days_of(manifest_or_days, root: str) -> List[MarketDay]:
    if isinstance(manifest_or_days, (str, os.PathLike)):
        days = []
        for job in _core.read_manifest(os.fspath(manifest_or_days), os.fspath(root)):
            if not job["market"]:
                raise ValueError(f"{os.fspath(manifest_or_days)} line {job['line']}: a backfill "
                                 "takes whole-market days ('*' for exchange and symbol)")
            days.append(MarketDay(job["date"], job["orders"], job["trades"], job["sequence"],
                                  job["profile"]))
    else:
        days = [d if isinstance(d, MarketDay) else MarketDay(*d) for d in manifest_or_days]
    seen = set()
    for d in days:
        if not 19000101 <= int(d.date) <= 99991231:
            raise ValueError(f"day {d.date}: a backfill needs each day's date (YYYYMMDD)")
        if d.date in seen:
            raise ValueError(f"day {d.date} is given twice: both would write one day file")
        seen.add(d.date)
    return days


def _write_json(path: str, value) -> None:
    tmp = f"{path}.tmp-{os.getpid()}"
    with open(tmp, "w") as f:
        json.dump(value, f)
    os.replace(tmp, path)


def _rebuild_shard(day: MarketDay, k: int, n: int, root: str, out_format: str,
                   interval_ms: int, lenient: bool = False) -> dict:
    """Task: the part file of shard k of n of the day, written whole or not at all."""
    final = part_path(root, day.date, k, n, out_format)
    summary_file = final + ".json"
    if os.path.exists(final) and os.path.exists(summary_file):
        with open(summary_file) as f:  # done by an earlier attempt or run
            return json.load(f)
    os.makedirs(os.path.dirname(final), exist_ok=True)
    scratch = tempfile.mkdtemp(prefix=f".shard-{day.date}-{k}-of-{n}-", dir=root)
    try:
        summary = _core.rebuild_market(day.orders, day.trades, root=scratch, date=day.date,
                                       sequence=day.sequence, shard=k, shards=n,
                                       interval_ms=interval_ms, out_format=out_format,
                                       profile=day.profile, lenient=lenient)
        written = part_path(scratch, day.date, k, n, out_format)
        summary["out"] = final
        _write_json(summary_file, summary)
        os.replace(written, final)
        return summary
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def _merge_day(root: str, date: int, n: int, out_format: str, *shards: dict) -> dict:
    """Task: the day file from the day's n part files, written whole or not at all; the parts
    go once it is in place."""
    final = day_path(root, date, out_format)
    totals = {key: sum(s[key] for s in shards) for key in ("events", "snapshots", "refused")}
    if not os.path.exists(final) and n == 1:
        # One part is the day file already (a one-machine run writes the same bytes).
        os.replace(part_path(root, date, 1, 1, out_format), final)
    elif not os.path.exists(final):
        scratch = tempfile.mkdtemp(prefix=f".merge-{date}-", dir=root)
        try:
            os.makedirs(os.path.join(scratch, str(date)))
            for k in range(1, n + 1):
                src = part_path(root, date, k, n, out_format)
                dst = part_path(scratch, date, k, n, out_format)
                try:
                    os.link(src, dst)
                except OSError:
                    shutil.copyfile(src, dst)
            _core.merge_day(scratch, date)
            os.replace(day_path(scratch, date, out_format), final)
        finally:
            shutil.rmtree(scratch, ignore_errors=True)
    for k in range(1, n + 1):
        for path in (part_path(root, date, k, n, out_format),
                     part_path(root, date, k, n, out_format) + ".json"):
            try:
                os.remove(path)
            except FileNotFoundError:
                pass
    # Every shard of the day is done: a scratch directory still there is a dead attempt's (its
    # worker was killed before it could clean up).
    for stale in glob.glob(os.path.join(glob.escape(root), f".shard-{date}-*")) + \
            glob.glob(os.path.join(glob.escape(root), f".merge-{date}-*")):
        shutil.rmtree(stale, ignore_errors=True)
    return totals


def _default_shards(client, days: int) -> int:
    """Enough shards a day to keep every worker thread busy, and no more: each shard reads the
    whole day's files, so days run side by side before a day is split."""
    threads = sum(client.nthreads().values()) if client is not None else 0
    return max(1, -(-threads // max(1, days)))


def backfill(manifest_or_days: Union[str, os.PathLike, Iterable], root: Union[str, os.PathLike],
             client=None, shards_per_day: Optional[int] = None, *, out_format: str = "csv",
             interval_ms: int = 3000, retries: int = 3, progress: bool = False,
             lenient: bool = False) -> BackfillReport:
    """Rebuilds whole-market days on a Dask cluster into the per-day layout under ``root``.

    manifest_or_days: a book manifest (its lines give whole-market days: ``* * DATE ORDERS
    TRADES [sequence=FILE] [profile=LAYOUT]``) or an iterable of :class:`MarketDay` (or (date,
    orders, trades[, sequence[, profile]]) tuples). client: a ``dask.distributed.Client``; None
    uses the current one, or starts a local cluster for the call. shards_per_day: tasks per day
    (default: the cluster's worker threads over the days, rounded up: days run side by side
    before a day is split, since each shard reads the whole day). Days whose day file exists
    are skipped. A day with rows that cannot be read (or records of another day) fails, naming
    them, unless lenient.

    Returns a :class:`BackfillReport`; failed days are listed in it, not raised.
    """
    import distributed

    root = os.fspath(root)
    _extension(out_format)
    os.makedirs(root, exist_ok=True)
    days = _days_of(manifest_or_days, root)
    own_client = None
    if client is None:
        try:
            client = distributed.get_client()
        except ValueError:
            own_client = client = distributed.Client(processes=True)
    n = shards_per_day or _default_shards(client, len(days))
    if n < 1:
        raise ValueError("shards_per_day: expected 1 or more")

    report = BackfillReport(days=len(days))
    start = time.monotonic()
    try:
        merges = []
        shard_futures = []
        for day in days:
            if os.path.exists(day_path(root, day.date, out_format)):
                report.skipped += 1
                continue
            shards = [client.submit(_rebuild_shard, day, k, n, root, out_format, interval_ms,
                                    lenient, key=f"quotelab-shard-{day.date}-{k}-of-{n}", retries=retries,
                                    pure=False)
                      for k in range(1, n + 1)]
            shard_futures += shards
            merges.append((day.date, client.submit(_merge_day, root, day.date, n, out_format,
                                                   *shards, key=f"quotelab-merge-{day.date}",
                                                   retries=retries, pure=False)))
        if progress and merges:
            distributed.progress(shard_futures + [f for _, f in merges])
        distributed.wait([f for _, f in merges])
        for date, future in merges:
            if future.status == "finished":
                totals = future.result()
                report.rebuilt += 1
                report.events += totals["events"]
                report.snapshots += totals["snapshots"]
                report.refused += totals["refused"]
            else:
                report.failures.append((date, _failure_text(future)))
    finally:
        report.seconds = time.monotonic() - start
        if own_client is not None:
            own_client.close()
    return report


def _failure_text(future) -> str:
    try:
        exception = future.exception()
    except Exception as e:  # the future itself was lost (cancelled, scheduler gone)
        return f"{type(e).__name__}: {e}"
    return f"{type(exception).__name__}: {exception}" if exception else future.status


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python3 -m quotelab.cluster",
        description="Rebuild whole-market days on a Dask cluster into ROOT/YYYYMMDD/tick.csv.")
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("--scheduler", metavar="ADDRESS", help="the scheduler, tcp://HOST:PORT")
    where.add_argument("--scheduler-file", metavar="FILE", help="the scheduler's address file")
    parser.add_argument("--manifest", required=True, help="book manifest of whole-market days")
    parser.add_argument("--root", required=True, help="data root every worker reaches")
    parser.add_argument("--shards-per-day", type=int, default=None, metavar="N",
                        help="tasks per day (default: the cluster's worker threads over the "
                             "days, rounded up)")
    parser.add_argument("--out-format", choices=("csv", "bin"), default="csv")
    parser.add_argument("--interval-ms", type=int, default=3000)
    parser.add_argument("--quiet", action="store_true", help="no progress bar")
    parser.add_argument("--lenient", action="store_true",
                        help="rebuild days without the rows that cannot be read (still counted)")
    args = parser.parse_args(argv)

    import distributed

    try:
        client = distributed.Client(address=args.scheduler, scheduler_file=args.scheduler_file,
                                    timeout="30s")
    except OSError as e:
        print(f"quotelab.cluster: cannot reach the scheduler: {e}", file=sys.stderr)
        return 1
    with client:
        try:
            report = backfill(args.manifest, args.root, client, args.shards_per_day,
                              out_format=args.out_format, interval_ms=args.interval_ms,
                              progress=not args.quiet and sys.stdout.isatty(),
                              lenient=args.lenient)
        except (ValueError, OSError) as e:
            print(f"quotelab.cluster: {e}", file=sys.stderr)
            return 1
    print(report)
    return 0 if report.ok else 1


if __name__ == "__main__":
    sys.exit(main())
