"""The sweep example on a cluster of two worker processes gives exactly the sequential reports;
its command line and printout."""
import json
import os
import pathlib
import re
import socket
import subprocess
import sys

import pytest

pytest.importorskip("dask.distributed")
from dask.distributed import Client, LocalCluster  # noqa: E402

import zorv  # noqa: E402

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
sys.path.insert(0, str(EXAMPLES))
import sweep  # noqa: E402
from quickstart import synthetic_market  # noqa: E402


@pytest.fixture(scope="module")
def client():
    # Dask sets variables for its workers (OMP_NUM_THREADS, PYTHONHASHSEED, ...) in this process's
    # own environment; later tests get it back as it was.
    saved = dict(os.environ)
    try:
        # Port 0 and no dashboard: nothing to collide with other clusters on the machine.
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, scheduler_port=0,
                          dashboard_address=None) as cluster, Client(cluster) as c:
            yield c
    finally:
        os.environ.clear()
        os.environ.update(saved)


def test_workers_import_the_same_module(client):
    files = client.run(lambda: __import__("zorv").__file__)
    assert len(files) == 2
    assert set(files.values()) == {zorv.__file__}


def test_sweep_reports_equal_sequential_runs(client):
    panels, industry = synthetic_market(n_dates=300, n_symbols=30)
    config = {"fee_ratio": 0.001425, "benchmark_key": "benchmark", "bootstrap_samples": 20}
    points = sweep.grid([20, 60, 120], [3, 8])
    reports = sweep.run_grid(client, panels, points, config)

    assert len(reports) == len(points)
    seen = set()
    for (lookback, top_n), report in zip(points, reports):
        expected = zorv.run_backtest(sweep.strategy(lookback, top_n), panels, config=config)
        # Text of both: NaN compares equal to NaN there, and every bit of every float counts.
        text = json.dumps(report, sort_keys=True)
        assert text == json.dumps(expected, sort_keys=True), (lookback, top_n)
        seen.add(text)
    assert len(seen) == len(points), "grid points must give different runs"

    frame = sweep.table(points, reports)
    assert sorted(zip(frame["lookback"], frame["top_n"])) == sorted(points)
    sharpe = frame["sharpe"].dropna().tolist()
    assert sharpe == sorted(sharpe, reverse=True)
    assert frame["sharpe"].isna().tolist() == sorted(frame["sharpe"].isna().tolist())


@pytest.mark.parametrize("argv", [
    ["--scheduler", "tcp://127.0.0.1:8786", "--workers", "2"],
    ["--workers", "2", "--scheduler", "tcp://127.0.0.1:8786"],
    # A count equal to the local cluster's default must clash all the same.
    ["--scheduler", "tcp://127.0.0.1:8786", "--workers", str(os.cpu_count() or 1)],
])
def test_workers_and_scheduler_exclude_each_other(argv, capsys):
    with pytest.raises(SystemExit) as exit_:
        sweep.arguments(argv)
    assert exit_.value.code == 2
    assert "not allowed with argument" in capsys.readouterr().err


def run_sweep(*argv):
    """The example as a command, in its own process."""
    return subprocess.run([sys.executable, str(EXAMPLES / "sweep.py"), *argv],
                          capture_output=True, text=True, timeout=300)


@pytest.mark.parametrize("option, value", [
    ("--workers", "0"),  # a local cluster without workers would wait for one
    ("--workers", "four"),
    ("--lookbacks", "20,,60"),
    ("--lookbacks", "0,20"),
    ("--top-n", "5;10"),
])
def test_bad_counts_are_refused_by_the_parser(option, value):
    done = run_sweep(option, value)
    assert done.returncode == 2, done.stderr
    assert done.stdout == ""
    assert done.stderr.splitlines()[-1].startswith(f"sweep.py: error: argument {option}: ")
    assert repr(value) in done.stderr


@pytest.fixture
def refusing_port():
    """A local port that refuses connections: bound, so that nothing else takes it, but not
    listening."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        yield s.getsockname()[1]


@pytest.mark.parametrize("address", [
    "tcp://127.0.0.1:{port}",
    "nosuchscheme://127.0.0.1:{port}",
])
def test_a_scheduler_out_of_reach_ends_in_one_line(refusing_port, address):
    address = address.format(port=refusing_port)
    done = run_sweep("--scheduler", address)
    assert done.returncode == 1, done.stderr
    assert done.stdout == ""
    [line] = done.stderr.splitlines()
    assert line.startswith(f"sweep.py: cannot reach the Dask scheduler at {address}: ")


def test_main_prints_the_table_and_the_wall_time(client, capsys):
    sweep.main(["--scheduler", client.scheduler.address, "--lookbacks", "20,60", "--top-n", "3"])
    out = capsys.readouterr().out
    assert re.search(r"^ +60 +3 ", out, re.M) and re.search(r"^ +20 +3 ", out, re.M)
    assert re.search(r"^2 backtests in \d+\.\d\d s \(wall time", out, re.M), out
