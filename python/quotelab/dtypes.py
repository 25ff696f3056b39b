"""numpy dtypes of quotelab's records, byte for byte as ``quotelab/records.h`` lays them out.

The records are packed and little-endian: these dtypes have no padding and explicit byte order,
so an array of them is the same bytes a binary record file holds. Texts (``symbol``) are
NUL-padded bytes (``S``); one-character flags (``bs_flag``, ``order_type``, ``trade_flag``) are
``S1`` (``b''`` when the byte is 0). Reserved ranges are kept as byte arrays so that a record
read and written again keeps every byte.

Record type codes (the first byte): :data:`TYPE_CODES`. The kinds that files and
:func:`quotelab.read` name: :data:`KINDS`.
"""

import numpy as np

__all__ = ["L2Snapshot", "L2Trade", "L2Order", "BarData", "MDIndex", "L1Snapshot", "Level",
           "KINDS", "TYPE_CODES", "kind_of", "name_of"]


def _reserved(name, size):
    return (name, "u1", (size,))


# The first 224 bytes every snapshot shares (level-1 and level-2).
_SNAPSHOT_HEAD = [
    ("type", "u1"), ("exchange", "u1"), ("symbol", "S30"), _reserved("reserved1", 8),
    ("action_day", "<i4"), ("time", "<i4"),
    ("open", "<f8"), ("high", "<f8"), ("low", "<f8"), ("last", "<f8"),
    ("volume", "<i8"), ("turnover", "<f8"),
    ("upper_limit", "<f8"), ("lower_limit", "<f8"), ("pre_close", "<f8"),
    ("pre_settle", "<f8"), ("settle", "<f8"), _reserved("reserved2", 16),
    ("iopv", "<f8"), ("num_trades", "<i4"), ("open_interest", "<i4"),
    ("pre_open_interest", "<i4"), ("trading_day", "<i4"), _reserved("reserved3", 48),
]


def _levels(n):
    return [("ask_price", "<f8", (n,)), ("ask_volume", "<i4", (n,)),
            ("bid_price", "<f8", (n,)), ("bid_volume", "<i4", (n,))]


#: One level-2 quote snapshot ("tick"), ten price levels a side: 464 bytes.
L2Snapshot = np.dtype(_SNAPSHOT_HEAD + _levels(10))

#: One level-1 snapshot, five price levels a side: 344 bytes.
L1Snapshot = np.dtype(_SNAPSHOT_HEAD + _levels(5))

#: One OHLC bar: 180 bytes (turnover precedes volume here).
BarData = np.dtype([
    ("type", "u1"), ("exchange", "u1"), ("symbol", "S30"), _reserved("reserved1", 8),
    ("action_day", "<i4"), ("time", "<i4"),
    ("open", "<f8"), ("high", "<f8"), ("low", "<f8"), ("close", "<f8"),
    ("turnover", "<f8"), ("volume", "<i8"), _reserved("reserved2", 16),
    ("pre_close", "<f8"), _reserved("reserved3", 24),
    ("open_interest", "<i4"), ("trading_day", "<i4"), ("num_trades", "<i4"),
    ("iopv", "<f8"), ("turn", "<f8"), _reserved("reserved4", 7), ("extension", "u1"),
])

#: One trade-by-trade record: 92 bytes.
L2Trade = np.dtype([
    ("type", "u1"), ("exchange", "u1"), ("symbol", "S10"), _reserved("reserved1", 8),
    ("action_day", "<i4"), ("time", "<i4"), ("aux_no", "<i4"), ("volume", "<u4"),
    ("price", "<f8"), ("seq_num", "<i8"), ("bid_seq_num", "<i8"), ("ask_seq_num", "<i8"),
    _reserved("reserved2", 20), ("trade_flag", "S1"), ("bs_flag", "S1"),
    _reserved("reserved3", 2),
])

#: One order-by-order record: 68 bytes.
L2Order = np.dtype([
    ("type", "u1"), ("exchange", "u1"), ("symbol", "S10"), _reserved("reserved1", 8),
    ("action_day", "<i4"), ("time", "<i4"), ("aux_no", "<i4"), ("volume", "<u4"),
    ("price", "<f8"), ("seq_num", "<i8"), ("order_index", "<i8"),
    ("bs_flag", "S1"), ("order_type", "S1"), _reserved("reserved2", 6),
])

#: One index quote: 106 bytes (action_day and time are not 4-byte aligned).
MDIndex = np.dtype([
    ("type", "u1"), ("exchange", "u1"), ("symbol", "S24"),
    ("action_day", "<i4"), ("time", "<i4"),
    ("pre_close", "<f8"), ("open", "<f8"), ("high", "<f8"), ("low", "<f8"),
    ("last", "<f8"), ("close", "<f8"), ("volume", "<i8"), ("turnover", "<f8"),
    ("trading_day", "<i4"), _reserved("reserved", 4),
])

#: One price level of :meth:`quotelab.Book.levels`: price, total quantity, number of orders.
Level = np.dtype([("price", "<f8"), ("quantity", "<i8"), ("orders", "<i4")])

#: Record type code (the record's first byte) of each record dtype.
TYPE_CODES = {"L1Snapshot": 1, "L2Snapshot": 2, "L2Trade": 3, "L2Order": 4, "MDIndex": 5,
              "BarData": 7}

#: The record kinds that files hold, as the program names them.
KINDS = {"tick": L2Snapshot, "bar": BarData, "order": L2Order, "trade": L2Trade}

_NAMES = {L2Snapshot: "L2Snapshot", L1Snapshot: "L1Snapshot", BarData: "BarData",
          L2Trade: "L2Trade", L2Order: "L2Order", MDIndex: "MDIndex"}


def name_of(dtype):
    """The record name ("L2Snapshot", ...) of a record dtype, or None."""
    return _NAMES.get(np.dtype(dtype))


def kind_of(dtype):
    """The file kind ("tick", "bar", "order", "trade") of a record dtype, or None."""
    dtype = np.dtype(dtype)
    for kind, d in KINDS.items():
        if d == dtype:
            return kind
    return None
