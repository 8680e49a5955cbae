"""Statements of docs/report.md that decide a result, checked against the module: the error texts
the page lists, the order in which run_backtest reports failures, how panels are read (str dates,
the rows of a DataFrame, pandas' missing values, repeated symbols), what zorv.format prints for
trees it cannot give back, and the simulation's rules for participation caps and delisting."""
import decimal
import io
import json
import re
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import zorv
from conftest import DATA_CLOSE, Stamp, grid

ROOT = Path(__file__).resolve().parents[2]
# Table cells escape their backticks; the page shows them plain.
DOC = (ROOT / "docs" / "report.md").read_text(encoding="utf-8").replace("\\`", "`")

DATES = [20240102, 20240103, 20240104]
CLOSE = grid(DATES, ["A"], [[1.0], [2.0], [3.0]])
# Words the page writes in capitals where a message carries a value.
PLACEHOLDERS = {"TYPE", "NAME", "N", "C", "LINE", "COL", "TEXT", "REASON"}


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
    ("bad date `TEXT`: not a YYYYMMDD calendar date", with_dates(["2024/1/2"]), ValueError),
    ("bad date `TEXT`: not a YYYYMMDD calendar date", with_dates(["2023-02-29"]), ValueError),
    ("bad date `TEXT`: REASON", with_dates(["2024-01-02 00:00:00"]), ValueError),
    ("bad date `TEXT`: REASON", with_dates(["Jan"]), ValueError),
    ("bad date `TEXT`: REASON", with_dates([Stamp("2024-01-02")]), ValueError),
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


def dates_of(dates):
    try:
        return with_dates(dates)()["dates"]
    except ValueError as e:
        return str(e)


@pytest.mark.parametrize("text,read", [
    # The page's examples, each quoted in its date paragraph.
    ("2024-01-02", 20240102), ("2024/01/02", 20240102), ("20240102", 20240102),
    ("01/03/2022", "not a YYYYMMDD calendar date"), ("2024/1/2", "not a YYYYMMDD calendar date"),
    ("2023-02-29", "not a YYYYMMDD calendar date"),
    ("2024-01-02 00:00:00", "number too large to fit in target type"),
])
def test_str_dates_as_the_page_quotes_them(text, read):
    assert f'"{text}"' in DOC
    assert dates_of([text]) == ([read] if isinstance(read, int) else f"bad date `{text}`: {read}")


CALENDAR = "not a YYYYMMDD calendar date"


@pytest.mark.parametrize("text,read", [
    # The years and leap days of the calendar the page names.
    ("00010101", 10101), ("99991231", 99991231), ("00000101", CALENDAR),
    ("2024-02-29", 20240229), ("2000-02-29", 20000229), ("1900-02-29", CALENDAR),
    # Which of the two messages: too large for 32 bits, or any other count of digits.
    ("2147483647", CALENDAR), ("2147483648", "number too large to fit in target type"),
    ("-5", CALENDAR), ("no digits", "cannot parse integer from empty string"),
])
def test_str_dates_follow_the_gregorian_calendar(text, read):
    assert dates_of([text]) == ([read] if isinstance(read, int) else f"bad date `{text}`: {read}")


def test_timestamps_parsed_by_pandas_are_the_way_in():
    texts = ["2024-01-02 00:00:00", "2024-01-03 16:00:00"]
    assert "`pd.to_datetime`" in DOC
    assert dates_of(pd.to_datetime(texts)) == [20240102, 20240103]
    # read_csv with parse_dates gives the same timestamps.
    csv = io.StringIO("day,A\n" + "".join(f"{t},1.0\n" for t in texts))
    frame = pd.read_csv(csv, index_col="day", parse_dates=True)
    assert zorv.run_backtest("close", {"close": frame})["dates"] == [20240102, 20240103]


def test_strftime_results_have_no_calendar_check():
    assert dates_of([Stamp("20240230"), Stamp("20240231")]) == [20240230, 20240231]


class Frame:
    """The DataFrame form's three attributes, with to_numpy() giving what the test chooses."""

    def __init__(self, rows):
        self.index, self.columns, self.rows = DATES[:2], ["A", "B"], rows

    def to_numpy(self):
        return self.rows


class Rows:
    def __init__(self, rows):
        self.rows, self.calls = rows, 0

    def tolist(self):
        self.calls += 1
        return self.rows


class LoggedArray(np.ndarray):
    calls = 0

    def tolist(self):
        LoggedArray.calls += 1
        return super().tolist()


@pytest.mark.parametrize("make", [
    Rows,  # not a numpy array
    lambda rows: np.array(rows).view(LoggedArray),  # a subclass of one
])
def test_frame_rows_other_than_a_numpy_array_come_through_tolist(make):
    LoggedArray.calls = 0
    rows = make([[1.0, 2.0], [1.5, 4.0]])
    report = zorv.run_backtest("close", {"close": Frame(rows)})
    # Weights 1/3 and 2/3 earn +50 % and +100 %.
    assert report["equity"] == pytest.approx([1.0, 1.0 + 0.5 / 3 + 2 / 3])
    assert (rows.calls if isinstance(rows, Rows) else LoggedArray.calls) == 1


