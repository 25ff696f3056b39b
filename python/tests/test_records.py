"""Records as numpy arrays: the dtypes against the C layouts, arrays that own the library's
buffers, files read and written."""

import numpy as np
import pytest

import quotelab
from quotelab import _core, dtypes


@pytest.mark.parametrize("name", ["L2Snapshot", "L2Trade", "L2Order", "BarData", "MDIndex",
                                  "L1Snapshot"])
def test_dtype_matches_the_c_layout(name):
    layout = _core.record_layouts()[name]
    dtype = getattr(dtypes, name)
    assert dtype.itemsize == layout["size"]
    assert list(dtype.names) == list(layout["fields"])
    for field, (offset, size) in layout["fields"].items():
        assert (dtype.fields[field][1], dtype.fields[field][0].itemsize) == (offset, size), field
    assert _core.record_size(dtypes.TYPE_CODES[name]) in (0, layout["size"])


def test_read_gives_the_library_buffer_without_a_copy(sz_day):
    orders = quotelab.read(sz_day["orders"])
    assert orders.dtype == dtypes.L2Order
    assert not orders.flags.owndata
    assert type(orders.base).__name__ == "PyCapsule"
    # Writable in place: the array is the buffer, not a view of a copy held elsewhere.
    orders["price"][0] = 1.5
    assert orders[0]["price"] == 1.5


@pytest.mark.parametrize("ext", [".csv", ".dat"])
def test_write_and_read_back(sz_day, tmp_path, ext):
    for kind in ("orders", "trades", "ticks"):
        records = quotelab.read(sz_day[kind])
        path = tmp_path / f"{kind}{ext}"
        assert quotelab.write(path, records) == len(records)
        again = quotelab.read(path)
        assert again.dtype == records.dtype
        assert again.tobytes() == records.tobytes(), kind


def test_kind_and_symbol_selection(sz_day, tmp_path):
    ticks = quotelab.read(sz_day["ticks"])
    other = ticks[:5].copy()
    other["symbol"] = b"600000"
    other["exchange"] = 1
    path = tmp_path / "mixed.csv"
    quotelab.write(path, np.concatenate([ticks, other]))
    assert quotelab.read(path).dtype == dtypes.L2Snapshot
    assert len(quotelab.read(path, symbol="600000.SH")) == 5
    assert len(quotelab.read(path, symbol="600000.SZ")) == 0
    assert len(quotelab.read(path, kind="tick", symbol="000001")) == len(ticks)


def test_file_errors_are_exceptions(sz_day, tmp_path):
    with pytest.raises(quotelab.FileError, match="missing.csv"):
        quotelab.read(tmp_path / "missing.csv")
    assert issubclass(quotelab.FileError, OSError)
    bad = tmp_path / "bad.dat"
    bad.write_bytes(b"\x04" * 100)  # not a whole number of 68-byte orders
    with pytest.raises(quotelab.FileError, match="not a multiple of 68"):
        quotelab.read(bad)
    headless = tmp_path / "vendor.csv"
    headless.write_text("a,b\n1,2\n")
    with pytest.raises(quotelab.FileError, match="cannot tell"):
        quotelab.read(headless)
    with pytest.raises(ValueError, match="kind"):
        quotelab.read(sz_day["orders"], kind="quote")
    with pytest.raises(TypeError):
        quotelab.write(tmp_path / "x.dat", np.zeros(3))
