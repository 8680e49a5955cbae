"""Speed-up of examples/sweep.py (a Dask LocalCluster of single-threaded worker processes) over
the same backtests called one after another in one process, on this machine.

    python3 bench/sweep.py [--workers N] [--reps 3] [--symbols 500] [--out bench/RESULTS.md]

64 backtests (momentum, 8 lookbacks x 8 numbers of names held) on bench/make_data.py's synthetic
market, 2,520 dates x 500 symbols: close and benchmark as DataFrames with a DatetimeIndex, as a
user holds them. The parallel time counts scattering the panels to every worker and gathering
the reports; starting the cluster is timed apart. Writes its own section of the results file
(between keep markers, which bench/driver.py carries over) and prints it. Needs
dask[distributed] and zorv importable by the worker processes (installed, or on PYTHONPATH).
"""

import argparse
import datetime
import json
import multiprocessing
import os
import re
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
# The example is also named sweep: its directory goes first so that it, not this file, is found.
sys.path.insert(0, os.path.join(ROOT, "examples"))
sys.path.insert(1, HERE)

import pandas as pd  # noqa: E402
from dask.distributed import Client  # noqa: E402

import sweep as example  # noqa: E402
import zorv  # noqa: E402
from benchlib import date_index, time_calls  # noqa: E402
from make_data import make  # noqa: E402

LOOKBACKS = [10, 20, 40, 60, 90, 120, 180, 250]
TOP_NS = [5, 10, 15, 20, 30, 40, 50, 75]
CONFIG = {"fee_ratio": 0.001425, "tax_ratio": 0.003, "benchmark_key": "bench"}
MARK = "sweep"


def panels(dates, symbols, seed):
    meta, arrays = make(dates, symbols, seed)
    index = date_index(meta)
    return {
        "close": pd.DataFrame(arrays["close"], index=index, columns=meta["symbols"]),
        "bench": pd.DataFrame(arrays["bench"], index=index, columns=["INDEX"]),
    }


_POOL_DATA = {}  # the panels, inherited by the forked pool processes


def _pool_call(point):
    return zorv.run_backtest(example.strategy(*point), _POOL_DATA, config=CONFIG)


def pool_time(data, points, workers, reps):
    """The same calls on a plain fork-based process pool holding the panels already (nothing
    sent but the grid point, nothing returned but the report): what the machine allows."""
    _POOL_DATA.update(data)
    times = []
    with multiprocessing.get_context("fork").Pool(workers) as pool:
        pool.map(_pool_call, points[:workers], chunksize=1)  # warm-up
        for _ in range(reps):
            t0 = time.perf_counter()
            pool.map(_pool_call, points, chunksize=1)
            times.append(time.perf_counter() - t0)
    return statistics.median(times)


def loadavg():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def sh(cmd):
    return subprocess.run(cmd, shell=True, capture_output=True, text=True).stdout.strip()


def write_section(path, text):
    block = f"<!-- keep {MARK} -->\n{text}<!-- /keep {MARK} -->\n"
    old = open(path).read() if os.path.exists(path) else ""
    pattern = re.compile(rf"<!-- keep {MARK} -->.*?<!-- /keep {MARK} -->\n?", re.S)
    if pattern.search(old):
        new = pattern.sub(lambda _: block, old)
    else:
        new = old + ("\n" if old and not old.endswith("\n\n") else "") + block
    with open(path, "w") as f:
        f.write(new)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--workers", type=int, default=os.cpu_count() or 1)
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--dates", type=int, default=2520)
    ap.add_argument("--symbols", type=int, default=500)
    ap.add_argument("--seed", type=int, default=20261207)
    ap.add_argument("--out", default=os.path.join(HERE, "RESULTS.md"))
    a = ap.parse_args()

    data = panels(a.dates, a.symbols, a.seed)
    points = example.grid(LOOKBACKS, TOP_NS)
    load_before = loadavg()

    def sequential():
        return [zorv.run_backtest(example.strategy(lb, n), data, config=CONFIG)
                for lb, n in points]

    seq, _, expected = time_calls(sequential, a.reps)

    # Before the cluster: its threads must not be forked.
    pool_s = pool_time(data, points, a.workers, a.reps)

    t0 = time.perf_counter()
    cluster = example.local_cluster(a.workers)
    client = Client(cluster)
    start_s = time.perf_counter() - t0
    try:
        got = example.run_grid(client, data, points, CONFIG)  # warm-up: imports in the workers
        par_times, scatter_times = [], []
        for _ in range(a.reps):
            t0 = time.perf_counter()
            client.scatter([data], broadcast=True, hash=False)
            scatter_times.append(time.perf_counter() - t0)
            t0 = time.perf_counter()
            example.run_grid(client, data, points, CONFIG)
            par_times.append(time.perf_counter() - t0)
    finally:
        client.close()
        cluster.close()
    load_after = loadavg()
    same = all(json.dumps(x, sort_keys=True) == json.dumps(y, sort_keys=True)
               for x, y in zip(expected, got))

    par, sc = (statistics.median(t) for t in (par_times, scatter_times))
    import dask
    import distributed
    rows = [
        ("date (UTC)", datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M")),
        ("commit", sh(f"git -C {ROOT} rev-parse --short HEAD")),
        ("cores / worker processes", f"{os.cpu_count()} / {a.workers} (one thread each)"),
        ("load average before / after", f"{load_before} / {load_after}"),
        ("dask / distributed", f"{dask.__version__} / {distributed.__version__}"),
        ("sequential, 64 calls", f"{seq:.2f} s ({seq / len(points) * 1e3:.0f} ms a call)"),
        ("parallel, 64 tasks", f"{par:.2f} s (scatter and gather included)"),
        ("**speed-up**", f"**{seq / par:.2f}x**"),
        ("for reference: plain fork pool, panels already in the workers",
         f"{pool_s:.2f} s ({seq / pool_s:.2f}x)"),
        ("cluster start (once, not counted)", f"{start_s:.2f} s"),
        ("scattering the panels to every worker (counted)", f"{sc * 1e3:.0f} ms"),
        ("reports identical to the sequential ones", "yes" if same else "**no**"),
    ]
    text = "\n".join([
        "## Parameter sweep across processes", "",
        f"Written by `bench/sweep.py`. {len(points)} backtests (momentum: lookback "
        f"{LOOKBACKS[0]}..{LOOKBACKS[-1]} x names held {TOP_NS[0]}..{TOP_NS[-1]}, monthly, with "
        f"costs and a benchmark) on {a.dates:,} dates x {a.symbols:,} symbols of "
        "`make_data.py`'s market, passed as DataFrames. Sequential: the calls one after another "
        "in one process. Parallel: `examples/sweep.py` on a Dask LocalCluster. For reference, "
        "the same calls on a `multiprocessing` fork pool whose processes hold the panels "
        "already: the scaling this machine gives without Dask's scatter, scheduling and "
        "transfer of the reports. Medians of "
        f"{a.reps} runs after one warm-up run. The machine is shared: the load average says how "
        "busy it was.", "",
        "| | |", "|---|---|", *[f"| {k} | {v} |" for k, v in rows], "",
    ])
    write_section(a.out, text)
    print(text)


if __name__ == "__main__":
    main()
