"""Times the pandas / numpy / TA-Lib code a user would write for one engine operator, and checks
that it gives the engine's values where the two definitions agree. Prints one JSON line.

    python3 bench/ops_py.py DATA_DIR OP IMPL [--reps K] [--compare ZORV_DUMP]
    python3 bench/ops_py.py --list          (op, impl pairs)

The parameters match bench/ops_bench.cpp: windows of 20 for the moving-window operators, 14 for
the TA-Lib indicators (CCI 20, Aroon 25, stochastics 14/3), top 50, monthly rebalancing.
"""

import argparse
import json
import sys

import numpy as np

from benchlib import load_array, load_frames, load_meta, maxrss_kb, time_calls

N = 20
TA_N = 14


# ---- numpy -------------------------------------------------------------------------------------

def np_shift(x, n):
    out = np.full_like(x, np.nan)
    out[n:] = x[:-n]
    return out


def np_pct_change(x, n):
    out = np.full_like(x, np.nan)
    out[n:] = (x[n:] - x[:-n]) / x[:-n]
    return out


def np_rise(x, n):
    out = np.zeros_like(x)
    out[n:] = x[n:] > x[:-n]
    return out


def np_window(x, n):
    from numpy.lib.stride_tricks import sliding_window_view

    return sliding_window_view(x, n, axis=0)  # (R - n + 1, C, n)


def np_rolling(x, n, reduce):
    out = np.full_like(x, np.nan)
    out[n - 1:] = reduce(np_window(x, n), axis=-1)
    return out


