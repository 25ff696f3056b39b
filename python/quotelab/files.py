"""Reading and writing record files: CSV files whose header DataCsvReader binds, exchange and
vendor files in a layout LayoutReader knows, and binary files of records, as the ``quotelab``
program reads and writes them."""

import os
from typing import Optional

import numpy as np

from . import _core, dtypes
from .errors import FileError
from .records import select_symbol

__all__ = ["read", "write"]


def _format_of(path, format):
    if format is not None:
        return format
    return "csv" if path.lower().endswith(".csv") else "bin"


_LAYOUT_KINDS = {"orders": "order", "trades": "trade", "snapshots": "tick"}


def _select(records, symbol):
    if symbol is None:
        return records
    if isinstance(records, tuple):
        return tuple(select_symbol(r, symbol) for r in records)
    return select_symbol(records, symbol)


def read(path: "os.PathLike | str", kind: Optional[str] = None, layout: Optional[str] = None,
         symbol: Optional[str] = None, *, format: Optional[str] = None,
         delimiter: str = ",", lenient: bool = False) -> "np.ndarray | tuple":
    """Reads a record file into a numpy array of records, without copying them again.

    path:      a CSV file with a header row (``.csv``) or a binary file of records.
    kind:      "tick", "bar", "order" or "trade"; by default the kind a CSV header binds (trade
               when it has bid and ask sequence numbers, order with an order type column, tick
               with price levels, bar with a close) or a binary file's first type code.
    layout:    an exchange's or vendor's file layout: a built-in name ("sh-a-orders",
               "sz-trades", "sh-ticks", ... as ``quotelab columns --profiles`` lists them) or
               a profile file's path. By default a CSV header that is one of the built-in
               layouts is read in it; other CSV files go through DataCsvReader.
    symbol:    keep only this instrument's records ("000001", or "000001.SZ" to match the
               exchange too); the result is then a copy unless every record matches.
    format:    "csv" or "bin" to override the file name's verdict.
    delimiter: the CSV field separator.
    lenient:   skip the rows a layout refuses instead of raising FileError.

    Returns an array of the kind's dtype (quotelab.dtypes.L2Snapshot, BarData, L2Order,
    L2Trade) that owns the library's buffer; a merged tick-by-tick file (orders and trades in
    one stream) gives a tuple (orders, trades). Raises FileError for a file that cannot be read,
    a row without an instrument or rows a layout refuses (the message names file, line and
    reason), ValueError for a bad kind or layout.
    """
    path = os.fspath(path)
    if isinstance(path, bytes):
        path = os.fsdecode(path)
    fmt = _format_of(path, format)
    if layout is not None or fmt == "csv":
        read_in_layout = _core.read_layout(path, os.fspath(layout or ""), delimiter, lenient)
        if read_in_layout is not None:
            content, records = read_in_layout
            if kind is not None and _LAYOUT_KINDS.get(content) != kind:
                raise ValueError(f"kind: '{path}' holds {content}, not {kind} records")
            return _select(records, symbol)
    if kind is None:
        if not os.path.isfile(path):
            raise FileError(f"cannot open '{path}': "
                            + ("it is a directory" if os.path.isdir(path)
                               else "No such file or directory"))
        kind = _core.csv_kind(path, delimiter) if fmt == "csv" else _core.binary_kind(path)
        if not kind:
            raise FileError(f"'{path}': cannot tell which records it holds; give kind='tick', "
                            "'bar', 'order' or 'trade'")
    records = _core.read_file(path, kind, fmt, delimiter)
    return records if symbol is None else select_symbol(records, symbol)


def write(path: "os.PathLike | str", records: np.ndarray, *, format: Optional[str] = None,
          delimiter: str = ",") -> int:
    """Writes records (an array of a quotelab.dtypes record type: ticks, bars, orders or
    trades) to ``path``: CSV with a header row that :func:`read` binds again when the name ends
    in ``.csv`` (or format="csv"), else binary records. Returns the number of records written;
    raises FileError when the file cannot be written."""
    array = np.ascontiguousarray(records)
    kind = dtypes.kind_of(array.dtype)
    if kind is None:
        raise TypeError(f"write: expected ticks, bars, orders or trades (quotelab.dtypes), "
                        f"got an array of {array.dtype}")
    if array.ndim != 1:
        array = array.reshape(-1)
    path = os.fspath(path)
    return _core.write_file(path, array, kind, _format_of(path, format), delimiter)
