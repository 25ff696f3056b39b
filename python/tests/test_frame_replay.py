"""DataFrames of records and back; replays in batches."""

import numpy as np
import pytest

import quotelab

pd = pytest.importorskip("pandas")


def test_to_frame_types_and_round_trip(sz_day):
    for kind in ("orders", "trades", "ticks"):
        records = quotelab.read(sz_day[kind])
        frame = quotelab.to_frame(records)
        assert frame["datetime"].dtype == np.dtype("datetime64[ns]")
        assert frame["symbol"].iloc[0] == "000001"
        assert not any(c.startswith("reserved") for c in frame.columns)
        assert quotelab.from_frame(frame, records.dtype).tobytes() == records.tobytes(), kind
    ticks = quotelab.to_frame(quotelab.read(sz_day["ticks"]))
    assert ticks["ask_price1"].dtype == np.float64 and "bid_volume10" in ticks
    orders = quotelab.to_frame(quotelab.read(sz_day["orders"]))
    assert set(orders["bs_flag"]) == {"B", "S"}


def test_datetimes_are_china_time():
    rec = np.zeros(3, dtype=quotelab.dtypes.L2Trade)
    rec["action_day"] = [20240102, 20240229, 0]
    rec["time"] = [93000123, 145959999, 93000000]
    frame = quotelab.to_frame(rec)
    assert frame["datetime"].tolist()[:2] == [pd.Timestamp("2024-01-02 09:30:00.123"),
                                              pd.Timestamp("2024-02-29 14:59:59.999")]
    assert pd.isna(frame["datetime"].iloc[2])
    utc = quotelab.to_frame(rec, utc=True)["datetime"]
    assert utc.iloc[0] == pd.Timestamp("2024-01-02 01:30:00.123", tz="UTC")
    back = quotelab.from_frame(quotelab.to_frame(rec, utc=True).drop(
        columns=["action_day", "time"]), "trade")
    assert back["time"][:2].tolist() == [93000123, 145959999]


def test_replay_batches(sz_day, tmp_path):
    ticks = quotelab.read(sz_day["ticks"])
    batches = list(quotelab.replay("bin", 20240102, file=sz_day["ticks"], batch=1000))
    assert [len(b) for b in batches[:-1]] == [1000] * (len(batches) - 1)
    assert np.concatenate(batches).tobytes() == ticks.tobytes()
    assert type(batches[0].base).__name__ == "PyCapsule"
    # Two days in one file: the second goes on where the first stopped. A binary replay
    # consumes the record that ends a day, so the second day starts one record in.
    two_days = ticks.copy()
    two_days["trading_day"][len(ticks) // 2:] = 20240103
    path = tmp_path / "two_days.dat"
    quotelab.write(path, two_days)
    days = list(quotelab.replay("bin", [20240102, 20240103], file=path, batch=1000))
    half = len(ticks) // 2
    assert np.concatenate(days).tobytes() == np.delete(two_days, half).tobytes()
    mock = list(quotelab.replay("mock", 20240102, frequency="1m"))
    assert len(mock) == 1 and mock[0].dtype == quotelab.dtypes.BarData and len(mock[0]) == 60
    assert list(quotelab.replay("csv", 20240103, file=sz_day["orders"])) == []
    with pytest.raises(quotelab.FileError):
        quotelab.replay("bin", 20240102, file="/nonexistent.dat")
    with pytest.raises(quotelab.ReplayError):
        quotelab.replay("/nonexistent/plugin.so", 20240102)
