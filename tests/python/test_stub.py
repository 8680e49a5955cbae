"""The TypedDicts of zorv.pyi against the dicts the module really returns and takes.

stubtest checks the functions' signatures; it cannot see the keys of a dict, so this compares
them here: required keys are always there, NotRequired ones only in the runs that ask for them,
and nothing else appears; a field typed without None is never None; the config TypedDict holds
exactly the knobs the intake takes, and a type checker refuses what the intake refuses.
"""
import ast
import math
import os
import pathlib
import re

import pytest

import zorv

ROOT = pathlib.Path(__file__).resolve().parents[2]
STUB = ROOT / "src" / "python" / "zorv.pyi"


def typed_dicts():
    """{class name: (required keys, optional keys, {key: annotation text})} of every TypedDict
    in the stub; with total=False every key is optional."""
    out = {}
    for node in ast.parse(STUB.read_text()).body:
        if isinstance(node, ast.ClassDef) and any(
            isinstance(b, ast.Name) and b.id == "TypedDict" for b in node.bases
        ):
            total = not any(k.arg == "total" and isinstance(k.value, ast.Constant)
                            and k.value.value is False for k in node.keywords)
            required, optional, types = set(), set(), {}
            for item in node.body:
                if isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name):
                    ann = item.annotation
                    is_opt = not total or (
                        isinstance(ann, ast.Subscript) and isinstance(ann.value, ast.Name)
                        and ann.value.id == "NotRequired")
                    (optional if is_opt else required).add(item.target.id)
                    types[item.target.id] = ast.unparse(ann)
            out[node.name] = (required, optional, types)
    return out


TYPED = typed_dicts()

CLOSE = {
    "dates": [20231228, 20231229, 20240102, 20240103, 20240104, 20240205, 20240206],
    "symbols": ["A", "B"],
    "data": [[10.0, 20.0], [10.5, 19.0], [11.0, 21.0], [12.0, 18.0], [11.5, 18.5],
             [13.0, 17.0], [12.0, 17.5]],
}
BENCH = {"dates": CLOSE["dates"], "symbols": ["IX"], "data": [[100 + i] for i in range(7)]}
# A trade that closes and one still open at the last date.
STRATEGY = "rebalance(normalize_row(is_largest(close, 1)), freq=\"ME\")"


def plain():
    return zorv.run_backtest(STRATEGY, {"close": CLOSE})


def full():
    return zorv.run_backtest(STRATEGY, {"close": CLOSE, "ix": BENCH},
                             config={"benchmark_key": "ix", "bootstrap_samples": 30})


def check(name, value, with_optional):
    required, optional, _ = TYPED[name]
    want = required | optional if with_optional else required
    assert set(value) == want, name


def test_stub_describes_every_record():
    assert {"Report", "Metrics", "Trade", "PeriodReturn", "Bootstrap", "BootstrapCi",
            "LintEntry", "BacktestConfig"} <= set(TYPED)
    assert len(TYPED["Metrics"][0] | TYPED["Metrics"][1]) == 28


@pytest.mark.parametrize("make, with_optional", [(plain, False), (full, True)])
def test_report_keys_match_the_stub(make, with_optional):
    report = make()
    check("Report", report, with_optional)
    check("Metrics", report["metrics"], with_optional)
    assert report["trades"], "the run must trade for its trades to be checked"
    for trade in report["trades"]:
        check("Trade", trade, True)
    for period in report["monthly_returns"] + report["yearly_returns"]:
        check("PeriodReturn", period, True)
    if with_optional:
        check("Bootstrap", report["bootstrap"], True)
        for ci in ("sharpe", "cagr", "max_drawdown"):
            check("BootstrapCi", report["bootstrap"][ci], True)


def test_lint_entry_keys_match_the_stub():
    entries = zorv.lint("let unused = 1\nclose", series=["close"])
    assert entries
    for entry in entries:
        check("LintEntry", entry, True)


def empty_dates():
    return zorv.run_backtest("close", {"close": {"dates": [], "symbols": ["A"], "data": []}})


def no_trades():
    return zorv.run_backtest("close < 0", {"close": CLOSE})


def unpriced():
    nan = float("nan")
    return zorv.run_backtest("close > 0", {"close": {"dates": CLOSE["dates"][:3], "symbols": ["A"],
                                                     "data": [[nan], [nan], [nan]]}})


