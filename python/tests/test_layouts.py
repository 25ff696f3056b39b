"""quotelab.read of exchange files: the layouts LayoutReader detects or is told."""

import pytest

import quotelab


@pytest.fixture(scope="module")
def days(run, tmp_path_factory):
    """A day per exchange in its own layout (under a YYYYMMDD directory, which gives the
    Shanghai files their date), and the Shanghai day as one merged file. That every layout
    reads and rebuilds as quotelab's own files is the program's test (input_files_test)."""
    d = tmp_path_factory.mktemp("layouts") / "20240102"
    d.mkdir()
    out = {}
    for layout in ("sh-a", "sz"):
        out[layout] = (d / f"{layout}_orders.csv", d / f"{layout}_trades.csv")
        run("simulate", "--layout", layout, "--orders", 3000, "--orders-out", out[layout][0],
            "--trades-out", out[layout][1])
    run("simulate", "--layout", "sh-ticks", "--orders", 3000, "--orders-out", d / "ticks.csv")
    return out


def test_merged_file_and_named_layout(days):
    orders, trades = quotelab.read(days["sh-a"][0].parent / "ticks.csv")
    assert orders.dtype == quotelab.dtypes.L2Order and trades.dtype == quotelab.dtypes.L2Trade
    assert orders.tobytes() == quotelab.read(days["sh-a"][0]).tobytes()
    assert len(trades) == len(quotelab.read(days["sh-a"][1]))
    named = quotelab.read(days["sz"][0], layout="sz-orders")
    assert named.tobytes() == quotelab.read(days["sz"][0]).tobytes()
    with pytest.raises(ValueError, match="layout"):
        quotelab.read(days["sz"][0], layout="no-such-layout")


def test_refused_rows_name_file_line_and_reason(days, tmp_path):
    lines = days["sz"][0].read_text().splitlines()
    lines[3] = lines[3].rsplit(",", 2)[0] + ",7,2"  # a side code the layout does not know
    bad = tmp_path / "orders.csv"
    bad.write_text("\n".join(lines) + "\n")
    with pytest.raises(quotelab.FileError, match=r"1 rows of .*orders.csv.* line 4: "):
        quotelab.read(bad)
    assert len(quotelab.read(bad, lenient=True)) == len(lines) - 2


def test_market_pass_names_refused_rows(days, tmp_path):
    """The whole-market rebuild a cluster task runs raises the package's error for a row that
    cannot be read (the program's tests check the rule and lenient runs)."""
    from quotelab import _core

    orders, trades = days["sz"]
    rows = orders.read_text().split("\n")
    fields = rows[5].split(",")
    fields[6] = "7"  # Side: neither 1 (buy) nor 2 (sell)
    rows[5] = ",".join(fields)
    broken = tmp_path / "orders.csv"
    broken.write_text("\n".join(rows))
    with pytest.raises(quotelab.FileError, match="orders.csv' line 6"):
        _core.rebuild_market(str(broken), str(trades), root=str(tmp_path), date=20240102)
