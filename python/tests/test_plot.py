"""plot_day: the report's charts with matplotlib, on a synthetic day of snapshots."""

import importlib.util
import io
import pathlib

import numpy as np
import pytest

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")

# Loaded by path: the module needs nothing else of the package.
_spec = importlib.util.spec_from_file_location(
    "quotelab_plot", pathlib.Path(__file__).resolve().parents[1] / "quotelab" / "plot.py")
plot = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(plot)

# The fields of quotelab.dtypes.L2Snapshot that plot_day reads, at their offsets.
SNAPSHOT = np.dtype({
    "names": ["symbol", "time", "last", "volume", "trading_day", "ask_price", "ask_volume",
              "bid_price", "bid_volume"],
    "formats": ["S30", "<i4", "<f8", "<i8", "<i4", ("<f8", 10), ("<i4", 10), ("<f8", 10),
                ("<i4", 10)],
    "offsets": [2, 44, 72, 80, 172, 224, 304, 344, 424],
    "itemsize": 464})


def hhmmssmmm(ms):
    ms = np.asarray(ms, dtype=np.int64)
    return (ms // 3600000 * 10000000 + ms // 60000 % 60 * 100000 + ms // 1000 % 60 * 1000
            + ms % 1000).astype(np.int32)


def synthetic_day(step_ms=3000, seed=7):
    """Auction snapshots every 5 s from 09:15, then every step_ms through both sessions and
    a final one at 15:00:00.000; the volume rises at every snapshot from 09:25 on."""
    h = 3600000
    ms = np.r_[np.arange(9 * h + 15 * 60000, 9 * h + 25 * 60000, 5000),
               np.arange(9.5 * h, 11.5 * h, step_ms), np.arange(13 * h, 15 * h, step_ms),
               15 * h].astype(np.int64)
    rng = np.random.default_rng(seed)
    s = np.zeros(len(ms), SNAPSHOT)
    s["symbol"] = b"000001"
    s["trading_day"] = 20240102
    s["time"] = hhmmssmmm(ms)
    mid = 10 + np.cumsum(rng.normal(0, 0.005, len(ms)))
    s["last"] = np.where(ms >= 9 * h + 25 * 60000, np.round(mid, 2), 0)
    s["volume"] = np.cumsum(np.where(ms >= 9 * h + 25 * 60000, 100, 0))
    s["bid_price"] = np.round(mid, 2)[:, None] - 0.01 * np.arange(1, 11)
    s["ask_price"] = np.round(mid, 2)[:, None] + 0.01 * np.arange(1, 11)
    s["bid_volume"] = rng.integers(100, 5000, (len(ms), 10))
    s["ask_volume"] = rng.integers(100, 5000, (len(ms), 10))
    return s


def line_of(ax, label):
    (line,) = [ln for ln in ax.get_lines() if ln.get_label() == label]
    return line.get_xdata()


def test_plot_day_draws_the_four_charts_from_downsampled_series():
    day = synthetic_day()
    fig = plot.plot_day(day)
    price, spread, depth, volume = fig.axes[:4]
    x = line_of(price, "last")
    assert np.isnan(x).sum() == 1  # the lunch break cuts the line once
    assert 1000 <= np.isfinite(x).sum() <= plot._LINE_POINTS
    labels = [t.get_text() for t in volume.get_xticklabels()]
    for label in ("09:15", "09:30", "11:30/13:00", "14:30", "15:00"):
        assert label in labels
    assert [t.get_text() for t in depth.get_yticklabels()] == ["ask 10", "ask 1", "bid 1",
                                                               "bid 10"]
    # A bar for every minute in which the volume rose; 15:00:00.000 counts to 14:59.
    minutes = {min(int(t) // 100000 // 100 * 60 + int(t) // 100000 % 100, 899)
               for t in day["time"][day["volume"] > np.r_[0, day["volume"][:-1]]]}
    assert len(volume.containers[0]) == len(minutes)
    assert fig._suptitle.get_text() == "000001 20240102"
    png = io.BytesIO()
    fig.savefig(png, format="png", dpi=50)
    assert png.getvalue().startswith(b"\x89PNG") and len(png.getvalue()) > 10000


def test_a_finely_rebuilt_day_draws_as_many_points():
    day = synthetic_day(step_ms=50)  # 288,000 snapshots
    fig = plot.plot_day(day)
    assert np.isfinite(line_of(fig.axes[0], "last")).sum() <= plot._LINE_POINTS


class Mismatch:
    def __init__(self, time):
        self.time = time


@pytest.mark.parametrize("mismatches", [
    [Mismatch(100000000), Mismatch(100000500), Mismatch(133000000)],
    [{"time": 100000000}, {"time": 100000500}, {"time": 133000000}],
    [100000000, 100000500, 133000000],
])
def test_check_gives_coverage_in_the_title_and_marks_mismatches(mismatches):
    check = {"phases": [("opening auction", 120, 120), ("continuous trading", 4700, 4702),
                        ("closing auction", 0, 0)],
             "mismatches": mismatches}
    fig = plot.plot_day(synthetic_day(), check=check)
    title = fig._suptitle.get_text()
    assert "continuous trading 4700/4702 (99.96%)" in title
    assert "closing auction -" in title
    marks = [ln for ln in fig.axes[0].get_lines() if ln.get_label().startswith("_")]
    assert len(marks) == 2  # 10:00:00.000 and 10:00:00.500 share a mark


def test_records_without_the_fields_are_refused():
    with pytest.raises(ValueError, match="no field .*ask_price"):
        plot.plot_day(np.zeros(3, [("time", "<i4"), ("last", "<f8"), ("volume", "<i8")]))


def test_the_package_plots_its_own_snapshot_records():
    quotelab = pytest.importorskip("quotelab")
    day = synthetic_day()
    records = np.zeros(len(day), quotelab.dtypes.L2Snapshot)
    for name in SNAPSHOT.names:
        records[name] = day[name]
    fig = quotelab.plot_day(records)
    assert np.isfinite(line_of(fig.axes[0], "last")).sum() > 1000
