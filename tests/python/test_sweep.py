"""The sweep example on a cluster of two worker processes gives exactly the sequential reports;
its command line and printout."""
import json
import os
import pathlib
import re
import sys

import pytest

pytest.importorskip("dask.distributed")
from dask.distributed import Client, LocalCluster  # noqa: E402

import zorv  # noqa: E402

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "examples"))
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


def test_main_prints_the_table_and_the_wall_time(client, capsys):
    sweep.main(["--scheduler", client.scheduler.address, "--lookbacks", "20,60", "--top-n", "3"])
    out = capsys.readouterr().out
    assert re.search(r"^ +60 +3 ", out, re.M) and re.search(r"^ +20 +3 ", out, re.M)
    assert re.search(r"^2 backtests in \d+\.\d\d s \(wall time", out, re.M), out
