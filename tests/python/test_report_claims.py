"""Statements of docs/report.md that decide a result, checked against the module: the error texts
the page lists, the order in which run_backtest reports failures, what zorv.format prints for
trees it cannot give back, and the simulation's rules for participation caps and delisting."""
import decimal
import json
import re
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import zorv
from conftest import DATA_CLOSE, grid

ROOT = Path(__file__).resolve().parents[2]
# Table cells escape their backticks; the page shows them plain.
DOC = (ROOT / "docs" / "report.md").read_text(encoding="utf-8").replace("\\`", "`")

DATES = [20240102, 20240103, 20240104]
CLOSE = grid(DATES, ["A"], [[1.0], [2.0], [3.0]])
# Words the page writes in capitals where a message carries a value.
PLACEHOLDERS = {"TYPE", "NAME", "N", "C", "LINE", "COL"}


def pattern(shown):
    """The messages the page's text stands for: each placeholder word matches any text."""
    parts = re.split(r"\b(" + "|".join(PLACEHOLDERS) + r")\b", shown)
    return "".join(".+?" if p in PLACEHOLDERS else re.escape(p) for p in parts)


class Index:
    def __init__(self, n):
        self.n = n

    def __index__(self):
        return self.n


def nested(levels):
    """A tree `levels` JSON objects deep: Not(Not(... Data close))."""
    tree = DATA_CLOSE
    for _ in range(levels - 1):
        tree = {"op": "Not", "of": tree}
    return tree


def with_dates(dates):
    return lambda: zorv.run_backtest("close", {"close": grid(dates, ["A"], [[1.0]] * len(dates))})


def with_cell(cell):
    return lambda: zorv.run_backtest("close", {"close": grid(DATES[:2], ["A"], [[1.0], [cell]])})


def with_spec(spec):
    return lambda: zorv.run_backtest(spec, {"close": CLOSE})


def deep_dict():
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(max(limit, 5000))
    try:
        zorv.run_backtest(nested(1025), {"close": CLOSE})
    finally:
        sys.setrecursionlimit(limit)


NAT_INDEX = pd.DatetimeIndex(["2024-01-02", None, "2024-01-04"])

ERRORS = [
    # (text on the page, call, exception)
    ("cannot interpret `TYPE` as a YYYYMMDD date", with_dates([2**31]), ValueError),
    ("cannot interpret `TYPE` as a YYYYMMDD date", with_dates([-(2**31) - 1]), ValueError),
    ("cannot interpret `TYPE` as a YYYYMMDD date", with_dates(np.array([20240102, 2**31])),
     ValueError),
    ("NaTType does not support strftime",
     lambda: zorv.run_backtest("close", {"close": pd.DataFrame({"A": [1.0] * 3}, NAT_INDEX)}),
     ValueError),
    ("panel cells must be numbers or None", with_cell("1.5"), ValueError),
    ("panel cells must be numbers or None", with_cell(2**1100), ValueError),
    ("spec dict keys must be str, not TYPE", with_spec({"op": "Data", 1: "close"}), TypeError),
    ("int too big to convert", with_spec({"op": "Data", "name": "close", "x": 2**63}),
     OverflowError),
    ("int too big to convert", with_spec({"op": "Data", "name": "close", "x": -(2**63) - 1}),
     OverflowError),
    ("maximum recursion depth exceeded while converting a spec", deep_dict, RecursionError),
    ("eval error: recursion limit exceeded at line 1 column C", with_spec(nested(128)),
     ValueError),
    ("eval error: recursion limit exceeded at line 1 column C",
     with_spec(json.dumps(nested(128))), ValueError),
    ("quaro parse: LINE:COL: expression nested too deeply",
     with_spec("(" * 257 + "close" + ")" * 257), ValueError),
    ("quaro parse: LINE:COL: expression nested too deeply", with_spec("not " * 127 + "close"),
     ValueError),
    ("eval error: bare Const N not allowed at top level",
     with_spec({"op": "Neg", "of": {"op": "Const", "value": 3}}), ValueError),
    ("eval error: bare Const N not allowed at top level",
     with_spec({"op": "Add", "l": DATA_CLOSE,
                "r": {"op": "Neg", "of": {"op": "Const", "value": 3}}}), ValueError),
]


@pytest.mark.parametrize("shown,call,error", ERRORS)
def test_errors_are_raised_as_the_page_shows(shown, call, error):
    assert shown in DOC
    with pytest.raises(error) as raised:
        call()
    assert re.fullmatch(pattern(shown), str(raised.value)), str(raised.value)


ACCEPTED = [
    # Just inside the limits of the errors above: each of these reads.
    with_dates([2**31 - 1]),
    with_dates([-(2**31)]),
    with_spec({"op": "Data", "name": "close", "x": 2**63 - 1}),
    with_spec({"op": "Data", "name": "close", "x": -(2**63)}),
    with_spec(nested(127)),
    with_spec("(" * 256 + "close" + ")" * 256),
    with_spec("not " * 126 + "close"),
    with_spec({"op": "Gt", "l": DATA_CLOSE, "r": {"op": "Const", "value": -3}}),
]


