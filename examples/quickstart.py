"""A momentum rotation written in quaro, run over a synthetic market.

Names are chosen at month-ends; the stop loss acts every day. On the last trading day of each
month the strategy sells the names whose 60-day momentum has fallen into the bottom half and
fills its free places (ten at most) from the ten strongest 60-day performers, strongest first. On
any day, mid-month included, a name whose close has fallen 12% below its entry price is sold at
that close. The names held are weighted equally; the portfolio trades only on the days a name
comes or goes, and drifts with prices in between. Costs and a benchmark are part of the run.

The stop measures from the close of the day after the purchase (the entry price `hold_until`
uses) and is checked on closing prices, so a trade can lose more than 12%: the move of the day
after the purchase, the part of the last day's fall beyond the level (a gap is not cut at 12%),
and the costs. On this market the worst trade loses 18.7%.

The report's curves are then read into a pandas DataFrame and, when matplotlib is installed,
plotted:

    python3 examples/quickstart.py              # metrics only
    python3 examples/quickstart.py equity.png   # and a plot of equity, benchmark and drawdown
"""
from __future__ import annotations

import argparse
from collections.abc import Sequence
from typing import TYPE_CHECKING

import numpy as np
import pandas as pd

import zorv

if TYPE_CHECKING:  # the report's TypedDicts exist only in the type stub (zorv.pyi)
    from zorv import BacktestConfig, Report

STRATEGY = """
let mom = pct_change(close, 60)
# A row for each month's last trading day only (1 there); `and` reads the days between as false.
let month_end = rebalance(close > 0, freq="ME")
let entry = month_end and is_largest(mom, 10)
let exit = month_end and rank(mom) < 0.5
# entry and exit have a row for every day, so hold_until, and its stop, run on every day.
let held = hold_until(entry, exit, nstocks_limit=10, rank=mom, stop_loss=0.12)
normalize_row(held)
"""
CONFIG: BacktestConfig = {"fee_ratio": 0.001425, "tax_ratio": 0.003, "benchmark_key": "benchmark"}


HEADLINE = [
    "total_return", "cagr", "ann_volatility", "sharpe", "sortino", "max_drawdown", "calmar",
    "win_rate", "num_trades", "benchmark_return", "alpha", "beta", "information_ratio",
]


def synthetic_market(
    n_dates: int = 500, n_symbols: int = 40, seed: int = 2024
) -> tuple[dict[str, pd.DataFrame], dict[str, str]]:
    """Prices from a one-factor model with persistent per-symbol drifts (so momentum pays)."""
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2022-01-03", periods=n_dates)
    symbols = [f"SYM{i:02d}" for i in range(n_symbols)]
    market = rng.normal(0.0003, 0.01, size=(n_dates, 1))
    drift = rng.normal(0.0, 0.0008, size=(1, n_symbols))
    noise = rng.normal(0.0, 0.018, size=(n_dates, n_symbols))
    close = 100.0 * np.exp(np.cumsum(market + drift + noise, axis=0))
    spread = np.abs(rng.normal(0.0, 0.006, size=close.shape))

    def frame(a: np.ndarray) -> pd.DataFrame:
        return pd.DataFrame(a, index=dates, columns=symbols)

    panels = {
        "close": frame(close),
        "high": frame(close * (1 + spread)),
        "low": frame(close * (1 - spread)),
        "volume": frame(rng.integers(100_000, 2_000_000, size=close.shape).astype(float)),
        "benchmark": pd.DataFrame({"INDEX": 100.0 * np.exp(np.cumsum(market[:, 0]))}, index=dates),
    }
    industry = {s: ["tech", "energy", "health", "finance"][i % 4] for i, s in enumerate(symbols)}
    return panels, industry


def run(panels: dict[str, pd.DataFrame], industry: dict[str, str]) -> Report:
    """The strategy's backtest on these panels, with costs and the benchmark."""
    return zorv.run_backtest(STRATEGY, panels, config=CONFIG, industry=industry)


def report_frame(report: Report) -> pd.DataFrame:
    """Equity, drawdown and (when the run has one) benchmark by date. Dates come as YYYYMMDD ints
    and values that are not finite as None; the frame has a DatetimeIndex and NaN for those."""
    index = pd.to_datetime([str(d) for d in report["dates"]], format="%Y%m%d")
    columns = {"equity": report["equity"], "drawdown": report["drawdown"]}
    if "benchmark" in report:
        columns["benchmark"] = report["benchmark"]
    return pd.DataFrame(columns, index=index.rename("date"), dtype=float)


def plot(frame: pd.DataFrame, path: str) -> None:
    """Equity against the benchmark, the drawdown beneath, saved as a PNG."""
    try:
        import matplotlib
    except ImportError:
        print(f"matplotlib is not installed: no plot written to {path} (pip install matplotlib)")
        return
    matplotlib.use("Agg")  # files only, no display needed
    import matplotlib.pyplot as plt

    fig, (top, bottom) = plt.subplots(
        2, 1, sharex=True, figsize=(10, 6), gridspec_kw={"height_ratios": [3, 1]}
    )
    top.plot(frame.index, frame["equity"], label="strategy")
    if "benchmark" in frame:
        top.plot(frame.index, frame["benchmark"], label="benchmark")
    top.set_ylabel("equity")
    top.set_title("Momentum rotation, synthetic market")
    top.legend(loc="upper left")
    top.grid(alpha=0.3)
    bottom.fill_between(frame.index, frame["drawdown"], 0.0, color="tab:red", alpha=0.5)
    bottom.set_ylabel("drawdown")
    bottom.grid(alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    print(f"plot written to {path}")


def arguments(argv: Sequence[str] | None = None) -> argparse.Namespace:
    """The command line: an optional path for the plot."""
    ap = argparse.ArgumentParser(
        description="A momentum rotation written in quaro, run over a synthetic market: prints the "
        "strategy, its metrics and the last rows of its curves.")
    ap.add_argument("plot", nargs="?", metavar="PLOT.png",
                    help="also plot equity, benchmark and drawdown to this PNG file (needs "
                    "matplotlib)")
    return ap.parse_args(argv)


def main(argv: Sequence[str] | None = None) -> None:
    args = arguments(argv)
    panels, industry = synthetic_market()
    for lint in zorv.lint(STRATEGY, list(panels)):
        print(f"lint {lint['line']}:{lint['col']}: {lint['message']}")
    report = run(panels, industry)
    print("strategy, canonical form:")
    print(zorv.format(zorv.parse(STRATEGY)))
    print()
    dates, metrics, trades = report["dates"], report["metrics"], report["trades"]
    still_open = sum(trade["exit_date"] is None for trade in trades)
    print(f"{len(dates)} dates, {dates[0]} .. {dates[-1]}; {len(trades)} trades listed, "
          f"{still_open} of them still open (num_trades counts the closed ones)")
    for key in HEADLINE:
        value = metrics.get(key)
        print(f"  {key:<18} {'n/a' if value is None else f'{value:.4f}'}")

    frame = report_frame(report)
    print()
    print(frame.tail(3).to_string())
    if args.plot is not None:
        plot(frame, args.plot)


if __name__ == "__main__":
    main()
