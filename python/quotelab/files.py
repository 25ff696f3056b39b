"""Reading and writing record files: CSV files whose header DataCsvReader binds, and binary
files of records, as the ``quotelab`` program reads and writes them."""

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


def read(path: "os.PathLike | str", kind: Optional[str] = None, layout: Optional[str] = None,
         symbol: Optional[str] = None, *, format: Optional[str] = None,
         delimiter: str = ",") -> np.ndarray:
    """Reads a record file into a numpy array of records, without copying them again.

    path:      a CSV file with a header row (``.csv``) or a binary file of records.
    kind:      "tick", "bar", "order" or "trade"; by default the kind a CSV header binds (trade
               when it has bid and ask sequence numbers, order with an order type column, tick
               with price levels, bar with a close) or a binary file's first type code.
    layout:    vendor file layouts are not part of this build: only None is accepted.
    symbol:    keep only this instrument's records ("000001", or "000001.SZ" to match the
               exchange too); the result is then a copy unless every record matches.
    format:    "csv" or "bin" to override the file name's verdict.
    delimiter: the CSV field separator.

    Returns an array of the kind's dtype (quotelab.dtypes.L2Snapshot, BarData, L2Order,
    L2Trade) that owns the library's buffer. Raises FileError for a file that cannot be read or
    a row without an instrument (the message names file and line), ValueError for a bad kind.
    """
    if layout is not None:
        raise NotImplementedError("layout=: vendor file layouts are not part of this build of "
                                  "quotelab; CSV headers are bound by DataCsvReader's names")
    path = os.fspath(path)
    if isinstance(path, bytes):
        path = os.fsdecode(path)
    fmt = _format_of(path, format)
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