def np_average(x, n):
    # Running sums of the non-NaN cells and their count; the minimum count is half the window.
    valid = ~np.isnan(x)
    s = np.cumsum(np.where(valid, x, 0.0), axis=0)
    k = np.cumsum(valid, axis=0, dtype=np.float64)
    s[n:] = s[n:] - s[:-n]
    k[n:] = k[n:] - k[:-n]
    with np.errstate(invalid="ignore", divide="ignore"):
        return np.where(k >= max(1, n // 2), s / k, np.nan)


def np_top_n(x, n):
    # Stable sort of the negated values: NaN last, ties by column.
    order = np.argsort(-x, axis=1, kind="stable")[:, :n]
    out = np.zeros_like(x)
    np.put_along_axis(out, order, 1.0, axis=1)
    out[np.isnan(x)] = 0.0
    return out


def np_normalize_row(x):
    s = np.nansum(np.abs(x), axis=1)
    return x / np.where(s > 0, s, 1.0)[:, None]


def np_rebalance_month(x, dates):
    key = dates // 100
    keep = np.r_[key[1:] != key[:-1], True]
    return x[keep]


# ---- pandas ------------------------------------------------------------------------------------

def pd_top_n(c, n):
    return c.rank(axis=1, method="first", ascending=False) <= n


def pd_normalize_row(c):
    s = c.abs().sum(axis=1)
    return c.div(s.where(s > 0, 1.0), axis=0)


def pd_rebalance_month(c):
    return c.groupby(c.index.to_period("M")).tail(1)


def pd_vwap(h, l, c, v, n):
    tp = (h + l + c) / 3.0
    return (tp * v).rolling(n).sum() / v.rolling(n).sum()


# ---- TA-Lib: one call per column, as a TA-Lib user must ----------------------------------------

def talib_loop(fn, *cols_major, outputs=1):
    """cols_major: arrays of shape (C, R), each row one symbol's history, contiguous."""
    C, R = cols_major[0].shape
    outs = [np.empty((C, R)) for _ in range(outputs)]
    for j in range(C):
        r = fn(*(a[j] for a in cols_major))
        if outputs == 1:
            outs[0][j] = r
        else:
            for o, v in zip(outs, r):
                o[j] = v
    return outs[0] if outputs == 1 else outs


def talib_ops():
    import talib

    def loop(fn, outputs=1):
        return lambda *a: talib_loop(fn, *a, outputs=outputs)

    hlc = ["high", "low", "close"]
    # Where TA-Lib's definition differs, the check is narrowed to where the two agree (skip: rows
    # left out at the start) and the difference is noted.
    warm = "TA-Lib leaves %K NaN for the d-1 rows that %D needs"
    seed = "TA-Lib seeds Wilder's sums differently; compared from row 500, after the seed decays"
    mfi = ("where two typical prices tie in exact arithmetic, rounding (TA-Lib forms them in "
           "another order) puts a 1-ulp step either way and flips that row's flow; compared "
           "outside the windows holding such a near-tie")
    return {
        "ema": (["close"], loop(lambda c: talib.EMA(c, N)), "T"),
        "rsi": (["close"], loop(lambda c: talib.RSI(c, TA_N)), "T"),
        "atr": (hlc, loop(lambda h, l, c: talib.ATR(h, l, c, TA_N)), "T"),
        "natr": (hlc, loop(lambda h, l, c: talib.NATR(h, l, c, TA_N)), "T"),
        "cci": (hlc, loop(lambda h, l, c: talib.CCI(h, l, c, 20)), "T"),
        "willr": (hlc, loop(lambda h, l, c: talib.WILLR(h, l, c, TA_N)), "T"),
        "stoch_k": (hlc, loop(lambda h, l, c: talib.STOCHF(h, l, c, TA_N, 3, 0)[0]), "T",
                    {"skip": TA_N + 2, "note": warm}),
        "stoch_d": (hlc, loop(lambda h, l, c: talib.STOCHF(h, l, c, TA_N, 3, 0)[1]), "T"),
        # AROON returns (down, up); the engine's pair is stacked up above down.
        "aroon": (["high", "low"], loop(lambda h, l: talib.AROON(h, l, 25), outputs=2), "T2"),
        "obv": (["close", "volume"], loop(lambda c, v: talib.OBV(c, v)), "T"),
        "mfi": (hlc + ["volume"], loop(lambda h, l, c, v: talib.MFI(h, l, c, v, TA_N)), "T",
                {"note": mfi, "exclude": lambda h, l, c, v: near_tie_windows(h, l, c, TA_N)}),
        "adx": (hlc, loop(lambda h, l, c: talib.ADX(h, l, c, TA_N)), "T",
                {"skip": 500, "note": seed}),
        "plus_di": (hlc, loop(lambda h, l, c: talib.PLUS_DI(h, l, c, TA_N)), "T",
                    {"skip": 500, "note": seed}),
        "minus_di": (hlc, loop(lambda h, l, c: talib.MINUS_DI(h, l, c, TA_N)), "T",
                     {"skip": 500, "note": seed}),
    }


def near_tie_windows(h, l, c, n):
    """(R, C) mask of the cells whose n-row window holds a typical price within a few ulps of
    the one before it."""
    tp = (h + l + c) / 3.0
    eq = np.zeros(tp.shape, dtype=np.int64)
    with np.errstate(invalid="ignore"):
        eq[1:] = np.abs(tp[1:] - tp[:-1]) <= 4 * np.finfo(np.float64).eps * np.abs(tp[1:])
    k = np.cumsum(eq, axis=0)
    k[n:] = k[n:] - k[:-n]
    return k > 0


# op -> impl -> (series read, function, output form). Forms: "frame" a DataFrame, "array" an
# (R, C) array, "T" a (C, R) array, "T2" a pair of (C, R) arrays (down, up), "rebal" rows kept.
def table():
    t = {
        "shift": {
            "pandas": (["close"], lambda c: c.shift(N), "frame"),
            "numpy": (["close"], lambda x: np_shift(x, N), "array"),
        },
        "pct_change": {
            "pandas": (["close"], lambda c: c.pct_change(N), "frame"),
            "numpy": (["close"], lambda x: np_pct_change(x, N), "array"),
        },
        "rise": {
            "pandas": (["close"], lambda c: c > c.shift(N), "frame"),
            "numpy": (["close"], lambda x: np_rise(x, N), "array"),
        },
        "rolling_max": {
            "pandas": (["close"], lambda c: c.rolling(N).max(), "frame"),
            "numpy": (["close"], lambda x: np_rolling(x, N, np.max), "array"),
        },
        "rolling_min": {
            "pandas": (["close"], lambda c: c.rolling(N).min(), "frame"),
            "numpy": (["close"], lambda x: np_rolling(x, N, np.min), "array"),
        },
        "rolling_std": {
            "pandas": (["close"], lambda c: c.rolling(N).std(ddof=0), "frame"),
            "numpy": (["close"], lambda x: np_rolling(x, N, np.std), "array"),
        },
        "average": {
            "pandas": (["close"], lambda c: c.rolling(N, min_periods=N // 2).mean(), "frame"),
            "numpy": (["close"], lambda x: np_average(x, N), "array"),
        },
        "add": {
            "pandas": (["high", "low"], lambda h, l: h + l, "frame"),
            "numpy": (["high", "low"], lambda h, l: h + l, "array"),
        },
        "div": {
            "pandas": (["high", "low"], lambda h, l: h / l, "frame"),
            "numpy": (["high", "low"], lambda h, l: h / l, "array"),
        },
        "mul_scalar": {
            "pandas": (["close"], lambda c: c * 2.0, "frame"),
            "numpy": (["close"], lambda x: x * 2.0, "array"),
        },
        "gt": {
            "pandas": (["close", "high"], lambda c, h: c > h, "frame"),
            "numpy": (["close", "high"], lambda c, h: c > h, "array"),
        },
        "rank": {
            "pandas": (["close"], lambda c: c.rank(axis=1, pct=True), "frame"),
        },
        "top_n": {
            "pandas": (["close"], lambda c: pd_top_n(c, 50), "frame"),
            "numpy": (["close"], lambda x: np_top_n(x, 50), "array"),
        },
        "normalize_row": {
            "pandas": (["close"], pd_normalize_row, "frame"),
            "numpy": (["close"], np_normalize_row, "array"),
        },
        "rebalance_month": {
            "pandas": (["close"], pd_rebalance_month, "frame"),
            "numpy": (["close", "@dates"], np_rebalance_month, "array"),
        },
        "vwap": {
            "pandas": (["high", "low", "close", "volume"], lambda h, l, c, v: pd_vwap(h, l, c, v, N),
                       "frame"),
        },
    }
    try:
        for op, entry in talib_ops().items():
            t.setdefault(op, {})["talib"] = entry
    except ImportError:
        pass
    return t


def as_array(result, form):
    if form == "frame":
        return np.asarray(result.to_numpy(dtype=np.float64, na_value=np.nan))
    if form == "array":
        return np.asarray(result, dtype=np.float64)
    if form == "T":
        return result.T
    if form == "T2":
        down, up = result
        return np.vstack([up.T, down.T])
    raise ValueError(form)


def compare(ours, theirs, clean_cols, skip=0, exclude=None):
    """Agreement of the engine's result with the baseline's. For TA-Lib (clean_cols given) only
    the columns without gaps are compared, where the definitions agree; `skip` leaves out the
    first rows."""
    if ours.shape != theirs.shape:
        return {"shape": [list(ours.shape), list(theirs.shape)], "agree": False}
    if exclude is not None:  # cells left out of the comparison
        ours, theirs = ours.copy(), theirs.copy()
        ours[exclude] = theirs[exclude] = np.nan
    if clean_cols is not None:
        ours, theirs = ours[:, clean_cols], theirs[:, clean_cols]
    if skip:
        ours, theirs = ours[skip:], theirs[skip:]
    a_nan, b_nan = np.isnan(ours), np.isnan(theirs)
    both = ~a_nan & ~b_nan
    diff = np.abs(ours[both] - theirs[both])
    scale = np.maximum(np.abs(theirs[both]), 1.0)
    out = {
        "cells": int(both.sum()),
        "nan_mismatch": int((a_nan != b_nan).sum()),
        "max_abs": float(diff.max()) if diff.size else 0.0,
        "max_rel": float((diff / scale).max()) if diff.size else 0.0,
        "exact": bool(diff.size == 0 or diff.max() == 0.0),
    }
    out["agree"] = out["nan_mismatch"] == 0 and out["max_rel"] <= 1e-9
    return out


def main():
    if len(sys.argv) == 2 and sys.argv[1] == "--list":
        for op, impls in table().items():
            for impl in impls:
                print(op, impl)
        return
    ap = argparse.ArgumentParser()
    ap.add_argument("data")
    ap.add_argument("op")
    ap.add_argument("impl")
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--compare")
    a = ap.parse_args()
    entry = table().get(a.op, {}).get(a.impl)
    if entry is None:
        print(json.dumps({"op": a.op, "impl": a.impl, "skipped": "no such baseline"}))
        return
    reads, fn, form = entry[:3]
    opts = entry[3] if len(entry) > 3 else {}
    meta = load_meta(a.data)
    if form == "frame":
        frames = load_frames(a.data, reads, meta)
        args = [frames[r] for r in reads]
    else:
        args = []
        for r in reads:
            if r == "@dates":
                args.append(np.asarray(meta["dates"], dtype=np.int64))
            elif form in ("T", "T2"):
                # Column-contiguous copies made outside the timing: TA-Lib's best case.
                args.append(np.ascontiguousarray(load_array(a.data, r, meta).T))
            else:
                args.append(load_array(a.data, r, meta))
    median, best, result = time_calls(lambda: fn(*args), a.reps)
    out = {"op": a.op, "impl": a.impl, "rows": meta["rows"], "cols": meta["cols"],
           "median_s": median, "min_s": best, "reps": a.reps, "maxrss_kb": maxrss_kb()}
    if a.compare:
        theirs = as_array(result, form)
        ours = np.fromfile(a.compare, dtype="<f8").reshape(-1, meta["cols"])
        clean = meta["clean"] if a.impl == "talib" else None
        exclude = None
        if "exclude" in opts:
            exclude = opts["exclude"](*(load_array(a.data, r, meta) for r in reads))
        out["agreement"] = compare(ours, theirs, clean, opts.get("skip", 0), exclude)
        if "note" in opts:
            out["agreement"]["note"] = opts["note"]
        if opts.get("differs"):
            out["agreement"]["agree"] = None  # nothing to agree on
    print(json.dumps(out))


if __name__ == "__main__":
    main()
