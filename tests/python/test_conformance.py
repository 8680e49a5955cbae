"""Edges of the Python interface where the caller's objects and the interpreter's own conversions
meet: which failures pass on unchanged and which become the module's messages."""
import decimal

import numpy as np
import pytest

import zorv
from conftest import DATA_CLOSE, grid

CELLS_MSG = (ValueError, "panel cells must be numbers or None")
UNKNOWN_KEY = (ValueError, "unknown config key `bogus`")


def named(value):
    """Test ids by type: some cases hold huge ints."""
    return None if isinstance(value, tuple) else type(value).__name__


def failure(call):
    with pytest.raises(Exception) as e:
        call()
    return type(e.value), str(e.value)


def backtest_failure(spec=DATA_CLOSE, panels=None, config=None):
    return failure(lambda: zorv.run_backtest(spec, panels or {}, config))


class Raises:
    """__float__ and __index__ raise the given exception."""

    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc

    def __index__(self):
        raise self.exc


class FloatReturns:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class IndexReturns:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class DatedIndex(IndexReturns):
    def strftime(self, fmt):
        return "20240102"


class BigInt(int):
    pass


class IntWithOwnFloat(int):
    def __float__(self):
        raise KeyError("own float")


# ---- argument binding ----


@pytest.mark.parametrize(
    "call",
    [
        lambda: zorv.parse("x", **{"\ud800": 1}),
        lambda: zorv.parse(**{"\udcff": 1}),
        lambda: zorv.lint("x", **{"s\u00e9ries": None}),
        lambda: zorv.run_backtest("x", {}, **{"price_key\ud800": "close"}),
    ],
)
def test_unknown_keywords_are_type_errors(call):
    kind, msg = failure(call)
    assert kind is TypeError and "unexpected keyword argument" in msg


# ---- run_backtest: the spec ----


@pytest.mark.parametrize(
    "blank, read_as_json",
    [
        ("\x0b\x0c\r", True),
        ("\x85", True),
        ("\u1680\u2000\u200a", True),
        ("\u2028\u2029\u202f\u205f", True),
        # Not Unicode White_Space, though str.isspace() says otherwise for the first two.
        ("\x1c", False),
        ("\x1f", False),
        ("\ufeff", False),
        ("\u200b", False),
        ("\u180e", False),
    ],
)
def test_json_text_may_follow_unicode_white_space_only(blank, read_as_json):
    kind, msg = backtest_failure(blank + '{"op": "Data", "name": "close"}', config={"bogus": 1})
    if read_as_json:
        assert (kind, msg) == UNKNOWN_KEY
    else:
        assert kind is ValueError and msg.startswith("quaro parse: 1:1: ")


# ---- rows_to_panel: cells ----


@pytest.mark.parametrize(
    "cell, expected",
    [
        # Raised by the caller's own conversion code: passed on.
        (Raises(TypeError("own")), (TypeError, "own")),
        (Raises(OverflowError("own")), (OverflowError, "own")),
        (Raises(ValueError("own")), (ValueError, "own")),
        (IntWithOwnFloat(1), (KeyError, "'own float'")),
        # No float from the conversion: the module's message.
        (FloatReturns("1.5"), CELLS_MSG),
        (IndexReturns("1"), CELLS_MSG),
        (IndexReturns(10**400), CELLS_MSG),
        (BigInt(10**400), CELLS_MSG),
        (-(10**400), CELLS_MSG),
        # Conversions of library types that fail are the interpreter's kind of failure.
        (np.datetime64("2024-01-02"), CELLS_MSG),
        (decimal.Decimal("sNaN"), CELLS_MSG),
        ("1", CELLS_MSG),
        (object(), CELLS_MSG),
        ([1.0], CELLS_MSG),
    ],
    ids=named,
)
def test_cell_failures(cell, expected):
    assert backtest_failure(panels={"p": grid([1], ["A"], [[cell]])}) == expected


@pytest.mark.parametrize(
    "cell", [FloatReturns(1.5), IndexReturns(3), BigInt(7), False, float("inf"), -0.0]
)
def test_cells_accepted(cell):
    kind, msg = backtest_failure(panels={"ok": grid([1], ["A"], [[cell]]), "next": 5})
    assert msg.startswith("panel `next`"), msg


# ---- date_to_i32 ----


@pytest.mark.parametrize(
    "date, expected",
    [
        (Raises(TypeError("own")), (TypeError, "own")),
        (Raises(OverflowError("own")), (OverflowError, "own")),
        # An index that is no 32-bit integer falls through to the later rules.
        (IndexReturns("20240102"), (ValueError, "cannot interpret `IndexReturns` as a YYYYMMDD date")),
        (IndexReturns(2**31), (ValueError, "cannot interpret `IndexReturns` as a YYYYMMDD date")),
        (BigInt(-(2**31) - 1), (ValueError, "cannot interpret `BigInt` as a YYYYMMDD date")),
    ],
    ids=named,
)
def test_date_failures(date, expected):
    assert backtest_failure(panels={"p": grid([date], [], [])}) == expected


@pytest.mark.parametrize(
    "date", [IndexReturns(20240102), DatedIndex(2**40), DatedIndex("x"), BigInt(20240102)]
)
def test_dates_accepted(date):
    kind, msg = backtest_failure(panels={"ok": grid([date], [], []), "next": 5})
    assert msg.startswith("panel `next`"), msg
