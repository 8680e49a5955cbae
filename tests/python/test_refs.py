"""Calls, failing ones included, keep no references and leave no objects behind."""
import gc
import sys
import tracemalloc

import numpy as np
import pandas as pd

import zorv
from conftest import grid


class Cell:
    def __float__(self):
        return 1.5


class CellBoom:
    def __float__(self):
        raise RuntimeError("boom")


class OwnTypeError:
    """Its own conversions raise the kind of error the interpreter's conversions raise."""

    def __float__(self):
        raise TypeError("own")

    def __index__(self):
        raise TypeError("own")


class Stamp:
    def __init__(self):
        self.text = "".join(["2024", "0102"])

    def strftime(self, fmt):
        return self.text


def make_inputs():
    # Fresh objects only, so their reference counts are ours alone.
    name = "".join(["cl", "ose"])
    sym_a, sym_b = "".join(["A", "1"]), "".join(["B", "1"])
    cell, cell_boom, stamp, own = Cell(), CellBoom(), Stamp(), OwnTypeError()
    value = float.fromhex("0x1.5p3")
    date_str = "-".join(["2024", "01", "03"])
    rows = [[value, None], [cell, 2], [True, value]]
    ok_panel = grid([20240102, date_str, stamp], [sym_a, sym_b], rows)
    frame = pd.DataFrame(
        np.arange(6.0).reshape(3, 2),
        index=pd.date_range("2024-01-01", periods=3),
        columns=[sym_a, sym_b],
    )
    spec = {"op": "Data", "name": name, "extra": [value, [value, {"k": None}]]}
    config = {"fee_ratio": value, "delist_after": 3, "benchmark_key": name}
    industry = {sym_a: name, sym_b: date_str}
    series = [name, sym_a]
    watched = [stamp.text, name, sym_a, sym_b, cell, cell_boom, stamp, value, date_str, rows, ok_panel,
               frame, spec, config, industry, series, own]

    calls = [
        lambda: zorv.run_backtest(spec, {name: ok_panel, "f": frame}, config, name, industry),
        lambda: zorv.run_backtest(spec, {name: ok_panel}, config, price_key=name),
        lambda: zorv.run_backtest(spec, {name: ok_panel}, {"bogus": value}),
        lambda: zorv.run_backtest(spec, {name: ok_panel}, {"delist_after": -1}),
        lambda: zorv.run_backtest({"v": [spec, float("nan")]}, {}),
        lambda: zorv.run_backtest({"v": [spec, (value,)]}, {}),
        lambda: zorv.run_backtest([spec], {}),
        lambda: zorv.run_backtest(" {" + name, {name: ok_panel, "bad": grid([stamp], [sym_a], [[cell_boom]])}),
        lambda: zorv.run_backtest(spec, {name: grid([date_str], [sym_a], [[cell, "x"]])}),
        lambda: zorv.run_backtest(spec, {name: grid([date_str, value], [sym_a], [])}),
        lambda: zorv.run_backtest(spec, {name: grid([own], [sym_a], [])}),
        lambda: zorv.run_backtest(spec, {name: grid([1], [sym_a], [[own]])}),
        lambda: zorv.run_backtest(spec, {name: grid([1], [sym_a], [[10**400]])}),
        lambda: zorv.run_backtest(spec, {name: grid([1], [sym_a, 1], [])}),
        lambda: zorv.run_backtest(spec, {name: grid([1], [sym_a], [[value]] * 2)}),
        lambda: zorv.run_backtest(spec, {name: {"dates": [stamp], "symbols": [sym_a]}}),
        lambda: zorv.run_backtest(spec, {name: ok_panel}, industry={sym_a: 1}),
        lambda: zorv.run_backtest(spec, {name: ok_panel}, None, None),
        lambda: zorv.run_backtest(name, {name: ok_panel}),
        lambda: zorv.run_backtest(spec, {name: ok_panel}, unknown=value),
        lambda: zorv.parse(name),
        lambda: zorv.parse("sma(" + name),
        lambda: zorv.parse(name, **{"\ud800": value}),
        lambda: zorv.format(spec),
        lambda: zorv.format({"op": (value,)}),
        lambda: zorv.format('{"op": ' + name),
        lambda: zorv.lint(name, series),
        lambda: zorv.lint(name, [name, value]),
        lambda: zorv.lint("let x = " + name + "\n" + name),
    ]
    return watched, calls


def run(calls, times):
    for call in calls:
        for _ in range(times):
            try:
                call()
            except Exception:
                pass


def test_no_leaked_references_or_objects():
    watched, calls = make_inputs()
    run(calls, 20)  # warm caches (interned names, pandas internals)
    gc.collect()
    refs_before = [sys.getrefcount(o) for o in watched]
    objects_before = len(gc.get_objects())
    tracemalloc.start()
    try:
        # Caches filled on first use under tracing (the interpreter's, pandas') settle within the
        # first rounds; the second stretch of 200 rounds must not grow at all beyond noise.
        run(calls, 200)
        gc.collect()
        mem_before = tracemalloc.get_traced_memory()[0]
        run(calls, 200)
        gc.collect()
        mem_after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(o) for o in watched] == refs_before
    assert len(gc.get_objects()) - objects_before < 100
    # 29 calls x 200 rounds: a leak of one small object per call would add > 150 KB.
    assert mem_after - mem_before < 64 * 1024
