"""Helpers shared by the package's functions: records handed in, symbols, dates."""

import datetime
import os

import numpy as np

from . import _core, dtypes

__all__ = ["as_records", "split_symbol", "select_symbol", "check_date"]


def as_records(obj, dtype, what):
    """``obj`` as a contiguous array of ``dtype`` records: such an array itself (no copy), a
    path to read, or a pandas DataFrame of :func:`quotelab.to_frame`'s columns."""
    if isinstance(obj, (str, bytes, os.PathLike)):
        from .files import read
        return read(obj, kind=dtypes.kind_of(dtype))
    if type(obj).__name__ == "DataFrame":
        from .frame import from_frame
        return from_frame(obj, dtype)
    array = np.asarray(obj)
    if array.dtype != dtype:
        raise TypeError(f"{what}: expected records of quotelab.dtypes.{dtypes.name_of(dtype)}, "
                        f"got an array of {array.dtype}")
    if array.ndim != 1:
        raise TypeError(f"{what}: expected a one-dimensional array of records")
    return np.ascontiguousarray(array)


def split_symbol(text):
    """("000001", 2) for "000001.SZ": the code and the exchange code of its suffix (0 when it
    has none). A suffix no exchange is known by raises ValueError."""
    code, dot, suffix = str(text).partition(".")
    if not dot:
        return code, 0
    exchange = _core.exchange_code(suffix)
    if exchange == 0:
        raise ValueError(f"symbol: '{text}' names no exchange quotelab knows ('{suffix}')")
    return code, exchange


def _key_dtype(offset, size, itemsize):
    """Integer fields covering ``size`` bytes from ``offset`` of an ``itemsize``-byte record: a
    symbol compared this way costs a few integer compares instead of a string compare."""
    names, formats, offsets, at = [], [], [], 0
    for width, fmt in ((8, "<u8"), (4, "<u4"), (2, "<u2"), (1, "u1")):
        while size - at >= width:
            names.append(f"s{at}")
            formats.append(fmt)
            offsets.append(offset + at)
            at += width
    return np.dtype({"names": names, "formats": formats, "offsets": offsets,
                     "itemsize": itemsize})


def _same_symbol(records, padded):
    """Boolean mask of the records whose symbol field holds exactly the bytes ``padded``."""
    size = len(padded)
    key = records.view(_key_dtype(records.dtype.fields["symbol"][1], size,
                                  records.dtype.itemsize))
    wanted = np.frombuffer(padded, dtype=_key_dtype(0, size, size))[0]
    mask = np.ones(len(records), dtype=bool)
    for name in key.dtype.names:
        mask &= key[name] == wanted[name]
    return mask


def _padded(records, code):
    size = records.dtype["symbol"].itemsize
    raw = code.encode()
    if len(raw) >= size:
        raise ValueError(f"symbol: '{code}' is longer than {size - 1} characters")
    return raw.ljust(size, b"\0")


def select_symbol(records, symbol):
    """The records of ``symbol`` ("000001", or "000001.SZ" to match the exchange too). The
    array itself when every record matches, else a copy of those that do."""
    code, exchange = split_symbol(symbol)
    mask = _same_symbol(records, _padded(records, code))
    if exchange:
        mask &= records["exchange"] == exchange
    return records if mask.all() else records[mask]


def check_date(date, what="date"):
    """``date`` (YYYYMMDD) as an int; ValueError when it is not a calendar date."""
    value = int(date)
    try:
        datetime.date(value // 10000, value // 100 % 100, value % 100)
    except ValueError:
        raise ValueError(f"{what}: {date} is not a date YYYYMMDD") from None
    if not 19000101 <= value <= 29991231:
        raise ValueError(f"{what}: {date} is not a date YYYYMMDD")
    return value
