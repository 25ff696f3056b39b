"""quotelab for Python: Chinese Level-2 market data as numpy arrays.

Records are numpy structured arrays whose dtypes (:mod:`quotelab.dtypes`) are the library's
records byte for byte; arrays the library fills (files read, days rebuilt, replay batches) own
its buffers, without a copy.

    import quotelab
    orders = quotelab.read("orders.csv")             # quotelab.dtypes.L2Order records
    trades = quotelab.read("trades.csv")
    ticks = quotelab.rebuild(orders, trades)         # the day's L2 snapshots
    quotelab.to_frame(ticks)                         # a pandas DataFrame, when wanted
    quotelab.plot_day(ticks).savefig("day.png")      # the day's charts, with matplotlib
    quotelab.verify(orders, trades, "exchange_snapshots.csv").ok  # checked as `quotelab verify`

Functions: :func:`read`, :func:`write`, :func:`rebuild`, :func:`replay`, :func:`to_frame`,
:func:`from_frame`, :func:`plot_day`, :func:`verify`; the class :class:`Book` (one order book, event by
event); the exceptions :class:`Error`, :class:`FileError`, :class:`OrderBookError`, :class:`ReplayError`.
"""

from . import dtypes
from ._core import Book, version as __version__
from .book import rebuild
from .errors import Error, FileError, OrderBookError, ReplayError
from .files import read, write
from .frame import from_frame, to_frame
from .plot import plot_day
from .replay import replay
from .verify import VerifyResult, verify

__all__ = ["Book", "Error", "FileError", "OrderBookError", "ReplayError", "dtypes",
           "from_frame", "plot_day", "read", "rebuild", "replay", "to_frame",
           "verify", "VerifyResult", "write"]
