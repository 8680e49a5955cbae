"""The TypedDicts of zorv.pyi against the dicts the module really returns.

stubtest checks the functions' signatures; it cannot see the keys of a returned dict, so this
compares them here: required keys are always there, NotRequired ones only in the runs that ask
for them, and nothing else appears.
"""
import ast
import pathlib

import pytest

import zorv

STUB = pathlib.Path(__file__).resolve().parents[2] / "src" / "python" / "zorv.pyi"


def typed_dicts():
    """{class name: (required keys, optional keys)} of every TypedDict in the stub."""
    out = {}
    for node in ast.parse(STUB.read_text()).body:
        if isinstance(node, ast.ClassDef) and any(
            isinstance(b, ast.Name) and b.id == "TypedDict" for b in node.bases
        ):
            required, optional = set(), set()
            for item in node.body:
                if isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name):
                    ann = item.annotation
                    is_opt = (isinstance(ann, ast.Subscript) and isinstance(ann.value, ast.Name)
                              and ann.value.id == "NotRequired")
                    (optional if is_opt else required).add(item.target.id)
            out[node.name] = (required, optional)
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
    required, optional = TYPED[name]
    want = required | optional if with_optional else required
    assert set(value) == want, name


def test_stub_describes_every_record():
    assert {"Report", "Metrics", "Trade", "PeriodReturn", "Bootstrap", "BootstrapCi",
            "LintEntry"} <= set(TYPED)
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
