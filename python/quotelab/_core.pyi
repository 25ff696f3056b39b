"""Type hints of quotelab's native module (quotelab._core)."""

from typing import Any, Callable, Dict, List, NamedTuple, Optional, Tuple, Union

import numpy as np
import numpy.typing as npt

Char = Union[str, bytes, int]  # one character ('B', b'S', '2') or its code (66)
Records = npt.NDArray[np.void]  # a one-dimensional array of a quotelab.dtypes record type

version: str
library_version: str

class AuctionMatch(NamedTuple):
    price: float
    matched: int
    unmatched: int
    unmatched_side: str

def record_layouts() -> Dict[str, Dict[str, Any]]:
    """Every record's "size" and its "fields" {name: (offset, size)} as the C compiler lays
    them out."""

def record_size(type: int) -> int:
    """Size in bytes of a record of type code `type`, 0 for a code that names none."""

def exchange_code(text: str) -> int:
    """The exchange code of any of its names (SH, SSE, XSHG, ...), 0 if none."""

def exchange_text(code: int) -> Optional[str]:
    """The first name of an exchange code (1 -> 'SH'), or None."""

def read_file(path: str, kind: str, format: str = "", delimiter: str = ",") -> Records:
    """Reads a file of `kind` records (tick, bar, order, trade), CSV or binary by `format`
    (csv, bin; '' by the name). Returns an array owning the records; raises FileError."""

def write_file(path: str, records: Records, kind: str, format: str = "",
               delimiter: str = ",") -> int:
    """Writes `kind` records to a CSV file with a header row or a binary file. Returns the
    number written; raises FileError."""

def csv_kind(path: str, delimiter: str = ",") -> str:
    """The record kind a CSV file's header binds (trade, order, tick, bar), or ''."""

def binary_kind(path: str) -> str:
    """The record kind of a binary file by its first record's type code, or ''."""

def read_layout(path: str, layout: str = "", delimiter: str = ",",
                lenient: bool = False) -> Optional[Tuple[str, Any]]:
    """Reads a file in an exchange's or vendor's layout (a built-in name, a profile file, or ''
    to detect it from the header) with LayoutReader. Returns None when '' detects none, else
    (content, records): orders, trades, snapshots an array, ticks (orders, trades). Raises
    FileError naming refused rows unless lenient, ValueError for a bad layout."""

def verify_day(orders: Records, trades: Records, exchange: str, symbol: str, date: int,
               sequence: Optional[bytes], snapshot_path: Optional[str],
               snapshot_array: Optional[Records], auction_view: str = "",
               pre_close: float = 0.0) -> Dict[str, Any]:
    """Rebuilds one day and checks the reference snapshots (a file's, or an array's) against
    it, the GIL released. Returns the report as a dict (phases, mismatches, mismatch_count,
    closing, closing_equal, events, text); raises FileError for the file, OrderBookError when
    the builder refuses the day."""

def rebuild_day(orders: Records, trades: Records, exchange: str, symbol: str, date: int,
                interval_ms: int, sequence: Optional[bytes], schedule: str = "",
                trade_counts: Optional[List[int]] = None, auction_view: str = "",
                check_one_symbol: bool = False) -> Records:
    """Rebuilds one day with orderbook_builder_run2 (run3 with a sequence of O/T letters), the
    GIL released; check_one_symbol: ValueError unless every record carries `symbol`. Returns the
    snapshots."""