@pytest.mark.parametrize("call", ACCEPTED)
def test_values_at_the_limits_are_accepted(call):
    call()


@pytest.mark.parametrize("cell,value", [
    (1.5, 1.5), (2, 2.0), (True, 1.0), (np.float32(1.5), 1.5), (decimal.Decimal("1.5"), 1.5),
    (Index(2), 2.0), (None, None), (float("nan"), None),
])
def test_cells_that_are_numbers(cell, value):
    # The weight of day 2 does not earn anything, so equity[1] is the second price / the first.
    assert with_cell(cell)()["equity"][1] == (1.0 if value is None else value)


@pytest.mark.parametrize("value,same_as", [
    (Index(2), 2.0), (True, 1.0), (decimal.Decimal("0.25"), 0.25),
])
def test_float_knobs_take_index_and_float_objects(value, same_as):
    run = lambda fee: zorv.run_backtest("close", {"close": CLOSE}, {"fee_ratio": fee})
    assert run(value) == run(same_as)


@pytest.mark.parametrize("value,error", [("0.1", TypeError), (None, TypeError),
                                         (2**1100, OverflowError)])
def test_float_knobs_refuse(value, error):
    with pytest.raises(error):
        zorv.run_backtest("close", {"close": CLOSE}, {"fee_ratio": value})


BAD_CONFIG = {"bogus": 1}
BAD_PANELS = {"close": 5}
BAD_PANEL = "panel `close` must be a DataFrame or a dict with dates/symbols/data"


@pytest.mark.parametrize("spec,config,panels,first", [
    # A dict's Python values and quaro source are read before the configuration...
    ({"op": "Data", "name": (1,)}, BAD_CONFIG, BAD_PANELS, "unsupported value in spec: tuple"),
    ({"op": "Data", 1: "close"}, BAD_CONFIG, BAD_PANELS, "spec dict keys must be str, not int"),
    ({"op": "Data", "name": "close", "x": 2**64}, BAD_CONFIG, BAD_PANELS,
     "int too big to convert"),
    ("close >", BAD_CONFIG, BAD_PANELS, "quaro parse: 1:8: unexpected token Eof"),
    ("foo(close)", BAD_CONFIG, BAD_PANELS, "quaro parse: 1:1: unknown op `foo`"),
    # ...the tree itself after the configuration and the panels.
    ({"op": "Nope"}, BAD_CONFIG, BAD_PANELS, "unknown config key `bogus`"),
    (nested(128), BAD_CONFIG, BAD_PANELS, "unknown config key `bogus`"),
    ('{"op": "Data"', BAD_CONFIG, BAD_PANELS, "unknown config key `bogus`"),
    ({"op": "Nope"}, None, BAD_PANELS, BAD_PANEL),
    ({"op": "Average", "of": DATA_CLOSE}, None, {"close": CLOSE}, "eval error: missing field `n`"),
])
def test_failures_are_reported_in_the_documented_order(spec, config, panels, first):
    with pytest.raises((TypeError, ValueError, OverflowError)) as raised:
        zorv.run_backtest(spec, panels, config)
    assert str(raised.value) == first


@pytest.mark.parametrize("keywords", [{"price_key": None}, {"industry": {"A": 1}}])
def test_price_key_and_industry_types_come_first(keywords):
    with pytest.raises(TypeError, match=f"argument '{next(iter(keywords))}' must be"):
        zorv.run_backtest({"op": "Data", "name": (1,)}, BAD_PANELS, BAD_CONFIG, **keywords)


def test_tree_error_position_points_into_the_compact_json():
    m = re.search(r"`(\{[^`]*\})` is read as `(\{[^`]*\})`, so its\s+error ends "
                  r"\"at line 1 column (\d+)\"", DOC)
    assert m, "the page's example of an error position is gone"
    given, compact, column = json.loads(m.group(1)), m.group(2), m.group(3)
    assert json.dumps(given, separators=(",", ":"), sort_keys=True) == compact
    with pytest.raises(ValueError) as raised:
        zorv.run_backtest(given, {"close": CLOSE})
    assert str(raised.value).endswith(f" at line 1 column {column}")
    # The column is that of the compact text (the end of "Nope"), not of the dict's own order.
    assert compact[int(column) - 1] == '"' and compact[: int(column)].endswith('"Nope"')
    # Errors inside a child node carry no position.
    with pytest.raises(ValueError) as raised:
        zorv.run_backtest({"op": "Not", "of": given}, {"close": CLOSE})
    assert " at line " not in str(raised.value)


SUSTAIN = {"op": "Sustain", "of": DATA_CLOSE, "nwindow": 3}


