"""Python objects to JSON values and back."""
import json
import math

import pytest

import zorv
from conftest import DATA_CLOSE


def spec_error(spec):
    """Runs a dict spec far enough to convert it; returns the exception raised."""
    with pytest.raises(Exception) as e:
        zorv.run_backtest(spec, {}, {"no such knob": 1})
    return e.value


class Text(str):
    def __str__(self):
        return "shown"


@pytest.mark.parametrize(
    "spec, kind, message",
    [
        ({"a": [{"b": float("nan")}]}, ValueError, "non-finite numbers are not valid in a spec"),
        ({"v": -float("inf")}, ValueError, "non-finite numbers are not valid in a spec"),
        ({"v": (1, 2)}, ValueError, "unsupported value in spec: tuple"),
        ({"v": [{1, 2}]}, ValueError, "unsupported value in spec: set"),
        ({"v": b"x"}, ValueError, "unsupported value in spec: bytes"),
        ({"v": 1j}, ValueError, "unsupported value in spec: complex"),
        ({"v": 2**63}, OverflowError, None),
        ({"v": -(2**63) - 1}, OverflowError, None),
        ({"v": {1: "x"}}, TypeError, None),
        # Converted fine: the failure is the configuration's, which comes next.
        ({"v": [None, True, 3, -4, 2**63 - 1, -(2**63), 1.5, "s", Text("t"), {}]},
         ValueError, "unknown config key `no such knob`"),
    ],
)
def test_py_to_json_kinds_and_failures(spec, kind, message):
    err = spec_error(spec)
    assert type(err) is kind
    if message is not None:
        assert str(err) == message


def test_deep_nesting_raises_recursion_error():
    spec = {"op": "Data"}
    for _ in range(100_000):
        spec = {"of": spec}
    assert type(spec_error(spec)) is RecursionError
    deep_list = []
    for _ in range(100_000):
        deep_list = [deep_list]
    assert type(spec_error({"v": deep_list})) is RecursionError


def test_conversion_survives_containers_changed_during_conversion():
    victim = [1, 2, 3]

    class Shrinking(str):
        def __str__(self):
            victim.clear()
            return "x"

    victim.insert(0, Shrinking("s"))
    err = spec_error({"v": victim})
    assert str(err) == "unknown config key `no such knob`"


@pytest.mark.parametrize(
    "tree",
    [
        DATA_CLOSE,
        {"op": "Const", "value": 1},
        {"op": "Const", "value": 1.0},
        {"op": "Const", "value": 2.5e-300},
        {"op": "Rank", "of": DATA_CLOSE, "pct": False, "ascending": True},
        {"op": "Sustain", "of": DATA_CLOSE, "nwindow": 5, "nsatisfy": None},
        {"op": "Neutralize", "of": DATA_CLOSE, "by": [DATA_CLOSE, DATA_CLOSE]},
        {"op": "IndustryRank", "of": DATA_CLOSE, "categories": ["银行", "tech"]},
        {"op": "Neg", "of": {"op": "Const", "value": -3}},
    ],
)
def test_py_to_json_matches_the_json_reader(tree):
    # The dict and its JSON text must become the same value, so they print the same.
    assert zorv.format(tree) == zorv.format(json.dumps(tree))


def test_str_values_use_their_str_text():
    assert zorv.format({"op": "Data", "name": Text("close")}) == zorv.format(
        {"op": "Data", "name": "shown"}
    )


def test_json_to_py_kinds():
    tree = zorv.parse("ema(close, 12) * 1.0 + 3 - 0.25")
    flat = json.dumps(tree)
    assert '"n": 12' in flat
    consts = []

    def walk(node):
        if isinstance(node, dict):
            assert list(node) == sorted(node)
            if node.get("op") == "Const":
                consts.append(node["value"])
            for v in node.values():
                walk(v)

    walk(tree)
    # Whole numbers in source are integers, others floats.
    assert sorted((repr(c), type(c).__name__) for c in consts) == [
        ("0.25", "float"), ("1", "int"), ("3", "int")]
