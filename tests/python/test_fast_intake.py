"""numpy arrays and pandas indexes read in bulk give exactly what reading them element by element
through Python objects gives: the same dates, the same cells, the same failures."""
import tracemalloc

import numpy as np
import pandas as pd
import pytest

import zorv
from conftest import DATA_CLOSE, grid

# Complex cells convert as the cells of an array do (numpy warns and drops the imaginary part).
pytestmark = pytest.mark.filterwarnings("ignore::numpy.exceptions.ComplexWarning")

ZERO_WEIGHTS = {"op": "Mul", "l": DATA_CLOSE, "r": {"op": "Const", "value": 0}}
PICK = {"op": "Data", "name": "pick"}


def outcome(panel, symbols=()):
    """The panel's dates and its first column (the benchmark curve divides every value by the
    first nonzero one, which the arrays below set to 1), then the equity of holding each of the
    given symbols alone (which follows every price of that symbol), or the failure."""
    try:
        report = zorv.run_backtest(ZERO_WEIGHTS, {"close": panel}, {"benchmark_key": "close"})
        seen = [report["dates"], report["benchmark"]]
        for symbol in symbols:
            pick = grid(report["dates"], [symbol], [[1.0]] * len(report["dates"]))
            seen.append(zorv.run_backtest(PICK, {"close": panel, "pick": pick})["equity"])
    except Exception as e:  # noqa: BLE001 - the failure itself is compared
        return type(e), str(e)
    return seen


class Slow:
    """A frame whose dates are a plain list and whose rows come only from tolist()."""

    def __init__(self, frame):
        self.index, self.columns, self._frame = list(frame.index), frame.columns, frame

    def to_numpy(self):
        return self

    def tolist(self):
        return self._frame.to_numpy().tolist()


class Frame:
    """The parts of a DataFrame the intake reads, around any index, columns and array."""

    def __init__(self, index, columns, array):
        self.index, self.columns, self._array = index, columns, array

    def to_numpy(self):
        return self._array


class Listed:
    def __init__(self, rows):
        self._rows = rows

    def tolist(self):
        return self._rows


class Iterated:
    """Iterates as the array does, without being one."""

    def __init__(self, array):
        self._array = array

    def __iter__(self):
        return iter(self._array)


class Boom:
    def __iter__(self):
        raise RuntimeError("iter boom")


def assert_same_every_column(frame):
    """Each column in turn becomes the first, so every cell is compared, and each is held alone,
    so every column is read where it lies."""
    symbols = [str(c) for c in frame.columns]
    for j in range(max(frame.shape[1], 1)):
        part, held = frame.iloc[:, j:], symbols if j == 0 else ()
        assert outcome(part, held) == outcome(Slow(part), held), f"column {j}"


def assert_same_every_column_of_array(dates, array):
    symbols = [f"S{j}" for j in range(array.shape[1])]
    for j in range(max(array.shape[1], 1)):
        fast = grid(dates, symbols[j:], array[:, j:])
        slow = grid(list(dates), symbols[j:], Iterated(array[:, j:]))
        held = symbols if j == 0 else ()
        assert outcome(fast, held) == outcome(slow, held), f"column {j}"


# ---- cells ----

rng = np.random.default_rng(11)
N, M = 30, 5
DATES = list(range(20240101, 20240101 + N))


def with_base(values):
    values[0] = 1
    return values


FLOATS = with_base(rng.normal(100.0, 30.0, (N, M)))
FLOATS[3, 0], FLOATS[4, 1], FLOATS[5, 2], FLOATS[6, 3] = np.nan, np.inf, -np.inf, -0.0
FLOATS[7, 4], FLOATS[8, 0], FLOATS[9, 1] = 5e-324, 1.7976931348623157e308, np.nan

BIG = [2**53 + 1, 2**53 + 3, 2**63 - 1, -(2**63), -(2**53) - 1, 2**62 + 2**9 + 1, 2**60 + 2**7]
INTS = with_base(rng.integers(-(2**63), 2**63 - 1, (N, M), dtype=np.int64))
INTS[1 : 1 + len(BIG), :] = np.array(BIG)[:, None]
UINTS = with_base(rng.integers(0, 2**64 - 1, (N, M), dtype=np.uint64))
UINTS[1:4, :] = np.array([2**64 - 1, 2**63 + 2**10 + 1, 2**53 + 1], dtype=np.uint64)[:, None]
HALF_SPECIAL = [np.nan, np.inf, -np.inf, 6e-8, -6e-8, 65504.0, -0.0, 1e-5]
HALVES = with_base(rng.normal(0.0, 100.0, (N, M))).astype(np.float16)
HALVES[1 : 1 + len(HALF_SPECIAL), :] = np.array(HALF_SPECIAL, dtype=np.float16)[:, None]
ODD_BOOLS = with_base(rng.integers(0, 4, (N, M), dtype=np.uint8)).view(np.bool_)