@pytest.mark.parametrize("tree,printed", [
    ({"op": "Average", "of": ["Data", "close"], "n": 3}, 'sma(["Data","close"], 3)'),
    ({"op": "Average", "of": {"op": 0, "name": "close"}, "n": 3},
     'sma({"name":"close","op":0}, 3)'),
    ({**SUSTAIN, "nsatisfy": None}, "sustain(close, 3, nsatisfy=null)"),
    ({"op": "Gt", "l": DATA_CLOSE, "r": {"op": "Const", "value": -3}}, "(close > -3)"),
])
def test_format_prints_trees_it_cannot_give_back(tree, printed):
    assert f"`{printed}`" in DOC
    zorv.run_backtest(tree, {"close": CLOSE})  # the tree runs
    assert zorv.format(tree) == printed  # and prints without an error
    try:
        again = zorv.parse(printed)
    except ValueError:
        return  # does not parse
    # It parses, but to another tree, which does not run.
    assert again != tree
    assert again["r"] == {"op": "Neg", "of": {"op": "Const", "value": 3}}
    with pytest.raises(ValueError, match="^eval error: bare Const 3 not allowed at top level$"):
        zorv.run_backtest(again, {"close": CLOSE})


def test_a_repeated_date_is_taken_from_its_last_row():
    close = grid([20240102, 20240103, 20240103, 20240104], ["A"], [[10.0], [20.0], [11.0], [11.0]])
    report = zorv.run_backtest("close > 0", {"close": close})
    assert report["dates"] == [20240102, 20240103, 20240104]
    assert report["equity"] == pytest.approx([1.0, 1.1, 1.1])


def test_volume_of_zero_caps_and_missing_volume_does_not():
    # A priced every day; volume 0 on the second date, missing on the third. The instruction never
    # changes, so the portfolio keeps its first-day position while the trade list follows the caps.
    dates = [20240102, 20240103, 20240104, 20240105]
    panels = {
        "close": grid(dates, ["A"], [[10.0], [11.0], [12.0], [13.0]]),
        "volume": grid(dates, ["A"], [[1e9], [0.0], [None], [1e9]]),
        "w": grid(dates, ["A"], [[1.0], [None], [None], [None]]),
    }
    config = {"initial_capital": 1e4, "max_participation": 0.1}
    report = zorv.run_backtest({"op": "Data", "name": "w"}, panels, config)
    trades = [(t["entry_date"], t["exit_date"]) for t in report["trades"]]
    assert trades == [(20240102, 20240103), (20240104, None)]
    assert report["equity"] == pytest.approx([1.0, 1.1, 1.2, 1.3])
    # The exposure follows the targets: 1, capped to 0, uncapped, 1.
    assert report["metrics"]["avg_exposure"] == pytest.approx(0.75)


DELIST_DATES = [20240102, 20240103, 20240104, 20240105, 20240108, 20240109, 20240110]
# C goes unquoted for three dates and is delisted on the third, 20240108.
DELIST_CLOSE = grid(DELIST_DATES, ["A", "C"], [
    [10.0, 10.0], [11.0, 10.0], [11.0, None], [11.0, None], [11.0, None], [12.1, 12.0],
    [12.1, 13.2]])


def delisted(first_row, later=None, **config):
    rows = [first_row] + [[None, None]] * 6
    for t, row in (later or {}).items():
        rows[t] = row
    panels = {"close": DELIST_CLOSE, "w": grid(DELIST_DATES, ["A", "C"], rows)}
    config = {"delist_after": 3, "delist_haircut": 0.5, **config}
    return zorv.run_backtest({"op": "Data", "name": "w"}, panels, config)


@pytest.mark.parametrize("first_row,equity", [
    # A at 0.5 after the write-off, the rest in cash: +10 % on A earns 5 % (0.8 -> 0.84), not the
    # 6.9 % of A's rescaled weight 0.55 / 0.8.
    ([0.5, 0.5], [1.0, 1.05, 1.05, 1.05, 0.8, 0.84, 0.84]),
    # Instructions of gross 2 were halved; without C, A's target grows to 1.
    ([1.0, 1.0], [1.0, 1.05, 1.05, 1.05, 0.8, 0.88, 0.88]),
    ([0.2, 0.5], [1.0, 1.02, 1.02, 1.02, 0.77, 0.7854, 0.7854]),
])
def test_delisting_resets_the_portfolio_to_its_targets(first_row, equity):
    assert delisted(first_row)["equity"] == pytest.approx(equity)


def test_delisting_date_pays_the_cost_of_the_reset():
    fee = 0.01
    report = delisted([0.5, 0.5], fee_ratio=fee)
    before = report["equity"][3]
    a, c = 0.55 / 1.05, 0.5 / 1.05  # weights drifted by A's +10 %
    kept = 1 - c * 0.5
    # Written off, then A cut from its rescaled weight back to its target 0.5.
    assert report["equity"][4] == pytest.approx(before * kept * (1 - fee * (a / kept - 0.5)))


@pytest.mark.parametrize("later,c_trades", [
    # No new weight: C stays out after its prices return.
    ({}, [(20240102, 20240108)]),
    # A weight given while C is delisted is dropped.
    ({4: [None, 0.3]}, [(20240102, 20240108)]),
    # A weight on the date of its next price counts.
    ({5: [None, 0.3]}, [(20240102, 20240108), (20240109, None)]),
])
def test_delisted_instruction_stays_zero_until_a_new_weight(later, c_trades):
    report = delisted([0.5, 0.5], later)
    trades = [(t["entry_date"], t["exit_date"]) for t in report["trades"] if t["symbol"] == "C"]
    assert trades == c_trades
