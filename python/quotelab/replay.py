"""Replaying stored, generated or plug-in market data day by day, in batches of records."""

import os
from typing import Iterable, Iterator, Optional, Union

import numpy as np

from . import _core
from .errors import FileError, ReplayError

__all__ = ["replay"]

_FILE_KINDS = ("bin", "csv")


def replay(kind: str, day: Union[int, Iterable[int]], frequency: str = "tick",
           file: "Optional[os.PathLike | str]" = None, *, market: str = "", batch: int = 65536,
           plugin_param: int = 0) -> Iterator[np.ndarray]:
    """Replays a day (or several, in order) through a replay of ``kind`` and yields its records
    in batches: numpy arrays of one record type each, owning the records (no further copy).

    kind:      "bin" (a binary tick or bar file), "csv" (a CSV file DataCsvReader binds),
               "mock" (60 generated records), "empty", or the path of a replay plug-in.
    day:       the trading day YYYYMMDD, or an iterable of days: the replay goes on from where
               the previous day stopped (replays never rewind).
    frequency: "tick" (or "tick2") for snapshots, else bars ("1m", "daily", ...).
    file:      the data file of "bin" and "csv".
    batch:     records per array at most.

    A day ends where the replay reports a record of another day (-2) and the whole replay where
    it has no more records. Raises FileError for a missing file, ReplayError when the replay
    cannot be made or fails (its code in ``.code``).

    Note: a binary replay consumes the record that ends a day, so with several days each later
    day starts one record in (the "bin" kind's own behaviour).
    """
    path = "" if file is None else os.fspath(file)
    if str(kind).lower() in _FILE_KINDS and not os.path.isfile(path):
        raise FileError(f"cannot open '{path}': No such file" if path
                        else f"replay of kind '{kind}' needs file=")
    days = [day] if isinstance(day, int) else [int(d) for d in day]
    if batch < 1:
        raise ValueError("batch: expected at least one record")
    source = _core.Replay(str(kind), str(frequency), str(market), path, int(plugin_param))
    return _batches(source, days, int(batch))


def _batches(source, days, batch):
    for day in days:
        result = source.init(day)
        if result == -3:
            return  # nothing left to replay
        if result < 0:
            raise ReplayError(f"replay init({day}) failed with {result}", result)
        source.start()
        while True:
            records = source.next_batch(batch)
            if records is None:
                break
            yield records
        if source.stop != -2:
            return  # the source has no more records