@pytest.mark.parametrize("make", [plain, full, empty_dates, no_trades, unpriced])
def test_metrics_typed_without_none_are_always_finite_floats(make):
    _, _, types = TYPED["Metrics"]
    never_none = {k for k, t in types.items() if "None" not in t}
    assert {"num_trades", "max_consecutive_losses", "max_drawdown_duration"} <= never_none
    metrics = make()["metrics"]
    for key in never_none & set(metrics):
        value = metrics[key]
        assert type(value) is float and math.isfinite(value), (key, value)


# ---- run_backtest's config ----

def runs(config):
    """None when run_backtest takes `config`, else the type of the exception it raises."""
    try:
        zorv.run_backtest("close", {"close": CLOSE, "ix": BENCH}, config=config)
    except (TypeError, ValueError) as e:
        return type(e)
    return None


def test_config_typeddict_holds_exactly_the_knobs_the_intake_takes():
    # The intake fills the C++ BacktestConfig: its fields and the stub's keys are the candidates.
    header = (ROOT / "src" / "core" / "backtest.hpp").read_text(encoding="utf-8")
    body = re.search(r"struct BacktestConfig \{(.*?)\n\};", header, re.S).group(1)
    fields = set(re.findall(r"(\w+)\s*(?:\{\}|=[^;]*)?;", body))
    required, optional, types = TYPED["BacktestConfig"]
    assert not required and len(optional) == 12
    # Only an unknown key raises ValueError; None is a wrong type for most knobs (TypeError).
    assert {k for k in fields | optional if runs({k: None}) is not ValueError} == optional
    # A value of each knob's stub type is taken; the wrong kinds a type checker refuses are
    # refused by the intake as well.
    sample = {"float": 0.5, "int": 3, "str | None": "ix"}
    wrong = {"float": "0.5", "int": 3.0, "str | None": 3}
    for knob, ann in types.items():
        assert runs({knob: sample[ann]}) is None, knob
        assert runs({knob: wrong[ann]}) is TypeError, knob


# Each line calls run_backtest with one config; True where a type checker must refuse it, and the
# exception the module raises at run time for the same value.
CONFIG_CALLS = [
    ('{"fee_ratio": 0.001425, "tax_ratio": 0.003, "benchmark_key": "ix"}', False, None),
    ('{"initial_capital": 1_000_000, "max_participation": 0.1}', False, None),  # an int is a float
    ('{"delist_after": 3, "bootstrap_samples": 20, "bootstrap_block": 5, "benchmark_key": None}',
     False, None),
    ("{}", False, None),
    ('{"fee_raito": 0.001}', True, ValueError),  # misspelt key
    ('{"Fee_ratio": 0.001}', True, ValueError),  # keys are case-sensitive
    ('{"fee_ratio": "0.001"}', True, TypeError),  # a str for a float knob
    ('{"delist_after": 2.0}', True, TypeError),  # a float for a count
    ('{"benchmark_key": 1}', True, TypeError),
]


def test_type_checker_refuses_what_the_config_intake_refuses(tmp_path):
    api = pytest.importorskip("mypy.api")
    # The stub beside the checked file: mypy takes it before any installed copy.
    (tmp_path / "zorv.pyi").write_text(STUB.read_text())
    lines = ["import zorv", "def f() -> None:"]
    lines += [f"    zorv.run_backtest('close', {{}}, config={c})" for c, _, _ in CONFIG_CALLS]
    # The count metrics are plain floats; the others may be None.
    lines += ["    n: float = zorv.run_backtest('close', {})['metrics']['num_trades']",
              "    s: float = zorv.run_backtest('close', {})['metrics']['sharpe']"]
    src = tmp_path / "calls.py"
    src.write_text("\n".join(lines) + "\n")
    out, err, _ = api.run([str(src), "--config-file=", f"--cache-dir={os.devnull}",
                           "--no-site-packages", "--no-error-summary"])
    assert not err, err
    flagged = {int(m) for m in re.findall(r"calls\.py:(\d+): error", out)}
    assert flagged, out
    first = 3  # line of the first call
    for i, (config, refused, raises) in enumerate(CONFIG_CALLS):
        assert ((first + i) in flagged) == refused, (config, out)
        assert runs(ast.literal_eval(config)) is raises, config
    assert first + len(CONFIG_CALLS) not in flagged, out
    assert first + len(CONFIG_CALLS) + 1 in flagged, out
