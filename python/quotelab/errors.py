"""The exceptions quotelab raises. Each carries the library's own message."""

__all__ = ["Error", "FileError", "OrderBookError", "ReplayError"]


class Error(Exception):
    """Base of every quotelab error."""


class FileError(Error, OSError):
    """A record file that cannot be read or written: the message names the file and why."""

    def __init__(self, message):
        Error.__init__(self, message)


class _CodedError(Error):
    """An error with the library's integer result ``code`` and its ``name`` (or None)."""

    def __init__(self, message, code=None, name=None):
        super().__init__(message)
        self.code = code
        self.name = name or None

    def __reduce__(self):
        return (type(self), (self.args[0], self.code, self.name))


class OrderBookError(_CodedError):
    """An order book call refused: ``code`` is its negative result, ``name`` the constant's name
    ("ORDERBOOK_NOT_FOUND", ...)."""


class ReplayError(_CodedError):
    """A replay that cannot be made or whose ``next`` failed (``code`` as it returned)."""