def test_to_numpy_result_without_tolist_is_refused():
    with pytest.raises(AttributeError, match="tolist"):
        zorv.run_backtest("close", {"close": Frame([[1.0, 2.0], [1.5, 3.0]])})


NA_DATES = pd.to_datetime(["2024-01-02", "2024-01-03", "2024-01-04"])


def na_frame(*dtypes):
    """A frame with one column per dtype, each missing its last value."""
    columns = {f"S{i}": pd.array([10, 11, None], dtype=dt) for i, dt in enumerate(dtypes)}
    return pd.DataFrame(columns, index=NA_DATES)


NA_FRAMES = [
    # (frame, whether to_numpy() keeps pd.NA: in a frame of more than one column or a boolean one)
    (na_frame("Float64", "Float64"), True),
    (na_frame("Int64", "Int64"), True),
    (na_frame("Float64", "float64"), True),
    (na_frame("Int64", "Float64"), True),
    (pd.DataFrame({"S0": pd.array([True, False, None], dtype="boolean")}, index=NA_DATES), True),
    (na_frame("Float64"), False),  # a single numeric column comes out with NaN
    (na_frame("Int64"), False),
]


@pytest.mark.parametrize("frame,keeps_na", NA_FRAMES)
def test_nullable_missing_values_are_refused_until_made_float(frame, keeps_na):
    assert any(c is pd.NA for c in frame.to_numpy().ravel()) == keeps_na
    run = lambda df: zorv.run_backtest("close", {"close": df})
    fixed = run(frame.astype("float64"))
    assert fixed == run(pd.DataFrame(frame.to_numpy(dtype="float64", na_value=np.nan),
                                     index=frame.index, columns=frame.columns))
    if keeps_na:
        with pytest.raises(ValueError, match="^panel cells must be numbers or None$"):
            run(frame)
    else:
        assert run(frame) == fixed


def test_pyarrow_missing_values_are_refused_until_made_float():
    pytest.importorskip("pyarrow")
    frame = na_frame("float64[pyarrow]", "int64[pyarrow]")
    run = lambda df: zorv.run_backtest("close", {"close": df})
    if any(c is pd.NA for c in frame.to_numpy().ravel()):
        with pytest.raises(ValueError, match="^panel cells must be numbers or None$"):
            run(frame)
    assert run(frame.astype("float64")) == run(na_frame("float64", "float64"))


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


GOOD_ARGS = {"spec": "close", "panels": {"close": CLOSE}, "config": None, "price_key": "close",
             "industry": None}
# The stages of reading the arguments, in the order the page gives: (argument, a value failing
# at that stage, the message).
STAGES = [
    ("panels", 5, "run_backtest() argument 'panels' must be dict, not int"),
    ("config", "x", "run_backtest() argument 'config' must be None or dict, not str"),
    ("price_key", None, "run_backtest() argument 'price_key' must be str, not NoneType"),
    ("industry", {"A": 1},
     "run_backtest() argument 'industry' must be a dict of str to str, not int"),
    ("spec", {"op": "Data", "name": (1,)}, "unsupported value in spec: tuple"),
    ("config", {"fee_ratio": 0.1, "bogus": 1, "delist_after": -1}, "unknown config key `bogus`"),
    ("panels", {"close": CLOSE, "w": 5, "x": {"dates": []}},
     "panel `w` must be a DataFrame or a dict with dates/symbols/data"),
    ("spec", {"op": "Nope"}, None),  # the engine's, after everything above
]


@pytest.mark.parametrize("stage", range(len(STAGES)))
def test_arguments_are_read_in_the_documented_order(stage):
    # Every stage from this one on fails; the first of them is the one reported. An argument
    # that fails at two stages takes the value of its earlier one.
    args = dict(GOOD_ARGS)
    for name, bad, _ in reversed(STAGES[stage:]):
        args[name] = bad
    with pytest.raises((TypeError, ValueError)) as raised:
        zorv.run_backtest(**args)
    message = STAGES[stage][2]
    if message is None:
        assert str(raised.value).startswith("eval error: unknown variant `Nope`")
    else:
        assert str(raised.value) == message


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

AVERAGE = {"op": "Average", "of": DATA_CLOSE}


@pytest.mark.parametrize("tree,placed", [
    # The top-level node's `op`: missing, not a str, unknown.
    ({"name": "close"}, True),
    ({"op": 5}, True),
    ({"op": "Nope"}, True),
    # Its other fields, and anything inside an operand.
    (AVERAGE, False),
    ({**AVERAGE, "n": "3"}, False),
    ({"op": "Not", "of": {"op": "Nope"}}, False),
    ({"op": "Not", "of": {"name": "close"}}, False),
    ({"op": "Not", "of": AVERAGE}, False),
])
def test_tree_errors_placed_only_for_the_top_level_op(tree, placed):
    with pytest.raises(ValueError) as raised:
        zorv.run_backtest(tree, {"close": CLOSE})
    assert str(raised.value).startswith("eval error: ")
    assert bool(re.search(r" at line 1 column \d+$", str(raised.value))) == placed


