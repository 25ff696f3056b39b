"""Fixtures of the package's tests: simulated days written by the quotelab program."""

import os
import pathlib
import subprocess

import pytest


def pytest_configure(config):
    config.addinivalue_line("markers", "cluster: starts a Dask scheduler and workers (slow)")


@pytest.fixture(scope="session")
def program():
    path = os.environ.get("QUOTELAB_PROGRAM")
    if not path or not os.access(path, os.X_OK):
        pytest.skip("the quotelab program is not built (QUOTELAB_PROGRAM)")
    return path


@pytest.fixture(scope="session")
def run(program):
    def run(*args):
        subprocess.run([program, *map(str, args)], check=True, capture_output=True)
    return run


def _simulate(run, directory, style, orders, ext, seed=7):
    d = pathlib.Path(directory)
    day = {"orders": d / f"orders{ext}", "trades": d / f"trades{ext}",
           "sequence": d / "sequence.txt", "ticks": d / "ticks.dat"}
    run("simulate", "--style", style, "--seed", seed, "--orders", orders,
        "--orders-out", day["orders"], "--trades-out", day["trades"],
        "--sequence-out", day["sequence"])
    return day


@pytest.fixture(scope="session")
def sz_day(run, tmp_path_factory):
    """A Shenzhen day as CSV files and the snapshots `quotelab book` makes of it."""
    day = _simulate(run, tmp_path_factory.mktemp("sz"), "sz", 20000, ".csv")
    run("book", "--orders", day["orders"], "--trades", day["trades"], "--out", day["ticks"])
    return day


@pytest.fixture(scope="session")
def sh_day(run, tmp_path_factory):
    """A Shanghai day as binary files, rebuilt by `quotelab book` in the exchange's sequence."""
    day = _simulate(run, tmp_path_factory.mktemp("sh"), "sh", 20000, ".dat")
    run("book", "--orders", day["orders"], "--trades", day["trades"], "--sequence",
        day["sequence"], "--out", day["ticks"])
    return day


@pytest.fixture(scope="session")
def big_days(run, tmp_path_factory):
    """Two larger Shenzhen days (binary) for the threading tests."""
    return [_simulate(run, tmp_path_factory.mktemp(f"big{seed}"), "sz", 150000, ".dat", seed)
            for seed in (1, 2)]
