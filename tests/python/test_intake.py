"""run_backtest intake: spec forms, configuration, panels, dates and cells."""
import datetime
import fractions

import numpy as np
import pandas as pd
import pytest

import zorv
from conftest import DATA_CLOSE, Stamp, grid


def failure(spec=DATA_CLOSE, panels=None, config=None, **kw):
    with pytest.raises(Exception) as e:
        zorv.run_backtest(spec, {} if panels is None else panels, config, **kw)
    return type(e.value), str(e.value)


UNKNOWN = {"no such knob": 1}
UNKNOWN_MSG = (ValueError, "unknown config key `no such knob`")


# ---- spec forms ----


@pytest.mark.parametrize("spec", [5, None, [DATA_CLOSE], 1.5, True])
def test_spec_must_be_an_object(spec):
    assert failure(spec, config=UNKNOWN) == (
        ValueError,
        "spec must be quaro source, a JSON string, or an Expr dict",
    )


@pytest.mark.parametrize("spec", ["{", " \n\t{not json", "\u3000\u00a0{", DATA_CLOSE])
def test_json_text_and_dicts_are_not_read_before_the_config(spec):
    assert failure(spec, config=UNKNOWN) == UNKNOWN_MSG


@pytest.mark.parametrize("spec", ["", "   ", "\u3000", "sma(close", "x {"])
def test_source_errors_come_first(spec):
    kind, msg = failure(spec, config=UNKNOWN)
    assert kind is ValueError and msg.startswith("quaro parse: ")
    assert msg[len("quaro parse: "):].split(":")[0].isdigit()


# ---- configuration ----


class FloatBoom:
    def __float__(self):
        raise RuntimeError("float boom")


@pytest.mark.parametrize(
    "config, expected",
    [
        ({"Fee_ratio": 0.1}, (ValueError, "unknown config key `Fee_ratio`")),
        ({"fee_ratio ": 0.1}, (ValueError, "unknown config key `fee_ratio `")),
        ({1: 0.1}, (TypeError, None)),
        ({"fee_ratio": "0.1"}, (TypeError, None)),
        ({"fee_ratio": None}, (TypeError, None)),
        ({"fee_ratio": FloatBoom()}, (RuntimeError, "float boom")),
        ({"delist_after": -1}, (OverflowError, None)),
        ({"bootstrap_samples": 2**64}, (OverflowError, None)),
        ({"bootstrap_block": 2.0}, (TypeError, None)),
        ({"delist_after": "3"}, (TypeError, None)),
        ({"benchmark_key": 1}, (TypeError, None)),
        ({"benchmark_key": ["spy"]}, (TypeError, None)),
        # Entries are checked in the dict's order.
        ({"fee_ratio": "x", "bogus": 1}, (TypeError, None)),
        ({"bogus": 1, "fee_ratio": "x"}, (ValueError, "unknown config key `bogus`")),
    ],
)
def test_config_failures(config, expected):
    kind, msg = failure(config=config)
    assert kind is expected[0]
    if expected[1] is not None:
        assert msg == expected[1]
    if kind in (TypeError, OverflowError):
        assert "fee_ratio" not in msg and "delist_after" not in msg


@pytest.mark.parametrize(
    "config",
    [
        None,
        {},
        {"fee_ratio": 1, "tax_ratio": True, "position_limit": np.float32(0.5)},
        {"slippage_ratio": fractions.Fraction(1, 3), "initial_capital": 1e6},
        {"max_participation": 0.1, "impact_coef": np.int64(2), "delist_haircut": 0.5},
        {"delist_after": True, "bootstrap_samples": np.uint64(2**64 - 1), "bootstrap_block": 0},
        {"benchmark_key": None},
        {"benchmark_key": "spy"},
    ],
)
def test_valid_configs_reach_the_panels(config):
    assert failure(config=config, panels={"close": 5}) == (
        ValueError,
        "panel `close` must be a DataFrame or a dict with dates/symbols/data",
    )


# ---- panels ----


class Boom:
    def __iter__(self):
        raise RuntimeError("iter boom")


class FrameLike:
    """The parts of a DataFrame the intake reads."""

    def __init__(self, index, columns, rows):
        self.index, self.columns, self._rows = index, columns, rows

    def to_numpy(self):
        return self

    def tolist(self):
        return self._rows


class RaisingColumns:
    @property
    def columns(self):
        raise RuntimeError("columns boom")


class FrameDict(dict):
    columns = ["A"]
    index = [20240102]

    def to_numpy(self):
        return np.array([[1.0, 2.0]])  # one cell more than symbols


