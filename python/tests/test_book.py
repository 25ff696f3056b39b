"""Order books from Python: whole days against the program, event by event, errors, and the
GIL released while a day is rebuilt."""

import threading
import time

import numpy as np
import pytest

import quotelab


def test_rebuilt_day_equals_the_program(sz_day):
    ticks = quotelab.rebuild(quotelab.read(sz_day["orders"]), quotelab.read(sz_day["trades"]))
    expected = quotelab.read(sz_day["ticks"])
    assert ticks.dtype == quotelab.dtypes.L2Snapshot and len(ticks) > 100
    assert ticks.tobytes() == expected.tobytes()
    assert type(ticks.base).__name__ == "PyCapsule"


def test_rebuilt_shanghai_day_in_sequence_equals_the_program(sh_day):
    ticks = quotelab.rebuild(sh_day["orders"], sh_day["trades"], sequence=sh_day["sequence"])
    assert ticks.tobytes() == quotelab.read(sh_day["ticks"]).tobytes()
    letters = sh_day["sequence"].read_text()
    assert quotelab.rebuild(sh_day["orders"], sh_day["trades"], exchange="SSE",
                            sequence=letters).tobytes() == ticks.tobytes()


def test_rebuild_refuses_inconsistent_input(sz_day):
    orders = quotelab.read(sz_day["orders"])
    trades = quotelab.read(sz_day["trades"])
    mixed = orders.copy()
    mixed["symbol"][-1] = b"000002"
    with pytest.raises(ValueError, match="several symbols"):
        quotelab.rebuild(mixed, trades)
    assert len(quotelab.rebuild(mixed, trades, symbol="000001.SZ")) > 0
    with pytest.raises(ValueError, match="sequence names"):
        quotelab.rebuild(orders, trades, sequence="OT")
    with pytest.raises(TypeError, match="L2Order"):
        quotelab.rebuild(trades, trades)
    with pytest.raises(ValueError, match="not a date"):
        quotelab.rebuild(orders, trades, date=20240230)
    with pytest.raises(ValueError, match="none of events"):
        quotelab.rebuild(orders, trades, schedule="sz")
    with pytest.raises(ValueError, match="non-decreasing"):
        quotelab.rebuild(orders, trades, schedule=[5, 3])
    with pytest.raises(ValueError, match="auction_view"):
        quotelab.rebuild(orders, trades, auction_view="vendor")


@pytest.mark.parametrize("schedule, options", [
    ("events", ["--schedule", "events"]),
    ("grid:1000", ["--schedule", "grid:1000", "--auction-view", "exchange"]),
    ([0, 10, 10, 500], ["--schedule", "trades:{counts}"]),
])
def test_schedules_and_auction_view_equal_the_program(sz_day, run, tmp_path, schedule, options):
    counts = tmp_path / "counts.txt"
    counts.write_text("0 10 10 500")
    out = tmp_path / "ticks.dat"
    run("book", "--orders", sz_day["orders"], "--trades", sz_day["trades"], "--out", out,
        *[o.format(counts=counts) for o in options])
    view = "exchange" if "exchange" in options else None
    ticks = quotelab.rebuild(sz_day["orders"], sz_day["trades"], schedule=schedule,
                             auction_view=view)
    assert len(ticks) > 0 and ticks.tobytes() == quotelab.read(out).tobytes()


def test_a_large_day_of_several_symbols_is_refused(big_days):
    # Large days are checked beside the build, on a thread of their own.
    trades = quotelab.read(big_days[0]["trades"])
    trades["symbol"][len(trades) // 2] = b"000002"
    with pytest.raises(ValueError, match="several symbols .000001, 000002"):
        quotelab.rebuild(big_days[0]["orders"], trades)


def test_book_events_levels_and_errors():
    book = quotelab.Book("SZ", "000001")
    book.reset(20240102)
    assert book.on_l2order(1, "2", "B", 10.00, 300, 91500000) == 0
    assert book.on_l2order(2, "2", b"B", 9.99, 200, 91500100) == 0
    assert book.on_l2order(3, ord("2"), "S", 10.01, 100, 91500200) == 0
    bids = book.levels("bid", 5)
    assert bids.dtype == quotelab.dtypes.Level
    assert bids.tolist() == [(10.0, 300, 1), (9.99, 200, 1)]
    assert book.levels("S").tolist() == [(10.01, 100, 1)]
    snap = book.snapshot()
    assert snap["bid_price"][0][:2].tolist() == [10.0, 9.99] and snap["time"][0] == 91500200
    cases = [(lambda: book.on_l2order(4, "2", "B", 10.0, 1, 91400000), -2, "ORDERBOOK_EARLIER"),
             (lambda: book.on_l2order(1, "2", "B", 10.0, 1, 91500300), -7,
              "ORDERBOOK_DUPLICATE"),
             (lambda: book.on_l2trade(5, 0, 99, 0.0, 100, 91500400), -3, "ORDERBOOK_NOT_FOUND"),
             (lambda: book.on_l2order(6, "2", "X", 10.0, 1, 93000000), -5, "ORDERBOOK_BAD_SIDE")]
    for call, code, name in cases:
        with pytest.raises(quotelab.OrderBookError, match=name) as err:
            call()
        assert (err.value.code, err.value.name) == (code, name)
    with pytest.raises(TypeError):
        book.on_l2order(7, "2", "BUY", 10.0, 1, 93000000)


def test_auction_indicative():
    book = quotelab.Book("SH", "600000")
    book.reset(20240102)
    assert book.auction_indicative() == (0.0, 0, 0, "")
    book.on_l2order(1, "2", "B", 10.02, 500, 91500000)
    book.on_l2order(2, "2", "S", 10.00, 300, 91500100)
    match = book.auction_indicative()
    assert (match.matched, match.unmatched, match.unmatched_side) == (300, 200, "B")
    assert 10.00 <= match.price <= 10.02


def test_own_orders_report_fills_and_callback_errors():
    book = quotelab.Book("SZ", "000001")
    book.reset(20240102)
    book.on_l2order(1, "2", "S", 10.0, 500, 93000000)
    fills = []
    book.set_exec_callback(lambda *args: fills.append(args))
    own = book.gen_order_id()
    assert book.insert_order(own, "B", 200, 10.0) == 0
    assert fills and fills[0][:3] == (own, 0, 200)

    def fail(*args):
        raise RuntimeError("strategy failed")
    book.set_exec_callback(fail)
    with pytest.raises(RuntimeError, match="strategy failed"):
        book.insert_order(book.gen_order_id(), "B", 100, 10.0)


def _cpu_ratio_while_rebuilding(orders, trades):
    """CPU time this thread gets while another thread rebuilds a day, over that thread's."""
    done = threading.Event()
    rebuild_cpu = []

    def work():
        start = time.thread_time()
        quotelab.rebuild(orders, trades)
        rebuild_cpu.append(time.thread_time() - start)
        done.set()

    worker = threading.Thread(target=work)
    start = time.thread_time()
    worker.start()
    while not done.is_set():
        pass
    spin_cpu = time.thread_time() - start
    worker.join()
    return spin_cpu / rebuild_cpu[0]


def test_rebuild_releases_the_gil(big_days):
    # A thread that spins in Python while another rebuilds gets CPU time only when the rebuild
    # does not hold the GIL: then both share the cores (a ratio near 1); holding it, the spinning
    # thread would wait for the lock and get almost none.
    orders = quotelab.read(big_days[0]["orders"])
    trades = quotelab.read(big_days[0]["trades"])
    ratio = max(_cpu_ratio_while_rebuilding(orders, trades) for _ in range(3))
    assert ratio > 0.3
