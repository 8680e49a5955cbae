"""End-to-end timing of one strategy from the caller's DataFrames. Prints one JSON line.

    python3 bench/e2e.py DATA_DIR STRATEGY MODE [--reps K] [--compare WEIGHTS_DUMP]
    python3 bench/e2e.py --status          (is zorv.run_backtest usable here?)

Modes:
  zorv     zorv.run_backtest on four DataFrames (close, high, low, volume) plus the benchmark
  intake   the same call with a strategy that fails at its first node, after every panel has been
           taken in: the cost of handing the DataFrames over
  pandas   pandas computing the same weights (no simulation, no report)
  tolist   only the `to_numpy().tolist()` calls the intake makes on the four price frames
  buffer   copying the same four frames' float64 buffers instead (what an intake reading the
           arrays' memory would pay)

Run each mode in a fresh process: maxrss_kb is the process's peak, rss_before_kb its resident
size just before the first timed call, so maxrss - rss_before is what the call itself added.
"""

import argparse
import json
import os
import sys

import numpy as np

from benchlib import load_frames, load_meta, maxrss_kb, rss_kb, time_calls
from strategies import STRATEGIES

MISSING = '{"op": "Data", "name": "__bench_missing__"}'


def zorv_status():
    """(module, None) when run_backtest works, else (None, why not)."""
    try:
        import zorv
    except ImportError as e:
        return None, f"module zorv not importable ({e})"
    want = os.environ.get("ZORV_BENCH_MODULE_DIR")
    if want and not os.path.abspath(zorv.__file__).startswith(os.path.abspath(want)):
        return None, f"module zorv not built from this tree (found {zorv.__file__})"
    tiny = {"dates": [20240102, 20240103, 20240104], "symbols": ["A", "B"],
            "data": [[1.0, 2.0], [1.1, 2.1], [1.2, 2.0]]}
    try:
        r = zorv.run_backtest('{"op": "NormalizeRow", "of": {"op": "Data", "name": "close"}}',
                              {"close": tiny})
        if not isinstance(r, dict) or "equity" not in r:
            return None, "run_backtest returned no report"
    except Exception as e:  # a broken build must not pass for a measurement
        return None, f"run_backtest not usable ({type(e).__name__}: {e})"
    return zorv, None


def main():
    if sys.argv[1:] == ["--status"]:
        mod, why = zorv_status()
        print(json.dumps({"available": mod is not None, "why": why,
                          "path": getattr(mod, "__file__", None)}))
        return
    ap = argparse.ArgumentParser()
    ap.add_argument("data")
    ap.add_argument("strategy", choices=sorted(STRATEGIES))
    ap.add_argument("mode", choices=["zorv", "intake", "pandas", "tolist", "buffer"])
    ap.add_argument("--reps", type=int, default=3)
    ap.add_argument("--compare")
    a = ap.parse_args()
    st = STRATEGIES[a.strategy]
    meta = load_meta(a.data)
    frames = load_frames(a.data, ["close", "high", "low", "volume", "bench"], meta)
    input_bytes = sum(frames[k].to_numpy().nbytes for k in ("close", "high", "low", "volume"))
    out = {"strategy": a.strategy, "mode": a.mode, "rows": meta["rows"], "cols": meta["cols"],
           "input_bytes": input_bytes, "reps": a.reps}

    four = [frames[k] for k in ("close", "high", "low", "volume")]
    if a.mode == "tolist":
        fn = lambda: [f.to_numpy().tolist() for f in four]
    elif a.mode == "buffer":
        fn = lambda: [np.array(f.to_numpy(), dtype=np.float64, order="C") for f in four]
    elif a.mode == "pandas":
        if st["pandas"] is None:
            out["skipped"] = "no pandas equivalent"
            print(json.dumps(out))
            return
        fn = lambda: st["pandas"](frames)
    else:
        zorv, why = zorv_status()
        if zorv is None:
            out["skipped"] = why
            print(json.dumps(out))
            return
        industry = meta["industry"] if st["industry"] else None
        if a.mode == "zorv":
            spec = json.dumps(st["spec"])
            fn = lambda: zorv.run_backtest(spec, frames, config=st["config"], industry=industry)
        else:
            def fn():
                try:
                    zorv.run_backtest(MISSING, frames, config=st["config"], industry=industry)
                except ValueError as e:
                    if "__bench_missing__" not in str(e):
                        raise
                else:
                    raise RuntimeError("the failing strategy did not fail")

    out["rss_before_kb"] = rss_kb()
    median, best, result = time_calls(fn, a.reps)
    out.update(median_s=median, min_s=best, maxrss_kb=maxrss_kb())
    if a.mode == "zorv":
        out["final_equity"] = result["equity"][-1] if result["equity"] else None
        out["trades"] = len(result["trades"])
    if a.mode == "pandas" and a.compare:
        ours = np.fromfile(a.compare, dtype="<f8").reshape(-1, meta["cols"])
        theirs = result.to_numpy(dtype=np.float64)
        same_shape = ours.shape == theirs.shape
        out["agreement"] = {
            "shape": [list(ours.shape), list(theirs.shape)],
            "agree": bool(same_shape and np.array_equal(ours, theirs, equal_nan=True)),
            "max_abs": float(np.nanmax(np.abs(ours - theirs))) if same_shape else None,
        }
    print(json.dumps(out))


if __name__ == "__main__":
    main()