class Book:
    """One instrument's Level-2 order book, fed event by event (the orderbook_* functions).

    Sides and flags are 'B' (bid, buy) and 'S' (ask, sell); order types '2' limit, '1' market,
    'D' cancellation; prices are floats, times HHMMSSmmm, dates YYYYMMDD. A call the book
    refuses raises OrderBookError with the result's code and name (ORDERBOOK_EARLIER,
    ORDERBOOK_NOT_FOUND, ...). Not thread-safe (the GIL serialises Python callers).
    """

    def __init__(self, exchange: str, symbol: str, aggregate: bool = False) -> None:
        """A Shanghai ("SH", "SSE", ...) or Shenzhen ("SZ", ...) rule book of `symbol`; an
        aggregating book keeps level totals only."""
    def reset(self, date: int) -> None:
        """Empties the book for the trading day `date`."""
    def init_static_fields(self, date: int, pre_close: float = 0.0, upper_limit: float = 0.0,
                           lower_limit: float = 0.0) -> None:
        """Stores the day and its static prices in the snapshot (call after reset)."""
    def on_l2order(self, seq_num: int, order_type: Char, bs_flag: Char, price: float,
                   quantity: int, time: int) -> int:
        """Applies one order record. Returns 0 or the quantity that rested after crossing."""
    def on_l2trade(self, seq_num: int, bid_seq_num: int, ask_seq_num: int, price: float,
                   quantity: int, time: int) -> int:
        """Applies one trade record (one sequence number 0: a Shenzhen cancellation). Returns 0
        or the quantity of a Shanghai trade that found no resting counterpart."""
    def on_cancel_order(self, order_seq_num: int, quantity: int, price: float, side: Char,
                        time: int) -> int:
        """Cancels the resting order `order_seq_num`. Returns 0."""
    def on_order_cross(self, seq_num: int, order_type: Char, bs_flag: Char, price: float,
                       quantity: int, time: int) -> int:
        """Crosses an order against the book without resting it. Returns the quantity left."""
    def gen_order_id(self) -> int:
        """The next id (-1, -2, ...) for an order of the caller's own."""
    def insert_order(self, order_id: int, side: Char, quantity: int, price: float) -> int:
        """Enters an own order at the last event time (price 0.0: market). Returns the
        quantity resting."""
    def cancel_order(self, order_id: int) -> int:
        """Cancels an own order. Returns 0."""
    def update_snapshot(self, quantity: int, price: float, time: int) -> None:
        """Counts one trade in the snapshot's statistics without matching anything."""
    def set_exec_callback(
            self, callback: Optional[Callable[[int, int, int, float, int], Any]]) -> None:
        """callback(order_id, kind, quantity, price, time) receives fills (kind 0) and
        cancellations (kind 1) of own orders; an exception it raises is raised by the call
        that triggered it. None stops it."""
    def snapshot(self) -> Records:
        """The book's snapshot now: an array of one quotelab.dtypes.L2Snapshot."""
    def levels(self, side: Union[str, bytes, int], depth: int = 10) -> Records:
        """The best `depth` levels of a side ('B'/'bid'/'buy' or 'S'/'ask'/'sell'), best first:
        an array of quotelab.dtypes.Level (price, quantity, orders)."""
    def auction_indicative(self, reference_price: float = 0.0) -> AuctionMatch:
        """What a call auction would match now (orderbook_auction_indicative): the price that
        executes the most; Shenzhen books take the one nearest reference_price (<= 0: the last
        price, else pre_close) among several."""
    def text(self, depth: int = 5) -> str:
        """The book as orderbook_print writes it: asks deepest first, a rule, then bids."""
    @property
    def last_price(self) -> float:
        """The last trade price."""
    @property
    def time(self) -> int:
        """The time of the book's last event (HHMMSSmmm)."""

class Replay:
    """One replay source (IDataReplay); quotelab.replay drives it."""

    def __init__(self, kind: str, frequency: str, market: str, file: str,
                 plugin_param: int = 0) -> None: ...
    def init(self, trading_day: int) -> int: ...
    def start(self) -> int: ...
    def next_batch(self, max_records: int) -> Optional[Records]:
        """Up to max_records records of one type, or None when the day's records ended."""
    @property
    def stop(self) -> int:
        """Why the last batch ended: 0 end of a binary file, -2 another day, -3 no more."""