@pytest.mark.parametrize(
    "panel, expected",
    [
        (5, (ValueError, "panel `p` must be a DataFrame or a dict with dates/symbols/data")),
        ([[1.0]], (ValueError, "panel `p` must be a DataFrame or a dict with dates/symbols/data")),
        ({}, (ValueError, "panel `p`: missing key `dates`")),
        ({"dates": []}, (ValueError, "panel `p`: missing key `symbols`")),
        ({"dates": [], "symbols": []}, (ValueError, "panel `p`: missing key `data`")),
        ({"dates": ["n/a"]}, (ValueError, "bad date `n/a`: cannot parse integer from empty string")),
        ({"dates": [1], "symbols": ["A", 2], "data": []}, (TypeError, None)),
        ({"dates": Boom(), "symbols": [], "data": []}, (RuntimeError, "iter boom")),
        ({"dates": [], "symbols": [], "data": Boom()}, (RuntimeError, "iter boom")),
        ({"dates": [1], "symbols": ["A"], "data": [Boom()]}, (RuntimeError, "iter boom")),
        ({"dates": [1], "symbols": ["A"], "data": [1.0]}, (TypeError, None)),
        (grid([1, 2, 3], ["A"], [[1], [2], [3], [4]]),
         (ValueError, "panel `p`: more data rows than dates")),
        (grid([], ["A"], [[]]), (ValueError, "panel `p`: more data rows than dates")),
        (grid([1, 2], ["A", "B"], [[1, 2], [1, 2, 3]]),
         (ValueError, "panel `p`: row 1 has more cells than symbols")),
        (grid([1], [], [[None]]), (ValueError, "panel `p`: row 0 has more cells than symbols")),
        (grid([1], ["A"], [["1.0"]]), (ValueError, "panel cells must be numbers or None")),
        (grid([1], ["A"], [[1j]]), (ValueError, "panel cells must be numbers or None")),
        (grid([1], ["A"], [[10**400]]), (ValueError, "panel cells must be numbers or None")),
        (grid([1], ["A"], [[FloatBoom()]]), (RuntimeError, "float boom")),
        (RaisingColumns(), (RuntimeError, "columns boom")),
        (FrameLike(["x"], ["A"], [[1.0]]), (ValueError, "bad date `x`: cannot parse integer from empty string")),
        (FrameLike([1], Boom(), [[1.0]]), (RuntimeError, "iter boom")),
        (FrameLike([1, 2], ["A"], [[1.0], [2.0], [3.0]]),
         (ValueError, "panel `p`: more data rows than dates")),
        (FrameDict(), (ValueError, "panel `p`: row 0 has more cells than symbols")),
    ],
)
def test_panel_failures(panel, expected):
    kind, msg = failure(panels={"p": panel})
    assert kind is expected[0], msg
    if expected[1] is not None:
        assert msg == expected[1]


def test_panel_names_must_be_str():
    assert failure(panels={1: grid([], [], [])})[0] is TypeError


def dataframe():
    dates = pd.date_range("2024-01-01", periods=6, freq="B")
    return pd.DataFrame(
        {"A": [1.0, 2.0, np.nan, 4.0, 5.0, 6.0], 7: [1, 2, 3, 4, 5, 6]}, index=dates
    )


@pytest.mark.parametrize(
    "panel",
    [
        dataframe(),
        dataframe().astype(object),
        FrameLike([20240102, True, np.int32(5)], ["A", 1], [[1, None], [True, 2.5], []]),
        grid(["2024-01-02", "2024/01/03", datetime.date(2024, 1, 4)], ("A", "B"),
             ((None, 1), [True, 2.5], iter([np.float64("nan"), np.int8(3)]))),
        grid(range(3), iter(["A"]), [[1.0]]),
        grid([], [], []),
        grid([1, 2], ["A"], []),
    ],
)
def test_valid_panels_convert(panel):
    # The panel converts; the next one names itself in the failure.
    assert failure(panels={"ok": panel, "next": 5})[1].startswith("panel `next`")


# ---- dates ----


class StampBoom:
    def strftime(self, fmt):
        raise RuntimeError("strftime boom")


class IndexBoom:
    def __index__(self):
        raise RuntimeError("index boom")