def lists(levels):
    value = []
    for _ in range(levels - 1):
        value = [value]
    return value


@pytest.mark.parametrize("tree", [
    nested(128),  # the 128th level is the top node's 127th descendant
    {"op": "Not", "of": {"op": "Not", "of": nested(127)}},  # inside an operand
    {"op": "Not", "of": {**DATA_CLOSE, "x": lists(126)}},  # arrays, inside an operand
])
def test_nesting_limit_gives_the_column_of_its_128th_level(tree):
    compact = json.dumps(tree, separators=(",", ":"), sort_keys=True)
    depth, column = 0, None
    for i, ch in enumerate(compact):
        depth += ch in "{["
        depth -= ch in "}]"
        if depth == 128:
            column = i + 1
            break
    assert column is not None
    with pytest.raises(ValueError) as raised:
        zorv.run_backtest(tree, {"close": CLOSE})
    assert str(raised.value) == f"eval error: recursion limit exceeded at line 1 column {column}"


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


SYMBOL_PRICES = grid(DATES, ["A", "B"], [[10.0, 20.0], [11.0, 22.0], [12.0, 22.0]])


def constant(symbols, row):
    return grid(DATES, symbols, [row] * len(DATES))


def held(spec, **panels):
    report = zorv.run_backtest(spec, {"close": SYMBOL_PRICES, **panels})
    return [t["symbol"] for t in report["trades"]], report["equity"]


@pytest.mark.parametrize("repeated,single,symbols", [
    # Held twice at its last column's weight: A at 2 x 0.4 beside B at 0.5, scaled to gross 1.
    ({"w": constant(["A", "B", "A"], [0.1, 0.5, 0.4])}, {"w": constant(["A", "B"], [0.8, 0.5])},
     ["A", "B", "A"]),
    # Priced from its last column.
    ({"w": constant(["A", "B"], [0.5, 0.5]),
      "close": grid(DATES, ["A", "B", "A"], [[99.0, 20.0, 10.0], [1.0, 22.0, 11.0],
                                             [50.0, 22.0, 12.0]])},
     {"w": constant(["A", "B"], [0.5, 0.5])}, ["A", "B"]),
])
def test_repeated_symbol_is_kept_twice_with_its_last_column(repeated, single, symbols):
    traded, equity = held("w", **repeated)
    assert traded == symbols
    assert equity == pytest.approx(held("w", **single)[1])


REPEATED_W = {"w": constant(["A", "B", "A"], [5.0, 3.0, 1.0]),
              "zero": constant(["A", "B"], [0.0, 0.0]), "z": constant(["A", "B"], [2.0, 2.0]),
              "p": grid(DATES, ["A", "B", "A"], [[1.0, 1.0, 1.0], [2.0, 1.5, 1.0], [4.0, 2.0, 1.0]])}


@pytest.mark.parametrize("spec,symbols", [
    # One panel alone: each column has its own values, the first A is the largest, and its
    # weight is lost where the simulation reads A's last column (0).
    ("is_largest(w, 1)", []),
    ("is_largest(w > 2, 1)", []),
    ("is_largest(sma(p, 2), 1)", []),
    ("is_largest(ema(p, 2), 1)", []),
    ("is_largest(rank(p), 1)", []),
    # Two panels: both A columns are the last one (w: 1, p: flat), and B is the largest.
    ("is_largest(w + zero, 1)", ["B"]),
    ("is_largest(w > z, 1)", ["B"]),
    ("is_largest(pct_change(p, 1), 1)", ["B"]),
])
def test_repeated_symbol_within_a_row_and_between_panels(spec, symbols):
    assert held(spec, **REPEATED_W)[0] == symbols


def test_columns_that_print_alike_are_one_symbol_and_the_page_fix_drops_the_repeat():
    rows = [[10.0, 20.0, 30.0], [11.0, 22.0, 36.0], [12.0, 22.0, 36.0]]
    frame = pd.DataFrame(rows, index=pd.to_datetime([str(d) for d in DATES]), columns=[1, "B", "1"])
    same = zorv.run_backtest("close", {"close": grid(DATES, ["1", "B", "1"], rows)})
    report = zorv.run_backtest("close", {"close": frame})
    assert report == same
    assert [t["symbol"] for t in report["trades"]] == ["1", "B", "1"]
    # The page's lines keep the first column of each symbol.
    fix = re.search(r"^```python\n(df = df\.rename\(.*?)```$", DOC, re.M | re.S).group(1)
    scope = {"df": frame}
    exec(fix, scope)
    assert list(scope["df"].columns) == ["1", "B"]
    first = grid(DATES, ["1", "B"], [row[:2] for row in rows])
    assert zorv.run_backtest("close", {"close": scope["df"]}) == \
        zorv.run_backtest("close", {"close": first})


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
