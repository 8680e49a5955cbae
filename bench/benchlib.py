"""Helpers shared by the Python benchmark scripts: the synthetic market, timing, peak memory."""

import json
import os
import resource
import statistics
import time

import numpy as np


def load_meta(data_dir):
    with open(os.path.join(data_dir, "meta.json")) as f:
        return json.load(f)


def load_array(data_dir, name, meta):
    cols = 1 if name == "bench" else meta["cols"]
    return np.fromfile(os.path.join(data_dir, name + ".f64"), dtype="<f8").reshape(
        meta["rows"], cols
    )


def date_index(meta):
    import pandas as pd

    return pd.to_datetime([str(d) for d in meta["dates"]], format="%Y%m%d")


def load_frames(data_dir, names, meta=None):
    """DataFrames indexed by a DatetimeIndex with the symbols as columns: what a user holds."""
    import pandas as pd

    meta = meta or load_meta(data_dir)
    index = date_index(meta)
    return {
        n: pd.DataFrame(load_array(data_dir, n, meta), index=index,
                        columns=["INDEX"] if n == "bench" else meta["symbols"])
        for n in names
    }


def time_calls(fn, reps):
    """Median and minimum seconds of `reps` calls after one untimed warm-up call; the result of
    the warm-up call is returned for the agreement checks."""
    first = fn()
    times = []
    for _ in range(reps):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times), min(times), first


def maxrss_kb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def rss_kb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024
