"""Checking a rebuilt day against the exchange's own snapshots, as ``quotelab verify`` does."""

import collections
import dataclasses
import os
from typing import Any, List, Optional

import numpy as np

from . import _core, dtypes
from .book import day_arguments
from .records import as_records, select_symbol

__all__ = ["verify", "VerifyResult", "PhaseCoverage", "Mismatch", "LevelDifference",
           "Statistic"]

#: One phase's coverage: reference snapshots matched of total, and percent (floored to
#: hundredths, 100.0 when the phase has none).
PhaseCoverage = collections.namedtuple("PhaseCoverage", ["name", "matched", "total", "percent"])
#: One level that differs: side "bid"/"ask", level 1-10, the reference's price, volume and
#: orders (None when the file gives none), then the nearest rebuilt state's (None: no state).
LevelDifference = collections.namedtuple(
    "LevelDifference", ["side", "level", "price", "volume", "orders", "rebuilt_price",
                        "rebuilt_volume", "rebuilt_orders"])
#: One closing statistic (trades, volume, turnover, open, high, low, last).
Statistic = collections.namedtuple("Statistic", ["name", "rebuilt", "reference", "equal"])


@dataclasses.dataclass(frozen=True)
class Mismatch:
    """A reference snapshot no rebuilt state equals."""
    index: int                    # position among the snapshots checked
    line: int                     # its line in the snapshot file (0 for an array)
    time: int                     # its time, HHMMSSmmm
    phase: str
    rebuilt_time: Optional[int]   # the nearest rebuilt state's time (None when none)
    differences: List[LevelDifference]


@dataclasses.dataclass(frozen=True)
class VerifyResult:
    """What :func:`verify` found; ``text`` is the report ``quotelab verify`` prints."""
    phases: List[PhaseCoverage]   # opening auction, continuous trading, closing auction
    mismatches: List[Mismatch]    # the first 1000, in file order
    mismatch_count: int
    closing: List[Statistic]
    closing_equal: bool
    events: int
    min_coverage: float
    text: str

    @property
    def coverage(self):
        """{phase name: PhaseCoverage}."""
        return {p.name: p for p in self.phases}

    @property
    def ok(self) -> bool:
        """Continuous-trading coverage at or above min_coverage and the closing statistics
        equal."""
        return (self.coverage["continuous trading"].percent >= self.min_coverage
                and self.closing_equal)

    def __str__(self):
        return self.text


def _snapshot_arguments(snapshots, symbol, date):
    """(path, None) for a file, (None, the day's records of symbol) for an array."""
    if isinstance(snapshots, (str, bytes, os.PathLike)):
        return os.fsdecode(os.fspath(snapshots)), None
    records = as_records(snapshots, dtypes.L2Snapshot, "snapshots")
    records = select_symbol(records, symbol)
    days = records["trading_day"]
    return None, np.ascontiguousarray(records[(days == 0) | (days == date)])


def verify(orders: Any, trades: Any, snapshots: Any, exchange: Optional[str] = None,
           symbol: Optional[str] = None, date: Optional[int] = None, sequence: Any = None,
           auction_view: Any = None, *, pre_close: Optional[float] = None,
           min_coverage: float = 99.9) -> VerifyResult:
    """Rebuilds one instrument's day and checks the exchange's snapshots against it, as
    ``quotelab verify`` does (the program's own check), with the GIL released while it runs.

    orders, trades, exchange, symbol, date, sequence: as :func:`quotelab.rebuild` takes them.
    snapshots:    the exchange's snapshots: a path (an exchange snapshot layout the layout
                  reader detects, or quotelab's tick file, CSV or binary) or an array of
                  quotelab.dtypes.L2Snapshot; only those of the symbol and day are checked.
    auction_view: "book" (default): call-auction snapshots are compared with the book's own
                  levels; "exchange": with the indicative match as the exchange shows it.
    pre_close:    previous close for Shenzhen's opening auction view (default the snapshots').
    min_coverage: continuous-trading coverage (percent) the result's ``ok`` needs.

    Returns a VerifyResult: ``phases`` (coverage per phase), ``mismatches`` (line, time and the
    levels that differ), ``closing`` (the closing statistics), ``ok``. Raises FileError when the
    snapshots cannot be read or hold none of the day, OrderBookError when the builder refuses
    the day, ValueError for inconsistent arguments.
    """
    if not 0 <= float(min_coverage) <= 100:
        raise ValueError(f"min_coverage: {min_coverage} is not a percentage from 0 to 100")
    day = day_arguments(orders, trades, exchange, symbol, date, sequence)
    if day.check_one_symbol and (len(select_symbol(day.orders, day.symbol)) != len(day.orders) or
                                 len(select_symbol(day.trades, day.symbol)) != len(day.trades)):
        raise ValueError("orders and trades hold records of several symbols: choose one with "
                         "symbol=")
    path, array = _snapshot_arguments(snapshots, day.symbol, day.date)
    report = _core.verify_day(day.orders, day.trades, day.exchange, day.symbol, day.date,
                              day.sequence, path, array, auction_view or "",
                              float(pre_close or 0.0))
    mismatches = [Mismatch(m["index"], m["line"], m["time"], m["phase"], m["rebuilt_time"],
                           [LevelDifference(*d) for d in m["differences"]])
                  for m in report["mismatches"]]
    return VerifyResult([PhaseCoverage(*p) for p in report["phases"]], mismatches,
                        report["mismatch_count"], [Statistic(*s) for s in report["closing"]],
                        report["closing_equal"], report["events"], float(min_coverage),
                        report["text"])