@pytest.mark.parametrize(
    "date, expected",
    [
        ("n/a", (ValueError, "bad date `n/a`: cannot parse integer from empty string")),
        ("", (ValueError, "bad date ``: cannot parse integer from empty string")),
        ("2024-01-02-999", (ValueError, "bad date `2024-01-02-999`: number too large to fit in target type")),
        ("2024-01-02 00:00:00", (ValueError, "bad date `2024-01-02 00:00:00`: number too large to fit in target type")),
        (Stamp("2024x"), (ValueError, "bad date `2024x`: invalid digit found in string")),
        (Stamp("+"), (ValueError, "bad date `+`: invalid digit found in string")),
        (Stamp(" 1"), (ValueError, "bad date ` 1`: invalid digit found in string")),
        (Stamp("2147483648"), (ValueError, "bad date `2147483648`: number too large to fit in target type")),
        (Stamp("-2147483649"), (ValueError, "bad date `-2147483649`: number too small to fit in target type")),
        (Stamp("99999999999x"), (ValueError, "bad date `99999999999x`: number too large to fit in target type")),
        (Stamp(20240102), (TypeError, None)),
        (StampBoom(), (RuntimeError, "strftime boom")),
        (IndexBoom(), (RuntimeError, "index boom")),
        (20240102.0, (ValueError, "cannot interpret `float` as a YYYYMMDD date")),
        (2**31, (ValueError, "cannot interpret `int` as a YYYYMMDD date")),
        (-(2**31) - 1, (ValueError, "cannot interpret `int` as a YYYYMMDD date")),
        (None, (ValueError, "cannot interpret `NoneType` as a YYYYMMDD date")),
        (b"20240102", (ValueError, "cannot interpret `bytes` as a YYYYMMDD date")),
    ],
)
def test_date_failures(date, expected):
    kind, msg = failure(panels={"p": grid([date], [], [])})
    assert kind is expected[0], msg
    if expected[1] is not None:
        assert msg == expected[1]


@pytest.mark.parametrize(
    "date",
    [20240102, True, -5, 2**31 - 1, -(2**31), np.int64(20240102), "2024-01-02",
     Stamp("+20240102"), Stamp("-1"), Stamp("0"), datetime.date(2024, 1, 2),
     datetime.datetime(2024, 1, 2, 9), pd.Timestamp("2024-01-02"), 20241301, 0],
)
def test_dates_accepted(date):
    assert failure(panels={"ok": grid([date], [], []), "next": 5})[1].startswith("panel `next`")


# A str date is its digits, which must spell a day as YYYYMMDD; the separators may be anything.
@pytest.mark.parametrize(
    "text, expected",
    [
        ("20240102", 20240102),
        ("2024-01-02", 20240102),
        ("2024/01/02", 20240102),
        ("2024.01.02", 20240102),
        ("x2024y01z02", 20240102),
        ("2000-02-29", 20000229),
        ("0001-01-01", 10101),
        ("9999-12-31", 99991231),
    ],
)
def test_str_dates_read_as_calendar_dates(text, expected):
    report = zorv.run_backtest(DATA_CLOSE, {"close": grid([text], ["A"], [[1.0]])})
    assert report["dates"] == [expected]


@pytest.mark.parametrize(
    "text",
    ["01/03/2022", "03.01.2022", "12/31/2021", "2024/1/2", "2024-1-3", "2024-1-10", "2024-02-30",
     "2023-02-29", "1900-02-29", "2024-13-01", "2024-00-10", "2024-01-00", "2024-04-31",
     "00000101", "-5", "+7", "x1y", "202401021"],
)
def test_str_dates_that_are_no_calendar_date_are_refused(text):
    kind, msg = failure(panels={"p": grid([text], [], [])})
    assert (kind, msg) == (ValueError, f"bad date `{text}`: not a YYYYMMDD calendar date")


def test_us_format_str_index_is_refused():
    # What read_csv gives without parse_dates: the index holds the file's text.
    frame = pd.DataFrame({"A": [1.0, 2.0]}, index=pd.Index(["12/31/2021", "01/03/2022"]))
    with pytest.raises(ValueError, match="^bad date `12/31/2021`: not a YYYYMMDD calendar date$"):
        zorv.run_backtest(DATA_CLOSE, {"close": frame})
    frame.index = pd.to_datetime(frame.index, format="%m/%d/%Y")
    assert zorv.run_backtest(DATA_CLOSE, {"close": frame})["dates"] == [20211231, 20220103]


def test_grid_too_large_for_memory():
    n = 100_000
    panel = grid(range(n), [str(i) for i in range(n)], [])
    assert failure(panels={"p": panel})[0] is MemoryError


def test_containers_changed_while_read():
    config = {}
    panels = {}

    class Grows:
        def __float__(self):
            config.update({f"k{i}": 1 for i in range(100)})
            return 0.5

    class Frame:
        columns, index = ["A"], [1]

        def to_numpy(self):
            panels.clear()
            return np.array([[1.0]])

    config["fee_ratio"] = Grows()
    kind, _ = failure(config=config)
    assert kind in (ValueError, RuntimeError)
    panels.update({"a": Frame(), "b": 5})
    kind, _ = failure(panels=panels)
    assert kind in (ValueError, RuntimeError)
