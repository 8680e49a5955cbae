"""Type stub of the extension module `zorv` (a compiled module: this file is its interface).

The report and its parts are plain dicts at run time; the TypedDicts below only describe their
keys for a type checker (they cannot be imported at run time: import them under
`typing.TYPE_CHECKING`). A float in a report is None where the value is not finite (NaN or
infinite), so a float field is `float | None`; the counts among the metrics (`num_trades`,
`max_consecutive_losses`, `max_drawdown_duration`) are always finite and typed `float`.
`BacktestConfig` describes `run_backtest`'s `config` the same way, so that a type checker
refuses a misspelt knob or a value of the wrong type before the call.
"""

from collections.abc import Sequence
from typing import Any, NotRequired, TypedDict, type_check_only

__all__ = ["run_backtest", "parse", "format", "lint", "__version__"]

__version__: str

@type_check_only
class PeriodReturn(TypedDict):
    period: str  # "2024-03" for a month, "2024" for a year
    ret: float | None

@type_check_only
class Trade(TypedDict):
    symbol: str
    entry_date: int  # YYYYMMDD
    exit_date: int | None  # None while the position is still open at the last date
    ret: float | None
    period: int
    mae: float | None
    mfe: float | None

@type_check_only
class Metrics(TypedDict):
    total_return: float | None
    cagr: float | None
    ann_volatility: float | None
    sharpe: float | None
    sortino: float | None
    max_drawdown: float | None
    calmar: float | None
    win_rate: float | None
    profit_factor: float | None
    expectancy: float | None
    avg_holding_period: float | None
    num_trades: float  # closed trades; a count, never None
    avg_win: float | None
    avg_loss: float | None
    payoff_ratio: float | None
    best_trade: float | None
    worst_trade: float | None
    max_consecutive_losses: float  # a count, never None
    recovery_factor: float | None
    max_drawdown_duration: float  # dates (a count), never None
    time_in_market: float | None
    avg_exposure: float | None
    # Present exactly when the run has a benchmark (config "benchmark_key").
    benchmark_return: NotRequired[float | None]
    alpha: NotRequired[float | None]
    beta: NotRequired[float | None]
    excess_return: NotRequired[float | None]
    tracking_error: NotRequired[float | None]
    information_ratio: NotRequired[float | None]

@type_check_only
class BootstrapCi(TypedDict):
    p05: float | None
    p50: float | None
    p95: float | None

@type_check_only
class Bootstrap(TypedDict):
    n_samples: int
    block_len: int
    sharpe: BootstrapCi
    cagr: BootstrapCi
    max_drawdown: BootstrapCi

@type_check_only
class Report(TypedDict):
    dates: list[int]  # YYYYMMDD, one per row; every series below has one entry per date
    equity: list[float | None]
    drawdown: list[float | None]
    benchmark: NotRequired[list[float | None]]  # only with a benchmark
    monthly_returns: list[PeriodReturn]
    yearly_returns: list[PeriodReturn]
    rolling_sharpe: list[float | None]
    rolling_volatility: list[float | None]
    bootstrap: NotRequired[Bootstrap]  # only when bootstrap_samples asked for one
    trades: list[Trade]
    metrics: Metrics

@type_check_only
class BacktestConfig(TypedDict, total=False):
    # Any knob may be left out and then takes its default (costs, caps, delisting, benchmark and
    # bootstrap all off). Float knobs also take an int; counts take an int, never a float.
    benchmark_key: str | None  # name of the benchmark panel
    fee_ratio: float
    tax_ratio: float
    slippage_ratio: float
    position_limit: float
    initial_capital: float
    max_participation: float
    impact_coef: float
    delist_after: int
    delist_haircut: float
    bootstrap_samples: int
    bootstrap_block: int

@type_check_only
class LintEntry(TypedDict):
    line: int
    col: int
    message: str

def run_backtest(
    spec: str | dict[str, Any],
    panels: dict[str, Any],
    config: BacktestConfig | None = None,
    price_key: str = "close",
    industry: dict[str, str] | None = None,
) -> Report:
    """Run a backtest. `spec` is quaro source, a JSON string, or an Expr dict;
    `panels` maps series names to DataFrames or `{dates, symbols, data}` dicts;
    `config` takes the `BacktestConfig` knobs by name. Returns the Report as a
    dict."""

def parse(src: str) -> dict[str, Any]:
    """Parse quaro source into the JSON Expr tree (as a dict)."""

def format(tree: str | dict[str, Any]) -> str:
    """Render an Expr tree (dict or JSON string) back to canonical quaro source."""

def lint(src: str, series: Sequence[str] | None = None) -> list[LintEntry]:
    """Lint quaro source. `series` enables the unknown-series check; unused-`let`
    is always checked. Returns `[{"line", "col", "message"}, ...]`."""