OBJECTS = FLOATS.astype(object)
OBJECTS[2, :] = None

ARRAYS = {
    "float64": FLOATS,
    "float32": np.where(np.isfinite(FLOATS) & (abs(FLOATS) > 1e300), np.inf, FLOATS).astype(
        np.float32
    ),
    "float16": HALVES,
    "int64 beyond 2**53": INTS,
    "uint64": UINTS,
    "int8": with_base(rng.integers(-128, 127, (N, M), dtype=np.int8)),
    "uint16": with_base(rng.integers(0, 2**16, (N, M), dtype=np.uint16)),
    "int32": with_base(rng.integers(-(2**31), 2**31 - 1, (N, M), dtype=np.int32)),
    "bool": with_base(rng.integers(0, 2, (N, M))).astype(bool),
    "bool bytes other than 0 and 1": ODD_BOOLS,
    "Fortran order": np.asfortranarray(FLOATS),
    "every other column": np.ascontiguousarray(with_base(rng.normal(0, 1, (N, 2 * M))))[:, ::2],
    "every third row": with_base(rng.normal(0, 1, (3 * N, M)))[::3],
    "reversed": FLOATS[::-1, ::-1].copy()[::-1, ::-1],
    "broadcast": np.broadcast_to(np.arange(1.0, M + 1.0), (N, M)),
    "big-endian": FLOATS.astype(">f8"),
    "big-endian int": INTS.astype(">i8"),
    "ndarray subclass": FLOATS.view(type("Sub", (np.ndarray,), {})),
    "objects with None": OBJECTS,
    "complex": FLOATS.astype(complex),
    "timestamps": np.array(["2024-01-02"] * (N * M), dtype="M8[us]").reshape(N, M),
    "long double": FLOATS.astype(np.longdouble),
    "fewer rows": FLOATS[:-3],
    "no rows": FLOATS[:0],
    "no columns": FLOATS[:, :0],
}


@pytest.mark.parametrize("array", ARRAYS.values(), ids=ARRAYS.keys())
def test_array_cells_match(array):
    assert_same_every_column_of_array(DATES, array)


@pytest.mark.parametrize("array", ARRAYS.values(), ids=ARRAYS.keys())
def test_frame_cells_match(array):
    assert_same_every_column(pd.DataFrame(array, index=DATES[: len(array)]))


