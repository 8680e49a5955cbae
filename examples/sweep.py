"""A parameter sweep over several processes with Dask's distributed scheduler.

A `zorv.run_backtest` call holds the interpreter lock for its whole run, so threads do not run
backtests side by side; processes do. This sweeps a momentum rule (hold the `top_n` strongest
names by `lookback`-day return, rebalanced monthly) over a grid of both parameters:

    python3 examples/sweep.py                           # one single-threaded worker per core
    python3 examples/sweep.py --workers 4
    python3 examples/sweep.py --scheduler tcp://host:8786   # an existing cluster

The panels go to every worker once (scattered, broadcast); each task then carries only its
strategy source. Workers import zorv themselves: it must be importable there (installed, or on
the PYTHONPATH that the worker processes inherit). Results come back as a table sorted by Sharpe.
"""
from __future__ import annotations

import argparse
import itertools
import os
from collections.abc import Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any

import dask
import pandas as pd
from dask.distributed import Client, LocalCluster

import zorv
from quickstart import synthetic_market

if TYPE_CHECKING:  # the report's TypedDicts exist only in the type stub (zorv.pyi)
    from zorv import Report

MOMENTUM = """
let mom = pct_change(close, {lookback})
rebalance(normalize_row(is_largest(mom, {top_n})), freq="ME")
"""

COLUMNS = ["sharpe", "cagr", "max_drawdown", "ann_volatility", "total_return", "num_trades"]


def strategy(lookback: int, top_n: int) -> str:
    """quaro source of one grid point."""
    return MOMENTUM.format(lookback=lookback, top_n=top_n)


def grid(lookbacks: Iterable[int], top_ns: Iterable[int]) -> list[tuple[int, int]]:
    """Every (lookback, top_n) pair, lookback-major."""
    return list(itertools.product(lookbacks, top_ns))


def run_grid(
    client: Client,
    panels: Mapping[str, Any],
    points: Sequence[tuple[int, int]],
    config: dict[str, Any] | None = None,
) -> list[Report]:
    """The report of every grid point, in the order of `points`, computed on the cluster."""
    # One object scattered to every worker; the tasks refer to it instead of carrying the panels.
    [shared] = client.scatter([dict(panels)], broadcast=True, hash=False)
    futures = [
        client.submit(zorv.run_backtest, strategy(lookback, top_n), shared, config)
        for lookback, top_n in points
    ]
    reports: list[Report] = client.gather(futures)
    return reports


def table(points: Sequence[tuple[int, int]], reports: Sequence[Report]) -> pd.DataFrame:
    """One row per grid point with its headline metrics, best Sharpe first (None as NaN, last)."""
    rows = []
    for (lookback, top_n), report in zip(points, reports):
        metrics: Mapping[str, object] = report["metrics"]
        rows.append({"lookback": lookback, "top_n": top_n, **{k: metrics[k] for k in COLUMNS}})
    frame = pd.DataFrame(rows, columns=["lookback", "top_n", *COLUMNS])
    frame[COLUMNS] = frame[COLUMNS].astype(float)
    return frame.sort_values("sharpe", ascending=False, na_position="last", kind="stable")


def local_cluster(workers: int) -> LocalCluster:
    """`workers` processes of one thread each: one backtest per process at a time."""
    # Dask starts its workers with MALLOC_TRIM_THRESHOLD_=65536, which returns freed memory to
    # the system at once; every call would then fault its panels' memory in afresh (a call takes
    # about 1.5 times as long). The C library's own default suits repeated backtests.
    with dask.config.set({"distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_": None}):
        return LocalCluster(n_workers=workers, threads_per_worker=1, processes=True)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--scheduler", help="address of a running Dask scheduler (default: a local "
                    "cluster)")
    ap.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                    help="worker processes of the local cluster (default: one per core)")
    ap.add_argument("--lookbacks", default="20,40,60,120,250",
                    help="comma-separated lookbacks in days")
    ap.add_argument("--top-n", default="5,10,20", help="comma-separated numbers of names held")
    args = ap.parse_args()
    points = grid([int(x) for x in args.lookbacks.split(",")],
                  [int(x) for x in args.top_n.split(",")])

    panels, _ = synthetic_market(n_dates=1000, n_symbols=100)
    config = {"fee_ratio": 0.001425, "tax_ratio": 0.003, "benchmark_key": "benchmark"}
    cluster = None if args.scheduler else local_cluster(args.workers)
    with Client(args.scheduler or cluster) as client:
        reports = run_grid(client, panels, points, config)
    if cluster is not None:
        cluster.close()
    print(table(points, reports).to_string(index=False, float_format=lambda x: f"{x:.4f}"))


if __name__ == "__main__":
    main()
