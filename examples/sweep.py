"""A parameter sweep over several processes with Dask's distributed scheduler.

A `zorv.run_backtest` call holds the interpreter lock for its whole run, so threads do not run
backtests side by side; processes do. This sweeps a momentum rule (hold the `top_n` strongest
names by `lookback`-day return, rebalanced monthly) over a grid of both parameters, and prints
the wall time of the sweep:

    python3 examples/sweep.py                           # one single-threaded worker per core
    python3 examples/sweep.py --workers 4
    python3 examples/sweep.py --scheduler tcp://host:8786   # an existing cluster (no --workers)

The panels go to every worker once (scattered, broadcast); each task then carries only its
strategy source. Workers import zorv themselves: it must be importable there (installed, or on
the PYTHONPATH that the worker processes inherit). Results come back as a table sorted by Sharpe.

A cluster pays only when each call takes well above the per-task overhead (scheduling, and
sending the report back: milliseconds to tens of milliseconds a task) and the grid is large
enough to repay the one-off scatter of the panels. The default grid on the small default market
(15 calls of about 6 ms on 1,000 dates x 100 symbols) runs faster in a plain loop: on 8 cores,
about 0.09 s one call after another against 0.2 to 0.4 s on a local cluster of 8 workers (the
first sweep on a fresh cluster is the slower), of which the scatter alone takes about 0.1 s.
Measured in bench/RESULTS.md (`bench/sweep.py`): 64 calls on 2,520 dates x 500 symbols (33 ms a
call) took 2.11 s one after another and 1.05 s on a local cluster of 8 single-threaded workers,
scatter and gather included: a 2.02x speed-up. A plain fork pool whose processes already held
the panels reached 4.02x.
"""
from __future__ import annotations

import argparse
import itertools
import os
import sys
import time
from collections.abc import Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any

import dask
import pandas as pd
from dask.distributed import Client, LocalCluster

import zorv
from quickstart import synthetic_market

if TYPE_CHECKING:  # the report's TypedDicts exist only in the type stub (zorv.pyi)
    from zorv import BacktestConfig, Report

MOMENTUM = """
let mom = pct_change(close, {lookback})
rebalance(normalize_row(is_largest(mom, {top_n})), freq="ME")
"""

COLUMNS = ["sharpe", "cagr", "max_drawdown", "ann_volatility", "total_return", "num_trades"]

# Seconds to reach a --scheduler. Dask's default is 30; a scheduler answers in milliseconds, so an
# address with nothing behind it should fail well before that. Dask also waits this long for a
# first worker when the panels are scattered.
CONNECT_TIMEOUT = 3


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
    config: BacktestConfig | None = None,
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


def positive_int(text: str) -> int:
    """A count of at least 1: workers, days, names."""
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"not a positive integer: {text!r}")
    return value


def positive_ints(text: str) -> list[int]:
    """Comma-separated counts of at least 1, such as 20,60,120."""
    try:
        return [positive_int(item) for item in text.split(",")]
    except argparse.ArgumentTypeError:
        raise argparse.ArgumentTypeError(
            f"not a comma-separated list of positive integers: {text!r}") from None


def arguments(argv: Sequence[str] | None = None) -> argparse.Namespace:
    """The command line; `--scheduler` and `--workers` exclude each other."""
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    where = ap.add_mutually_exclusive_group()
    where.add_argument("--scheduler", help="address of a running Dask scheduler, given up on after "
                       f"{CONNECT_TIMEOUT} s without an answer (default: a local cluster)")
    # No default here: argparse would not see a clash with --scheduler for a value equal to it.
    where.add_argument("--workers", type=positive_int,
                       help="worker processes of the local cluster (default: one per core)")
    # argparse passes a string default through `type` as well.
    ap.add_argument("--lookbacks", type=positive_ints, default="20,40,60,120,250",
                    help="comma-separated lookbacks in days")
    ap.add_argument("--top-n", type=positive_ints, default="5,10,20",
                    help="comma-separated numbers of names held")
    return ap.parse_args(argv)


def connect(address: str) -> Client:
    """A client of the scheduler at `address`; exits with one line if there is none to reach."""
    try:
        return Client(address, timeout=CONNECT_TIMEOUT)
    except (OSError, ValueError) as exc:  # nothing answering; an address Dask cannot parse
        sys.exit(f"sweep.py: cannot reach the Dask scheduler at {address}: {exc}")


def main(argv: Sequence[str] | None = None) -> None:
    args = arguments(argv)
    points = grid(args.lookbacks, args.top_n)

    panels, _ = synthetic_market(n_dates=1000, n_symbols=100)
    config: BacktestConfig = {"fee_ratio": 0.001425, "tax_ratio": 0.003,
                              "benchmark_key": "benchmark"}
    cluster = None if args.scheduler else local_cluster(
        args.workers if args.workers is not None else os.cpu_count() or 1)
    with (connect(args.scheduler) if args.scheduler else Client(cluster)) as client:
        start = time.perf_counter()
        reports = run_grid(client, panels, points, config)
        seconds = time.perf_counter() - start
    if cluster is not None:
        cluster.close()
    print(table(points, reports).to_string(index=False, float_format=lambda x: f"{x:.4f}"))
    print(f"{len(points)} backtests in {seconds:.2f} s (wall time: panels scattered, tasks run, "
          "reports gathered; starting the cluster not counted)")


if __name__ == "__main__":
    main()
