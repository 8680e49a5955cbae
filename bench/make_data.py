"""Deterministic synthetic market for the benchmarks.

Writes D dates x S symbols of close, high, low and volume as raw little-endian float64 files
(row-major, one row per date), a one-column benchmark index, and meta.json with the dates
(YYYYMMDD), the symbols, an industry per symbol and the list of "clean" columns (listed for the
whole span, never missing), which the agreement checks use where gaps change a definition.

Gaps are those of real equity panels: late listings, delistings (NaN to the end), suspensions
(NaN runs of a few days to weeks) and isolated missing prints. Prices are rounded to cents, so
cross-sectional ties occur as they do in real data.

    python3 bench/make_data.py OUTDIR --dates 2520 --symbols 3000 [--seed 20261207]
"""

import argparse
import json
import os

import numpy as np

INDUSTRIES = [
    "energy", "materials", "industrials", "consumer_disc", "consumer_staples", "health",
    "financials", "tech", "communication", "utilities", "real_estate",
]


def business_days(n, start="2015-01-02"):
    days = np.arange(np.datetime64(start), np.datetime64(start) + n * 2, dtype="datetime64[D]")
    days = days[np.is_busday(days)][:n]
    ymd = days.astype(object)
    return np.array([d.year * 10000 + d.month * 100 + d.day for d in ymd], dtype=np.int32)


def make(D, S, seed):
    rng = np.random.default_rng(seed)
    dates = business_days(D)
    symbols = [f"S{j:05d}" for j in range(S)]
    industry_of = rng.integers(0, len(INDUSTRIES), size=S)

    # One market factor, one factor per industry, fat-tailed idiosyncratic noise, and a
    # persistent drift per symbol so that momentum strategies have something to find.
    market = rng.normal(0.0003, 0.011, size=(D, 1))
    sector = rng.normal(0.0, 0.007, size=(D, len(INDUSTRIES)))[:, industry_of]
    beta = rng.uniform(0.5, 1.5, size=(1, S))
    drift = rng.normal(0.0, 0.0006, size=(1, S))
    idio = rng.standard_t(4, size=(D, S)) * rng.uniform(0.008, 0.03, size=(1, S)) / np.sqrt(2.0)
    ret = beta * market + sector + drift + idio
    start_price = np.exp(rng.uniform(np.log(3.0), np.log(400.0), size=(1, S)))
    close = start_price * np.exp(np.cumsum(ret, axis=0))
    gap = rng.normal(0.0, 0.004, size=(D, S))
    open_ = np.vstack([close[:1], close[:-1]]) * (1.0 + gap)
    up = np.abs(rng.normal(0.0, 0.008, size=(D, S)))
    down = np.abs(rng.normal(0.0, 0.008, size=(D, S)))
    high = np.maximum(open_, close) * (1.0 + up)
    low = np.minimum(open_, close) * (1.0 - down)
    close = np.round(close, 2)
    high = np.maximum(np.round(high, 2), close)
    low = np.minimum(np.round(low, 2), close)
    adv = np.exp(rng.uniform(np.log(2e4), np.log(5e6), size=(1, S)))
    volume = np.round(adv * rng.lognormal(0.0, 0.5, size=(D, S)))
    volume[rng.random((D, S)) < 0.002] = 0.0  # no trades that day

    # Gaps.
    missing = np.zeros((D, S), dtype=bool)
    late = rng.random(S) < 0.25
    listing = np.where(late, rng.integers(1, int(D * 0.8) + 1, size=S), 0)
    delisted = rng.random(S) < 0.12
    delist_at = np.where(
        delisted, listing + 60 + (rng.random(S) * np.maximum(D - listing - 60, 1)).astype(int), D
    )
    delist_at = np.minimum(delist_at, D)
    rows = np.arange(D)[:, None]
    missing |= rows < listing[None, :]
    missing |= rows >= delist_at[None, :]
    suspended = rng.random(S) < 0.30
    for j in np.nonzero(suspended)[0]:
        for _ in range(rng.integers(1, 5)):
            at = rng.integers(0, D)
            missing[at:at + rng.geometric(0.12), j] = True
    spotty = ~(suspended | late | delisted) & (rng.random(S) < 0.3)
    missing[:, spotty] |= rng.random((D, int(spotty.sum()))) < 0.001
    clean = ~missing.any(axis=0)

    for a in (close, high, low, volume):
        a[missing] = np.nan
    bench = 1000.0 * np.exp(np.cumsum(market[:, 0]))
    meta = {
        "rows": D,
        "cols": S,
        "seed": seed,
        "dates": dates.tolist(),
        "symbols": symbols,
        "industry": {s: INDUSTRIES[k] for s, k in zip(symbols, industry_of)},
        "clean": np.nonzero(clean)[0].tolist(),
    }
    return meta, {"close": close, "high": high, "low": low, "volume": volume,
                  "bench": bench.reshape(D, 1)}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("out")
    ap.add_argument("--dates", type=int, default=2520)
    ap.add_argument("--symbols", type=int, default=500)
    ap.add_argument("--seed", type=int, default=20261207)
    a = ap.parse_args()
    meta, arrays = make(a.dates, a.symbols, a.seed)
    os.makedirs(a.out, exist_ok=True)
    for name, arr in arrays.items():
        np.ascontiguousarray(arr, dtype="<f8").tofile(os.path.join(a.out, name + ".f64"))
    with open(os.path.join(a.out, "meta.json"), "w") as f:
        json.dump(meta, f)
    nan = float(np.isnan(arrays["close"]).mean())
    print(f"{a.out}: {a.dates} x {a.symbols}, {nan:.1%} missing, {len(meta['clean'])} clean")


if __name__ == "__main__":
    main()