FRAMES = {
    "every other column": pd.DataFrame(FLOATS, index=DATES).iloc[:, ::2],
    "every other row": pd.DataFrame(FLOATS, index=DATES).iloc[::2],
    "ints and floats": pd.DataFrame({"a": INTS[:, 0], "b": FLOATS[:, 1]}, index=DATES),
    "floats and bools": pd.DataFrame({"a": FLOATS[:, 0], "b": FLOATS[:, 1] > 100}, index=DATES),
    "nullable ints": pd.DataFrame({"a": pd.array([1, None] * (N // 2), dtype="Int64")},
                                  index=DATES),
}


@pytest.mark.parametrize("frame", FRAMES.values(), ids=FRAMES.keys())
def test_mixed_and_sliced_frames_match(frame):
    assert_same_every_column(frame)


def test_large_integers_round_as_python_floats():
    # The first column read back is exactly float() of each Python int.
    for array in (INTS, UINTS):
        expected = [float(v) for v in array[:, 0].tolist()]
        assert outcome(grid(DATES, ["A"], array[:, :1]))[1] == expected


@pytest.mark.parametrize(
    "array",
    [np.ones((3, 2)), np.ones((1, 3)), np.ones((0, 3)), np.ones((3, 0)), np.ones((2, 1, 1)),
     np.ones(2), np.float64(1.0).reshape(())],
    ids=["more rows", "more cells", "no rows, more cells", "no cells, more rows", "3-D", "1-D",
         "0-D"],
)
def test_shape_failures_match(array):
    dates, symbols = [1, 2], ["A", "B"]
    assert outcome(Frame(dates, symbols, array)) == outcome(
        Frame(dates, symbols, Listed(array.tolist()))
    )
    assert outcome(grid(dates, symbols, array)) == outcome(grid(dates, symbols, Iterated(array)))


# ---- dates ----


def stamps(texts, unit):
    return pd.DatetimeIndex(np.array(texts, dtype=f"M8[{unit}]"))


AROUND_EPOCH = ["1969-12-31T23:59:59.999", "1970-01-01", "1970-01-01T00:00:00.001",
                "2000-02-29T12:00", "1900-03-01", "2100-02-28T23:59", "1677-09-22", "2262-04-11"]
BUSINESS_DAYS = pd.bdate_range("2023-12-20", periods=40)

INDEXES = {
    "business days": BUSINESS_DAYS,
    "with gaps, unsorted": BUSINESS_DAYS[[5, 1, 2, 30, 31, 39, 0]],
    "nanoseconds": stamps(AROUND_EPOCH, "ns"),
    "microseconds": stamps(AROUND_EPOCH, "us"),
    "milliseconds": stamps(AROUND_EPOCH, "ms"),
    "seconds": stamps(AROUND_EPOCH + ["1000-01-01", "9999-12-31T23:59:59"], "s"),
    "years before 1000": stamps(["2024-01-02", "0999-12-31T23:00", "0001-01-01"], "s"),
    "NaT": pd.DatetimeIndex(["2024-01-02", None]),
    "NaT, nanoseconds": stamps(["2024-01-02", "NaT"], "ns"),
    "time zone": pd.date_range("2024-03-09 22:00", periods=6, freq="h", tz="America/New_York"),
    "ints": pd.Index([20240102, 20240103, -5, 2**31 - 1, -(2**31)]),
    "uint64": pd.Index(np.array([20240102, 3], dtype=np.uint64)),
    "int32": pd.Index(np.array([20240102, 3], dtype=np.int32)),
    "int beyond 32 bits": pd.Index([20240102, 2**31]),
    "uint64 beyond 63 bits": pd.Index(np.array([1, 2**63], dtype=np.uint64)),
    "range": pd.RangeIndex(5),
    "range beyond 32 bits": pd.RangeIndex(2**31 - 2, 2**31 + 1),
    "nullable ints": pd.Index([20240102, 20240103], dtype="Int64"),
    "nullable ints with NA": pd.Index([20240102, None], dtype="Int64"),
    "floats": pd.Index([20240102.0, 20240103.0]),
    "bools": pd.Index([True, False]),
    "strings": pd.Index(["2024-01-02", "2024/01/03"]),
    "US strings": pd.Index(["12/31/2021", "01/03/2022"]),
    "objects": pd.Index([20240102, "2024-01-03"], dtype=object),
    "periods": pd.period_range("2024-01", periods=3, freq="M"),
    "durations": pd.to_timedelta([1, 2], unit="D"),
    "no dates": pd.DatetimeIndex([]),
}


@pytest.mark.parametrize("index", INDEXES.values(), ids=INDEXES.keys())
def test_dates_match(index):
    cells = np.arange(1.0, 1.0 + 2 * len(index)).reshape(len(index), 2)
    frame = pd.DataFrame(cells, index=index, columns=["A", "B"])
    assert outcome(frame) == outcome(Slow(frame))
    assert outcome(grid(index, ["A", "B"], cells)) == outcome(grid(list(index), ["A", "B"], cells))


DATE_ARRAYS = {
    "int64": np.array([20240102, 20240103, -(2**31)]),
    "uint8": np.array([1, 255], dtype=np.uint8),
    "beyond 32 bits": np.array([20240102, 2**31]),
    "uint64 beyond 63 bits": np.array([1, 2**63], dtype=np.uint64),
    "every other": np.array([20240102, 0, 20240103, 0])[::2],
    "2-D": np.array([[20240102], [20240103]]),
    "floats": np.array([20240102.0]),
    "timestamps": np.array(["2024-01-02"], dtype="M8[D]"),
}


@pytest.mark.parametrize("dates", DATE_ARRAYS.values(), ids=DATE_ARRAYS.keys())
def test_date_arrays_match(dates):
    cells = [[1.0]] * len(dates)
    assert outcome(grid(dates, ["A"], cells)) == outcome(grid(Iterated(dates), ["A"], cells))


@pytest.mark.parametrize(
    "index",
    [INDEXES["NaT"], INDEXES["int beyond 32 bits"], INDEXES["time zone"], INDEXES["floats"]],
    ids=["NaT", "int beyond 32 bits", "time zone", "floats"],
)
def test_index_is_read_before_the_columns_and_cells(index):
    for columns, cells in [(Boom(), np.ones((len(index), 1))), (["A"], np.ones((9, 9)))]:
        fast = outcome(Frame(index, columns, cells))
        assert fast == outcome(Frame(list(index), columns, Listed(cells.tolist())))


# ---- the bulk read is the one taken ----


@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int64])
def test_frames_are_not_read_through_python_objects(dtype):
    # Element by element, every cell becomes a Python number of at least 24 bytes.
    n, m = 1000, 100
    frame = pd.DataFrame((rng.normal(0, 1e6, (n, m))).astype(dtype),
                         index=pd.bdate_range("2020-01-01", periods=n))
    panels = {"close": frame, "stop": 5}
    for _ in range(2):  # the second run sees no first-use caches
        tracemalloc.start()
        with pytest.raises(ValueError, match="panel `stop`"):
            zorv.run_backtest(DATA_CLOSE, panels)
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
    assert peak < 4 * n * m
