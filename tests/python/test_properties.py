"""Property tests: random panels, strategies and configurations through the four functions.

The default profile keeps the whole file well under a minute; set ZORV_HYPOTHESIS_PROFILE=thorough
for a longer search.
"""
import json
import math
import os
import re

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import zorv

settings.register_profile(
    "ci",
    max_examples=150,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
settings.register_profile(
    "thorough",
    max_examples=2000,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
PROFILE = settings.get_profile(os.environ.get("ZORV_HYPOTHESIS_PROFILE", "ci"))

# ---- the language's vocabulary ----

E, OE, EL, N, ON, OB, S, OS, OSL = "E", "OE", "EL", "N", "ON", "OB", "S", "OS", "OSL"
OF_N = [(E, "of"), (N, "n")]
HLC_N = [(E, "high"), (E, "low"), (E, "close"), (N, "n")]
HLCV_N = [(E, "high"), (E, "low"), (E, "close"), (E, "volume"), (N, "n")]
OF = [(E, "of")]

# (aliases, tag, parameters in positional order)
CALLS = [
    (["sma", "average"], "Average", OF_N),
    (["ema"], "Ema", OF_N),
    (["std"], "Std", OF_N),
    (["rsi"], "Rsi", OF_N),
    (["pct_change"], "PctChange", OF_N),
    (["rise"], "Rise", OF_N),
    (["fall"], "Fall", OF_N),
    (["shift"], "Shift", OF_N),
    (["rolling_max"], "RollingMax", OF_N),
    (["atr"], "Atr", HLC_N),
    (["natr"], "Natr", HLC_N),
    (["willr"], "WillR", HLC_N),
    (["cci"], "Cci", HLC_N),
    (["stoch_k"], "StochK", HLC_N),
    (["stoch_d"], "StochD", HLC_N + [(ON, "d")]),
    (["aroon_up"], "AroonUp", [(E, "high"), (N, "n")]),
    (["aroon_down"], "AroonDown", [(E, "low"), (N, "n")]),
    (["adx"], "Adx", HLC_N),
    (["plus_di"], "PlusDi", HLC_N),
    (["minus_di"], "MinusDi", HLC_N),
    (["obv"], "Obv", [(E, "close"), (E, "volume")]),
    (["mfi"], "Mfi", HLCV_N),
    (["vwap"], "Vwap", HLCV_N),
    (["is_largest"], "IsLargest", OF_N),
    (["is_smallest"], "IsSmallest", OF_N),
    (["sustain"], "Sustain", [(E, "of"), (N, "nwindow"), (ON, "nsatisfy")]),
    (["is_entry"], "IsEntry", OF),
    (["is_exit"], "IsExit", OF),
    (["ceil"], "Ceil", OF),
    (["rank"], "Rank", [(E, "of"), (OB, "pct"), (OB, "ascending")]),
    (["mask"], "Mask", [(E, "of"), (E, "by")]),
    (["normalize_row"], "NormalizeRow", OF),
    (["hold_until"], "HoldUntil",
     [(E, "entry"), (E, "exit"), (ON, "nstocks_limit"), (OE, "rank"), (ON, "stop_loss"),
      (ON, "take_profit"), (ON, "trail_stop"), (ON, "trail_stop_activation")]),
    (["rebalance"], "Rebalance", [(E, "of"), (OS, "freq"), (OE, "on")]),
    (["neutralize"], "Neutralize", [(E, "of"), (EL, "by"), (OB, "add_const")]),
    (["neutralize_industry"], "NeutralizeIndustry", [(E, "of"), (OB, "add_const")]),
    (["industry_rank"], "IndustryRank", [(E, "of"), (OSL, "categories")]),
    (["groupby_category"], "GroupbyCategory", [(E, "of"), (S, "agg")]),
]
BINOPS = {">": "Gt", "<": "Lt", ">=": "Ge", "<=": "Le", "and": "And", "or": "Or", "+": "Add",
          "-": "Sub", "*": "Mul", "/": "Div"}
SERIES = ["close", "high", "low", "volume", "x", "nope", "sma", "rank"]
series = st.integers(0, 39).flatmap(
    lambda i: st.sampled_from(SERIES[5:]) if i == 0 else st.sampled_from(SERIES[:5]))

# ---- strategies: source text ----

numbers = st.integers(0, 9).flatmap(lambda i: st.sampled_from(
    ["0", "0.5", "2.5", "0.05", "1e-9", "1_000", "1e300", "4294967297", "9007000000000000",
     "18446744073709551616", "1.", "7e0"]) if i == 0 else st.integers(1, 30).map(str))
strings = st.sampled_from(["mean", "sum", "max", "min", "median", "count", "std", "W", "ME",
                           "QE", "M", "", "其他", "a b"])


@st.composite
def expr_src(draw, depth, names=()):
    """One expression as source text."""
    leaves = [series, series, numbers]
    if names:
        leaves.append(st.sampled_from(names))
    if depth <= 0:
        return draw(st.one_of(*leaves))
    kind = draw(st.integers(0, 9))
    if kind <= 1:
        return draw(st.one_of(*leaves))
    if kind == 2:
        prefix = draw(st.sampled_from(["-", "not "]))
        return prefix + draw(expr_src(depth - 1, names))
    if kind <= 4:
        op = draw(st.sampled_from(sorted(BINOPS)))
        text = f"{draw(expr_src(depth - 1, names))} {op} {draw(expr_src(depth - 1, names))}"
        return f"({text})" if draw(st.booleans()) else text
    return draw(call_src(depth - 1, names))


@st.composite
def arg_src(draw, kind, depth, names):
    if kind in (E, OE):
        return draw(expr_src(depth, names))
    if kind == EL:
        return "[" + ", ".join(draw(st.lists(expr_src(depth, names), max_size=3))) + "]"
    if kind in (N, ON):
        return draw(numbers)
    if kind == OB:
        return draw(st.sampled_from(["true", "false"]))
    if kind in (S, OS):
        return '"' + draw(strings) + '"'
    # OptStrList: elements are not checked by the builder, so mix in a series now and then.
    items = draw(st.lists(st.one_of(strings.map(lambda s: f'"{s}"'), st.just("close")),
                          max_size=3))
    return "[" + ", ".join(items) + "]"


@st.composite
def call_src(draw, depth, names=()):
    aliases, _, params = draw(st.sampled_from(CALLS))
    alias = draw(st.sampled_from(aliases))
    args = []
    keyword = False
    for kind, pname in params:
        optional = kind in (OE, ON, OB, OS, OSL)
        if optional and not draw(st.booleans()):
            keyword = True  # a gap: later arguments need their keyword
            continue
        value = draw(arg_src(kind, depth, names))
        keyword = keyword or (optional and kind != OE) or draw(st.integers(0, 5)) == 0
        args.append(f"{pname}={value}" if keyword else value)
    if draw(st.integers(0, 7)) == 0:
        args.reverse()  # usually a "positional after keyword" error
    return f"{alias}({', '.join(args)})"


@st.composite
def program_src(draw):
    """Optional `let` bindings, then one expression that may use them."""
    lines = []
    names = []
    for i in range(draw(st.integers(0, 2))):
        lines.append(f"let v{i} = {draw(expr_src(2, tuple(names)))}")
        names.append(f"v{i}")
    # Mostly a call on top, as strategies are; a bare number there is refused.
    depth = draw(st.integers(0, 3))
    lines.append(draw(st.one_of(call_src(depth, tuple(names)), expr_src(3, tuple(names)))))
    return "\n".join(lines)


# ---- strategies: panels and configurations ----

CAL_DATES = [20231229, 20240102, 20240103, 20240104, 20240105, 20240108, 20240131, 20240201,
             20240229, 20240301, 20240628, 20240701, 20241231, 20250102, 20250103, 20250331]
ODD_DATES = [20241301, 20240230, 20240000, 0, 1, -20240102, 99991231, 2147483647, -2147483648]
SPECIAL_CELLS = [math.nan, math.inf, -math.inf, 0.0, -0.0, None, 1e308, -1e308, 5e-324, -1.0]
SYMBOLS = ["A", "B", "C", "D", "E"]


@st.composite
def dates(draw, n):
    out = sorted(draw(st.lists(st.sampled_from(CAL_DATES), min_size=n, max_size=n, unique=True)))
    mode = draw(st.integers(0, 5))
    if mode == 1 and n > 1:
        out = draw(st.permutations(out))
    elif mode == 2 and n > 1:
        out[-1] = out[0]  # a repeated date
    elif mode == 3 and n:
        out[draw(st.integers(0, n - 1))] = draw(st.sampled_from(ODD_DATES))
    return out


@st.composite
def cell(draw):
    pick = draw(st.integers(0, 9))
    if pick <= 6:
        return draw(st.floats(0.5, 200.0))
    if pick == 7:
        return None
    return draw(st.sampled_from(SPECIAL_CELLS))


@st.composite
def panel(draw, shape=None):
    if shape is None:
        shape = (draw(st.integers(0, 14)), draw(st.integers(0, 4)))
    n_rows, n_cols = shape
    ds = draw(dates(n_rows))
    syms = draw(st.lists(st.sampled_from(SYMBOLS), min_size=n_cols, max_size=n_cols,
                         unique=draw(st.integers(0, 7)) > 0))
    rows = [[draw(cell()) for _ in range(n_cols)] for _ in range(n_rows)]
    if rows and n_cols and draw(st.booleans()):  # a run of NaN down one column
        c = draw(st.integers(0, n_cols - 1))
        start = draw(st.integers(0, n_rows - 1))
        for r in range(start, min(n_rows, start + draw(st.integers(1, n_rows)))):
            rows[r][c] = math.nan
    if rows and draw(st.integers(0, 5)) == 0:  # short rows and missing trailing rows
        rows = [row[: draw(st.integers(0, n_cols))] for row in rows[: draw(st.integers(0, n_rows))]]
    return {"dates": ds, "symbols": syms, "data": rows}


@st.composite
def panel_set(draw):
    close = draw(panel())
    shape = (len(close["dates"]), len(close["symbols"]))
    panels = {"close": close}
    for name in ("high", "low", "volume", "x"):
        if draw(st.integers(0, 15)) > 0:
            same = draw(st.integers(0, 7)) > 0
            p = draw(panel(shape))
            if same:
                p["dates"], p["symbols"] = list(close["dates"]), list(close["symbols"])
            panels[name] = p
    if draw(st.integers(0, 15)) == 0:
        del panels["close"]
    return panels


def mostly(good, bad):
    """`good`, with `bad` about one time in ten."""
    return st.integers(0, 9).flatmap(lambda i: bad if i == 0 else good)


float_knob = mostly(st.floats(0.0, 0.05), st.sampled_from(
    [0, 1, True, 1e6, math.nan, math.inf, -1.0, 1e308, "0.1", None]))
count_knob = mostly(st.integers(0, 30), st.sampled_from([-1, 2**64, 2**64 - 1, 2.0, True, "3"]))
config_entries = {
    **{k: float_knob for k in ("fee_ratio", "tax_ratio", "position_limit", "slippage_ratio",
                               "initial_capital", "max_participation", "impact_coef",
                               "delist_haircut")},
    "delist_after": count_knob,
    "bootstrap_samples": st.integers(0, 25),
    "bootstrap_block": count_knob,
    "benchmark_key": mostly(st.sampled_from([None, "close", "x"]), st.sampled_from(["nope", 5])),
}
configs = mostly(st.one_of(st.none(), st.fixed_dictionaries({}, optional=config_entries)),
                 st.just({"Fee_ratio": 0.1}))
industries = st.one_of(st.none(), st.dictionaries(st.sampled_from(SYMBOLS),
                                                  st.sampled_from(["tech", "bank", "其他"])))

# ---- checks ----

REQUIRED = {"dates", "drawdown", "equity", "metrics", "monthly_returns", "rolling_sharpe",
            "rolling_volatility", "trades", "yearly_returns"}
TRADE_KEYS = ["entry_date", "exit_date", "mae", "mfe", "period", "ret", "symbol"]
CI_KEYS = ["p05", "p50", "p95"]


def is_num(v):
    return v is None or (type(v) is float and math.isfinite(v))


def check_report(report, config):
    assert type(report) is dict
    keys = list(report)
    assert keys == sorted(keys)
    assert REQUIRED <= set(keys) <= REQUIRED | {"benchmark", "bootstrap"}
    config = config or {}
    n = len(report["dates"])
    assert ("benchmark" in report) == (config.get("benchmark_key") is not None)
    assert ("bootstrap" in report) == (bool(config.get("bootstrap_samples")) and n >= 3)
    assert all(type(d) is int for d in report["dates"])
    for key in ("equity", "drawdown", "rolling_sharpe", "rolling_volatility", "benchmark"):
        if key in report:
            assert len(report[key]) == n, key
            assert all(is_num(v) for v in report[key]), key
    for key in ("monthly_returns", "yearly_returns"):
        for p in report[key]:
            assert list(p) == ["period", "ret"]
            assert type(p["period"]) is str and is_num(p["ret"])
    for t in report["trades"]:
        assert list(t) == TRADE_KEYS
        assert type(t["symbol"]) is str and type(t["entry_date"]) is int
        assert t["exit_date"] is None or type(t["exit_date"]) is int
        assert type(t["period"]) is int
        assert all(is_num(t[k]) for k in ("ret", "mae", "mfe"))
    metrics = report["metrics"]
    assert list(metrics) == sorted(metrics)
    assert all(is_num(v) for v in metrics.values())
    if "bootstrap" in report:
        b = report["bootstrap"]
        assert list(b) == ["block_len", "cagr", "max_drawdown", "n_samples", "sharpe"]
        assert b["n_samples"] == config["bootstrap_samples"]
        for k in ("cagr", "max_drawdown", "sharpe"):
            assert list(b[k]) == CI_KEYS and all(is_num(v) for v in b[k].values())


def attempt(fn, *args, **kwargs):
    """The result, or the exception when it is one the functions may raise on bad input."""
    try:
        return fn(*args, **kwargs)
    except (ValueError, TypeError, OverflowError) as e:
        assert str(e), f"{type(e).__name__} without a message"
        return e


def same(a, b):
    if isinstance(a, Exception):
        return type(a) is type(b) and str(a) == str(b)
    return json.dumps(a) == json.dumps(b)


def walk(tree):
    yield tree
    if isinstance(tree, dict):
        for v in tree.values():
            yield from walk(v)
    elif isinstance(tree, list):
        for v in tree:
            yield from walk(v)


def printer_exempt(tree):
    """Trees that the printer is known not to round-trip."""
    if tree.get("op") == "Const":  # a `let` bound to a bare number used as the strategy
        return True
    return any(isinstance(node, dict) and node.get("op") == "IndustryRank"
               and any(not isinstance(c, str) for c in node.get("categories", []))
               for node in walk(tree))


def try_parse(src):
    try:
        return zorv.parse(src)
    except ValueError as e:
        assert re.match(r"^\d+:\d+: .", str(e)), str(e)
        return None


# ---- properties ----

def test_call_table_is_complete():
    assert len(CALLS) == 38
    for aliases, tag, params in CALLS:
        required = [p for k, p in params if k in (E, EL, N, S)]
        kinds = dict((p, k) for k, p in params)
        values = {E: "close", EL: "[x]", N: "3", S: '"mean"'}
        src = f"{aliases[0]}({', '.join(f'{p}={values[kinds[p]]}' for p in required)})"
        for alias in aliases:
            tree = zorv.parse(src.replace(aliases[0], alias, 1))
            assert tree["op"] == tag
        assert zorv.format(tree).startswith(aliases[0] + "(")


@PROFILE
@given(src=program_src(), panels=panel_set(), config=configs, industry=industries,
       price_key=st.sampled_from(["close", "close", "close", "x"]))
def test_run_backtest_reports_or_fails_cleanly(src, panels, config, industry, price_key):
    first = attempt(zorv.run_backtest, src, panels, config, price_key, industry)
    if not isinstance(first, Exception):
        check_report(first, config)
    again = attempt(zorv.run_backtest, src, panels, config, price_key, industry)
    assert same(first, again)
    tree = try_parse(src)
    if tree is not None:
        from_tree = attempt(zorv.run_backtest, tree, panels, config, price_key, industry)
        assert same(first, from_tree)


@PROFILE
@given(src=program_src(), series=st.none() | st.lists(st.sampled_from(SERIES + ["closee"])))
def test_parse_format_lint_agree(src, series):
    tree = try_parse(src)
    if tree is None:
        with pytest.raises(ValueError) as parse_err:
            zorv.parse(src)
        with pytest.raises(ValueError) as lint_err:
            zorv.lint(src, series)
        assert str(lint_err.value) == str(parse_err.value)
        return
    lints = zorv.lint(src, series)
    assert all(list(d) == ["line", "col", "message"] for d in lints)
    assert [(d["line"], d["col"]) for d in lints] == sorted((d["line"], d["col"]) for d in lints)
    if series is None:
        assert all(d["message"].startswith("unused let binding") for d in lints)
    text = zorv.format(tree)
    assert zorv.format(json.dumps(tree)) == text
    if not printer_exempt(tree):
        assert zorv.parse(text) == tree
        assert zorv.format(zorv.parse(text)) == text


TOKENS = ["close", "x", "sma", "rank", "hold_until", "let", "v", "=", "(", ")", "[", "]", ",",
          "+", "-", "*", "/", "<", ">=", "and", "or", "not", "true", "1", "2.5", "1e999", '"W"',
          "n=", "stop_loss=", "#c\n", "\n", " ", ".", "1.2.3", "é", '"', "{"]


@PROFILE
@given(tokens=st.lists(st.sampled_from(TOKENS), max_size=25))
def test_token_soup_never_breaks_the_front_end(tokens):
    src = " ".join(tokens)
    tree = try_parse(src)
    try:
        lint_ok = zorv.lint(src, ["close"]) is not None
    except ValueError:
        lint_ok = False
    assert lint_ok == (tree is not None)
    if tree is not None:
        assert try_parse(zorv.format(tree)) is not None or printer_exempt(tree)


TAGS = [c[1] for c in CALLS] + list(BINOPS.values()) + ["Data", "Const", "Neg", "Not", "Nope"]
FIELDS = ["of", "n", "l", "r", "name", "value", "by", "high", "low", "close", "volume", "entry",
          "exit", "rank", "freq", "on", "agg", "categories", "pct", "d", "stop_loss"]
json_scalars = st.one_of(st.none(), st.booleans(), st.integers(-2**63, 2**63 - 1),
                         st.floats(allow_nan=False, allow_infinity=False),
                         st.sampled_from(["close", "x", "ME", "mean", ""]))


def nodes(inner):
    return st.builds(lambda op, fields: {"op": op, **fields}, st.sampled_from(TAGS),
                     st.dictionaries(st.sampled_from(FIELDS), inner, max_size=4))


values = st.recursive(json_scalars, lambda inner: st.one_of(st.lists(inner, max_size=3),
                                                            nodes(inner)), max_leaves=12)
trees = nodes(values)


@PROFILE
@given(tree=trees, panels=panel_set())
def test_arbitrary_trees_print_and_run_cleanly(tree, panels):
    text = zorv.format(tree)
    assert isinstance(text, str)
    assert zorv.format(json.dumps(tree)) == text
    result = attempt(zorv.run_backtest, tree, panels)
    if isinstance(result, Exception):
        assert isinstance(result, ValueError)
    else:
        check_report(result, None)


def as_frame(p):
    """The same panel as a DataFrame (missing cells and rows filled with NaN)."""
    n_cols = len(p["symbols"])
    rows = [[math.nan if c is None else c for c in row] + [math.nan] * (n_cols - len(row))
            for row in p["data"]]
    rows += [[math.nan] * n_cols] * (len(p["dates"]) - len(rows))
    data = np.array(rows, dtype=float).reshape(len(p["dates"]), n_cols)
    return pd.DataFrame(data, index=p["dates"], columns=p["symbols"])


@PROFILE
@given(src=program_src(), panels=panel_set(), config=configs)
def test_dataframes_and_dicts_give_the_same_report(src, panels, config):
    from_dicts = attempt(zorv.run_backtest, src, panels, config)
    frames = {name: as_frame(p) for name, p in panels.items()}
    assert same(from_dicts, attempt(zorv.run_backtest, src, frames, config))


@st.composite
def market(draw):
    """A longer, price-like panel set: random walks over business days with gaps, listings
    and delistings, so that rolling windows, periods and stops come into play."""
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    n_rows, n_cols = draw(st.integers(20, 400)), draw(st.integers(1, 8))
    days = pd.bdate_range(draw(st.sampled_from(["2019-12-02", "2020-02-03", "2023-06-30"])),
                          periods=n_rows)
    dates = [int(d.strftime("%Y%m%d")) for d in days]
    close = 20.0 * np.exp(np.cumsum(rng.normal(0.0, 0.03, (n_rows, n_cols)), axis=0))
    close[rng.random((n_rows, n_cols)) < draw(st.sampled_from([0.0, 0.02, 0.2]))] = np.nan
    for c in range(n_cols):
        if rng.random() < 0.3:
            close[int(rng.integers(0, n_rows)):, c] = np.nan  # delisted
        if rng.random() < 0.3:
            close[: int(rng.integers(0, n_rows)), c] = np.nan  # listed late
    spread = 1.0 + np.abs(rng.normal(0.0, 0.01, (n_rows, n_cols)))
    volume = np.floor(rng.lognormal(10.0, 1.0, (n_rows, n_cols)))
    volume[rng.random((n_rows, n_cols)) < 0.05] = 0.0

    def frame(values):
        return pd.DataFrame(values, index=days, columns=[f"S{i}" for i in range(n_cols)])

    return {"close": frame(close), "high": frame(close * spread), "low": frame(close / spread),
            "volume": frame(volume), "x": frame(rng.normal(0.0, 1.0, (n_rows, n_cols)))}


@PROFILE
@given(src=program_src(), panels=market(), config=configs,
       industry=st.sampled_from([None, {"S0": "a", "S1": "a", "S2": "b", "S3": "b"}]))
def test_longer_markets_report_or_fail_cleanly(src, panels, config, industry):
    first = attempt(zorv.run_backtest, src, panels, config, industry=industry)
    if not isinstance(first, Exception):
        check_report(first, config)
    assert same(first, attempt(zorv.run_backtest, src, panels, config, industry=industry))
