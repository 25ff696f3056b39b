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


def test_book_exchange_view_is_covered_and_an_altered_snapshot_named_by_its_line(
        sz_day, exchange_ticks, tmp_path):
    # Arrays of the day's records and snapshots: the exchange view of `book` is matched in full.
    clean = quotelab.verify(quotelab.read(sz_day["orders"]), quotelab.read(sz_day["trades"]),
                            quotelab.read(exchange_ticks), auction_view="exchange")
    assert [p.name for p in clean.phases] == ["opening auction", "continuous trading",
                                              "closing auction"]
    assert all(p.matched == p.total > 0 and p.percent == 100.0 for p in clean.phases)
    assert clean.ok and clean.closing_equal and clean.mismatches == []
    # A file with one snapshot altered: named by its line, below 100% but within the default.
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
                           auction_view="exchange").ok


def test_errors_raise_the_package_exceptions(sz_day, exchange_ticks, tmp_path):
    with pytest.raises(quotelab.FileError, match="missing.csv"):
        quotelab.verify(sz_day["orders"], sz_day["trades"], tmp_path / "missing.csv")
    with pytest.raises(quotelab.FileError, match="no snapshots of 000001 on 20240103"):
        quotelab.verify(sz_day["orders"], sz_day["trades"], exchange_ticks, date=20240103)
    with pytest.raises(ValueError, match="auction_view"):
        quotelab.verify(sz_day["orders"], sz_day["trades"], exchange_ticks, auction_view="x")
    with pytest.raises(TypeError, match="L2Snapshot"):
        quotelab.verify(sz_day["orders"], sz_day["trades"], quotelab.read(sz_day["orders"]))
