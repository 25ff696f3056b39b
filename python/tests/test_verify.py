"""quotelab.verify: the program's check of a rebuilt day against the exchange's snapshots."""

import pytest

import quotelab


@pytest.fixture(scope="module")
def exchange_ticks(sz_day, run, tmp_path_factory):
    """The exchange's view of the Shenzhen day: `quotelab book --auction-view exchange`."""
    path = tmp_path_factory.mktemp("verify") / "exchange_ticks.csv"
    run("book", "--orders", sz_day["orders"], "--trades", sz_day["trades"], "--auction-view",
        "exchange", "--out", path)
    return path


def test_the_day_against_its_own_snapshots_is_covered_in_full(sz_day, exchange_ticks):
    result = quotelab.verify(sz_day["orders"], sz_day["trades"], exchange_ticks,
                             auction_view="exchange")
    assert [p.name for p in result.phases] == ["opening auction", "continuous trading",
                                               "closing auction"]
    assert all(p.matched == p.total > 0 and p.percent == 100.0 for p in result.phases)
    assert result.ok and result.closing_equal and result.mismatches == []
    # An array of the snapshots checks the same.
    array = quotelab.verify(quotelab.read(sz_day["orders"]), quotelab.read(sz_day["trades"]),
                            quotelab.read(exchange_ticks), auction_view="exchange")
    assert array.phases == result.phases


def test_an_altered_snapshot_is_one_mismatch_with_its_line(sz_day, exchange_ticks, tmp_path):
    ticks = quotelab.read(exchange_ticks)
    index = len(ticks) // 2
    ticks["bid_volume"][index][2] += 100
    altered = tmp_path / "altered.csv"
    quotelab.write(altered, ticks)
    result = quotelab.verify(sz_day["orders"], sz_day["trades"], altered,
                             auction_view="exchange", min_coverage=100)
    assert result.mismatch_count == 1 and not result.ok
    [m] = result.mismatches
    assert (m.line, m.time, m.phase) == (index + 2, ticks["time"][index], "continuous trading")
    [d] = m.differences
    assert (d.side, d.level, d.volume - d.rebuilt_volume) == ("bid", 3, 100)
    assert quotelab.verify(sz_day["orders"], sz_day["trades"], altered,
                           auction_view="exchange").ok  # 99.9% is enough by default


def test_errors_raise_the_package_exceptions(sz_day, exchange_ticks, tmp_path):
    with pytest.raises(quotelab.FileError, match="missing.csv"):
        quotelab.verify(sz_day["orders"], sz_day["trades"], tmp_path / "missing.csv")
    with pytest.raises(quotelab.FileError, match="no snapshots of 000001 on 20240103"):
        quotelab.verify(sz_day["orders"], sz_day["trades"], exchange_ticks, date=20240103)
    with pytest.raises(ValueError, match="auction_view"):
        quotelab.verify(sz_day["orders"], sz_day["trades"], exchange_ticks, auction_view="x")
    with pytest.raises(TypeError, match="L2Snapshot"):
        quotelab.verify(sz_day["orders"], sz_day["trades"], quotelab.read(sz_day["orders"]))
