"""pandas DataFrames of records and back (pandas is needed only here, and only when used)."""

from typing import TYPE_CHECKING, Union

import numpy as np

if TYPE_CHECKING:
    import pandas

from . import dtypes

__all__ = ["to_frame", "from_frame"]

_NS_PER_MS = 1_000_000
_MS_PER_DAY = 86_400_000
_UTC_OFFSET_MS = 8 * 3_600_000  # China Standard Time: UTC+8, no daylight saving


def _pandas():
    try:
        import pandas
    except ImportError:
        raise ImportError("quotelab.to_frame needs pandas (Debian: python3-pandas)") from None
    return pandas


def _days_from_civil(year, month, day):
    """Days since 1970-01-01 of proleptic Gregorian dates, for whole arrays."""
    y = year - (month <= 2)
    era = np.floor_divide(y, 400)
    yoe = y - era * 400
    mp = (month + 9) % 12
    doy = (153 * mp + 2) // 5 + day - 1
    doe = yoe * 365 + yoe // 4 - yoe // 100 + doy
    return era * 146097 + doe - 719468


def _datetimes(action_day, time, utc):
    """datetime64[ns] of dates YYYYMMDD and times HHMMSSmmm read as China Standard Time: the
    wall-clock time (naive), or UTC when asked. NaT where either is not a date or time."""
    day = action_day.astype(np.int64)
    t = time.astype(np.int64)
    year, month, dom = day // 10000, day // 100 % 100, day % 100
    hour, minute, sec, ms = t // 10_000_000, t // 100_000 % 100, t // 1000 % 100, t % 1000
    valid = ((year >= 1900) & (month >= 1) & (month <= 12) & (dom >= 1) & (dom <= 31)
             & (t >= 0) & (hour < 24) & (minute < 60) & (sec < 61))
    msec = (_days_from_civil(year, month, dom) * _MS_PER_DAY
            + ((hour * 60 + minute) * 60 + sec) * 1000 + ms)
    if utc:
        msec = msec - _UTC_OFFSET_MS
    out = (msec * _NS_PER_MS).astype("datetime64[ns]")
    out[~valid] = np.datetime64("NaT")
    return out


def _text(column):
    """NUL-padded bytes as str (flags of byte 0 become '')."""
    return np.char.decode(column, "utf-8", "replace").astype(object)


def to_frame(records: np.ndarray, *, utc: bool = False) -> "pandas.DataFrame":
    """A pandas DataFrame of records: one column per field, reserved bytes left out.

    Level arrays become one column per level named as the CSV files name them (ask_price1 ...
    bid_volume10); ``symbol`` and the one-character flags become str; prices stay float64 and
    counts integers. Records with ``action_day`` and ``time`` get a first column ``datetime``
    (datetime64[ns]): the China Standard Time wall-clock time, or UTC with utc=True (then
    tz-aware). Needs pandas; raises ImportError without it.
    """
    pd = _pandas()
    array = np.asarray(records)
    if array.dtype.names is None:
        raise TypeError(f"to_frame: expected an array of records, got {array.dtype}")
    array = array.reshape(-1)
    columns = {}
    names = array.dtype.names
    if "action_day" in names and "time" in names:
        stamps = _datetimes(array["action_day"], array["time"], utc)
        columns["datetime"] = pd.DatetimeIndex(stamps, tz="UTC" if utc else None)
    for name in names:
        if name.startswith("reserved"):
            continue
        field = array.dtype.fields[name][0]
        values = array[name]
        if field.shape:
            for level in range(field.shape[0]):
                columns[f"{name}{level + 1}"] = values[:, level]
        elif field.kind == "S":
            columns[name] = _text(values)
        else:
            columns[name] = values
    return pd.DataFrame(columns, copy=False)


def from_frame(frame: "pandas.DataFrame", dtype: Union[str, np.dtype]) -> np.ndarray:
    """Records of ``dtype`` (a quotelab.dtypes record type, or a kind "tick", "bar", "order",
    "trade") from a DataFrame with to_frame's columns. Columns it lacks are 0 (the record type
    code is set); action_day and time come from a ``datetime`` column when they are absent."""
    if isinstance(dtype, str):
        if dtype not in dtypes.KINDS:
            raise ValueError(f"from_frame: '{dtype}' is not tick, bar, order or trade")
        dtype = dtypes.KINDS[dtype]
    dtype = np.dtype(dtype)
    out = np.zeros(len(frame), dtype=dtype)
    out["type"] = dtypes.TYPE_CODES[dtypes.name_of(dtype)]
    for name in dtype.names:
        field = dtype.fields[name][0]
        if field.shape:
            for level in range(field.shape[0]):
                column = f"{name}{level + 1}"
                if column in frame:
                    out[name][:, level] = frame[column].to_numpy()
        elif name in frame:
            values = frame[name].to_numpy()
            if field.kind == "S":
                values = np.array([str(v).encode() for v in values], dtype=field)
            out[name] = values
    if "datetime" in frame and "action_day" not in frame:
        stamps = frame["datetime"]
        if getattr(stamps.dt, "tz", None) is not None:
            stamps = stamps.dt.tz_convert("UTC").dt.tz_localize(None) + np.timedelta64(8, "h")
        day = stamps.dt.year * 10000 + stamps.dt.month * 100 + stamps.dt.day
        time = ((stamps.dt.hour * 10000 + stamps.dt.minute * 100 + stamps.dt.second) * 1000
                + stamps.dt.microsecond // 1000)
        out["action_day"] = day.fillna(0).to_numpy()  # NaT: no date, no time
        out["time"] = time.fillna(0).to_numpy()
    return out
