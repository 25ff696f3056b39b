"""Rebuilding a trading day's order book from arrays of order and trade records."""

import collections
import os
from typing import Any, Optional

import numpy as np

from . import _core, dtypes
from .records import as_records, check_date, select_symbol, split_symbol

__all__ = ["rebuild", "AuctionMatch"]

#: A call auction's indicative match (Book.auction_indicative): the single price, the quantity
#: that would execute at it, the quantity left on ``unmatched_side`` ('B', 'S', or '' when both
#: sides fill in full). price is 0.0 and the quantities 0 when nothing would execute.
AuctionMatch = collections.namedtuple("AuctionMatch",
                                      ["price", "matched", "unmatched", "unmatched_side"])

_EXCHANGES = {1: "SH", 2: "SZ"}


def _sequence_bytes(sequence):
    """The exchange's sequence as bytes of O/T letters: given as text, bytes, an array of
    letters, or a path (os.PathLike) to a file of them."""
    if isinstance(sequence, os.PathLike):
        with open(sequence, "rb") as f:
            return f.read()
    if isinstance(sequence, str):
        return sequence.encode("ascii")
    if isinstance(sequence, (bytes, bytearray, memoryview)):
        return bytes(sequence)
    array = np.asarray(sequence)
    if array.dtype.kind in "SU":
        return "".join(array.astype(str).tolist()).encode("ascii")
    if array.dtype == np.uint8 or array.dtype == np.int8:
        return array.astype(np.uint8).tobytes()
    raise TypeError("sequence: expected O/T letters (str, bytes, an array of letters) or a "
                    "pathlib.Path of a sequence file")


def _settle_exchange(exchange, orders, trades):
    if exchange is None:
        first = orders if len(orders) else trades
        code = int(first["exchange"][0]) if len(first) else 0
        if code not in _EXCHANGES:
            raise ValueError("the records carry no Shanghai or Shenzhen exchange code: give "
                             "exchange='SH' or 'SZ'")
        return _EXCHANGES[code]
    code = exchange if isinstance(exchange, int) else _core.exchange_code(str(exchange))
    if code not in _EXCHANGES:
        raise ValueError(f"exchange: '{exchange}' is not Shanghai (SH) or Shenzhen (SZ)")
    return _EXCHANGES[code]


def rebuild(orders: Any, trades: Any, exchange: Optional[str] = None,
            symbol: Optional[str] = None, date: Optional[int] = None, schedule: Any = None,
            sequence: Any = None, auction_view: Any = None, *,
            interval_ms: int = 3000) -> np.ndarray:
    """Rebuilds one instrument's order book over a trading day into snapshots, as
    ``quotelab book`` does, with the GIL released while the book runs.

    orders, trades: arrays of quotelab.dtypes.L2Order / L2Trade (used in place, not copied),
                    paths of order / trade files, or DataFrames of to_frame's columns.
    exchange:       "SH" or "SZ" rules (any alias); default the symbol's suffix, else the
                    records' exchange code.
    symbol:         the instrument to rebuild ("000001" or "000001.SZ"); default the records'
                    only one (several raise ValueError). Records of other symbols are left out.
    date:           the trading day YYYYMMDD; default the first record's action_day.
    schedule:       when snapshots are taken: None for the trading-hours rules (an opening
                    one, one per interval_ms in continuous trading, a final one); "events"
                    (after every event); "grid:MS" (as of every MS on the clock); a list of
                    trade counts (the book once that many trades were counted) or
                    "trades:FILE" (such counts in a file) -- as ``quotelab book --schedule``.
    sequence:       the exchange's own order over both arrays, one letter per record ('O'
                    the next order, 'T' the next trade), as text, bytes or a pathlib.Path of a
                    file (``quotelab simulate --sequence-out``): the records are then fed in
                    that order (orderbook_builder_run3), the exact way for Shanghai days.
    auction_view:   "book" (default): call-auction snapshots show the book's own levels;
                    "exchange": the indicative match as the exchange shows it.
    interval_ms:    snapshot interval during continuous trading.

    Returns an array of quotelab.dtypes.L2Snapshot: the opening snapshot, one per interval, the
    final one, each carrying the rebuilt day as its trading_day. Raises OrderBookError when the
    builder refuses the run, ValueError for inconsistent arguments.
    """
    schedule_text, trade_counts = "", None
    if isinstance(schedule, str):
        schedule_text = schedule
    elif schedule is not None:
        trade_counts = np.asarray(schedule).astype(np.int64).tolist()
    day = day_arguments(orders, trades, exchange, symbol, date, sequence)
    return _core.rebuild_day(day.orders, day.trades, day.exchange, day.symbol, day.date,
                             int(interval_ms), day.sequence, schedule_text, trade_counts,
                             auction_view or "", day.check_one_symbol)


#: A day's arguments settled: the record arrays, "SH"/"SZ", the bare code, YYYYMMDD, the
#: sequence as bytes (or None), and whether every record must still be checked for the symbol.
DayArguments = collections.namedtuple(
    "DayArguments", ["orders", "trades", "exchange", "symbol", "date", "sequence",
                     "check_one_symbol"])


def day_arguments(orders, trades, exchange, symbol, date, sequence) -> DayArguments:
    """Settles the arguments :func:`rebuild` and :func:`quotelab.verify` share (see rebuild)."""
    orders = as_records(orders, dtypes.L2Order, "orders")
    trades = as_records(trades, dtypes.L2Trade, "trades")
    letters = None if sequence is None else _sequence_bytes(sequence)
    check_one_symbol = symbol is None
    if check_one_symbol:
        # The first record's; the run checks that every record carries it.
        first = orders if len(orders) else trades
        if len(first) == 0:
            raise ValueError("orders and trades hold no records")
        symbol = first["symbol"][0].decode()
    else:
        code, symbol_exchange = split_symbol(symbol)
        if exchange is None and symbol_exchange:
            exchange = symbol_exchange
        if letters is None:
            orders = select_symbol(orders, symbol)
            trades = select_symbol(trades, symbol)
            if len(orders) == 0 and len(trades) == 0:
                raise ValueError(f"orders and trades hold no records of {symbol}")
        symbol = code
    exchange = _settle_exchange(exchange, orders, trades)
    if date is None:
        first = orders if len(orders) else trades
        date = int(first["action_day"][0]) if len(first) else 0
        check_date(date, "the first record's action_day (give date=YYYYMMDD)")
    date = check_date(date)
    return DayArguments(orders, trades, exchange, symbol, date, letters, check_one_symbol)
