"""End-to-end runs through the evaluator."""
import json
import math

import numpy as np
import pandas as pd
import pytest

import zorv
from conftest import DATA_CLOSE, grid

REPORT_KEYS = [
    "dates", "drawdown", "equity", "metrics", "monthly_returns", "rolling_sharpe",
    "rolling_volatility", "trades", "yearly_returns",
]


def prices(n_dates=300, n_symbols=8, seed=7):
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2021-01-04", periods=n_dates)
    steps = rng.normal(0.0005, 0.02, size=(n_dates, n_symbols))
    close = 50.0 * np.exp(np.cumsum(steps, axis=0))
    return pd.DataFrame(close, index=dates, columns=[f"S{i}" for i in range(n_symbols)])


MOMENTUM = {
    "op": "NormalizeRow",
    "of": {"op": "IsLargest", "of": {"op": "PctChange", "of": DATA_CLOSE, "n": 20}, "n": 3},
}


def assert_sorted_and_clean(obj):
    if isinstance(obj, dict):
        assert list(obj) == sorted(obj)
        for v in obj.values():
            assert_sorted_and_clean(v)
    elif isinstance(obj, list):
        for v in obj:
            assert_sorted_and_clean(v)
    elif isinstance(obj, float):
        assert not math.isnan(obj)


def test_report_keys_sorted_and_no_nan():
    close = prices()
    bench = close.mean(axis=1).to_frame("SPY")
    report = zorv.run_backtest(
        MOMENTUM, {"close": close, "spy": bench},
        {"fee_ratio": 0.001, "benchmark_key": "spy", "bootstrap_samples": 20,
         "bootstrap_block": 5},
    )
    assert list(report) == ["benchmark", "bootstrap"] + REPORT_KEYS
    assert_sorted_and_clean(report)
    assert all(type(d) is int for d in report["dates"])
    assert report["dates"][0] >= 20210104


def test_nan_metrics_arrive_as_none():
    close = prices(n_dates=5)
    report = zorv.run_backtest({"op": "Mul", "l": DATA_CLOSE, "r": {"op": "Const", "value": 0}},
                               {"close": close})
    assert list(report) == REPORT_KEYS
    assert_sorted_and_clean(report)
    # Rolling windows longer than the run leave NaN, which arrives as None.
    assert set(report["rolling_sharpe"]) == {None}
    assert all(v is None or type(v) is float for v in report["metrics"].values())


def test_source_dict_and_json_text_give_the_same_report():
    close = prices()
    src = "normalize_row(is_largest(pct_change(close, 20), 3))"
    tree = zorv.parse(src)
    assert tree == MOMENTUM
    panels = {"close": close}
    config = {"fee_ratio": 0.001, "tax_ratio": 0.002}
    a = zorv.run_backtest(src, panels, config)
    b = zorv.run_backtest(tree, panels, config)
    c = zorv.run_backtest("  \n" + json.dumps(tree, indent=1), panels, config)
    assert a == b == c


def test_dataframe_and_dict_panels_agree():
    close = prices(n_dates=60, n_symbols=4)
    as_dict = grid([d.strftime("%Y-%m-%d") for d in close.index], list(close.columns),
                   close.to_numpy().tolist())
    a = zorv.run_backtest(MOMENTUM, {"close": close})
    b = zorv.run_backtest(MOMENTUM, {"close": as_dict})
    assert a == b


@pytest.mark.parametrize(
    "first, expected",
    [(20240102, 20240102), ("2024-01-02", 20240102), ("2024/1/2", 202412), (True, 1)],
)
def test_dates_reach_the_report(first, expected):
    panel = grid([first, 20250101], ["A"], [[1.0], [1.0]])
    report = zorv.run_backtest(DATA_CLOSE, {"close": panel})
    assert report["dates"][0] == expected


def test_engine_failures_are_value_errors():
    with pytest.raises(ValueError, match="^eval error: "):
        zorv.run_backtest(DATA_CLOSE, {})
    with pytest.raises(ValueError, match="^eval error: "):
        zorv.run_backtest("{not json", {"close": prices(5)})
    with pytest.raises(ValueError, match="^eval error: "):
        zorv.run_backtest(DATA_CLOSE, {"px": prices(5)}, price_key="close")


def test_industry_map_and_price_key():
    close = prices(n_dates=40, n_symbols=4)
    industry = {s: ("a" if i % 2 else "b") for i, s in enumerate(close.columns)}
    spec = {"op": "NormalizeRow", "of": {"op": "IndustryRank", "of": {"op": "Data", "name": "px"}}}
    report = zorv.run_backtest(spec, {"px": close}, price_key="px", industry=industry)
    assert list(report) == REPORT_KEYS
