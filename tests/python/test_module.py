"""Module attributes, argument binding, parse / format / lint."""
import inspect
import json
import subprocess
import sys
import textwrap

import pytest

import zorv
from conftest import DATA_CLOSE


def test_version_all_and_doc():
    assert zorv.__version__ == "0.2.0"
    assert zorv.__all__ == ["run_backtest", "parse", "format", "lint", "__version__"]
    assert zorv.__doc__ == ""
    assert [n for n in vars(zorv) if n in zorv.__all__] == zorv.__all__


@pytest.mark.parametrize(
    "fn, signature, doc",
    [
        (
            zorv.run_backtest,
            "(spec, panels, config=None, price_key='close', industry=None)",
            "Run a backtest. `spec` is quaro source, a JSON string, or an Expr dict;\n"
            "`panels` maps series names to DataFrames or `{dates, symbols, data}` dicts;\n"
            "`config` takes the `BacktestConfig` knobs by name. Returns the Report as a\n"
            "dict.",
        ),
        (zorv.parse, "(src)", "Parse quaro source into the JSON Expr tree (as a dict)."),
        (
            zorv.format,
            "(tree)",
            "Render an Expr tree (dict or JSON string) back to canonical quaro source.",
        ),
        (
            zorv.lint,
            "(src, series=None)",
            "Lint quaro source. `series` enables the unknown-series check; unused-`let`\n"
            'is always checked. Returns `[{"line", "col", "message"}, ...]`.',
        ),
    ],
)
def test_signatures_and_docs(fn, signature, doc):
    assert str(inspect.signature(fn)) == signature
    assert fn.__doc__ == doc
    params = inspect.signature(fn).parameters.values()
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in params)


def test_import_hands_out_the_same_module():
    del sys.modules["zorv"]
    import zorv as again

    assert again is zorv
    sys.modules["zorv"] = zorv


def test_second_interpreter_is_refused():
    si = pytest.importorskip("_xxsubinterpreters")
    code = textwrap.dedent(
        """
        import zorv, _xxsubinterpreters as si
        iid = si.create()
        try:
            si.run_string(iid, "import zorv")
        except Exception as e:
            print(type(e).__name__, e)
        else:
            print("imported")
        """
    )
    assert si
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert "ImportError" in out.stdout, out.stdout + out.stderr


@pytest.mark.parametrize(
    "call, param",
    [
        (lambda: zorv.run_backtest("x"), "panels"),
        (lambda: zorv.run_backtest(spec="x"), "panels"),
        (lambda: zorv.run_backtest(panels={}), "spec"),
        (lambda: zorv.run_backtest("x", {}, None, "close", None, 1), "at most 5"),
        (lambda: zorv.run_backtest("x", {}, bogus=1), "bogus"),
        (lambda: zorv.run_backtest("x", {}, spec="y"), "spec"),
        (lambda: zorv.run_backtest("x", [], None), "panels"),
        (lambda: zorv.run_backtest("x", {}, config=[]), "config"),
        (lambda: zorv.run_backtest("x", {}, price_key=None), "price_key"),
        (lambda: zorv.run_backtest("x", {}, price_key=b"close"), "price_key"),
        (lambda: zorv.run_backtest("x", {}, industry={"A": 1}), "industry"),
        (lambda: zorv.run_backtest("x", {}, industry={1: "tech"}), "industry"),
        (lambda: zorv.run_backtest("x", {}, industry=[("A", "tech")]), "industry"),
        (lambda: zorv.parse(), "src"),
        (lambda: zorv.parse(b"close"), "src"),
        (lambda: zorv.parse("a", "b"), "at most 1"),
        (lambda: zorv.format(), "tree"),
        (lambda: zorv.format(tree=1, other=2), "other"),
        (lambda: zorv.lint(None), "src"),
        (lambda: zorv.lint("close", "close"), "series"),
        (lambda: zorv.lint("close", series=5), "series"),
        (lambda: zorv.lint("close", {"close": 1}), "series"),
        (lambda: zorv.lint("close", ["close", 1]), "series"),
    ],
)
def test_binding_and_argument_types(call, param):
    with pytest.raises(TypeError, match=param):
        call()


def test_argument_checks_precede_the_body():
    # A bad industry is reported before the spec would be read.
    with pytest.raises(TypeError, match="industry"):
        zorv.run_backtest({"not": "checked yet"}, {}, industry={"A": 1})


def test_series_errors_from_iteration_pass_through():
    class Names(list):
        def __iter__(self):
            raise KeyError("from iter")

    with pytest.raises(KeyError, match="from iter"):
        zorv.lint("close", Names(["close"]))


def test_parse_returns_sorted_tree():
    tree = zorv.parse("sma(close, 20) > close")
    assert tree == {
        "l": {"n": 20, "of": DATA_CLOSE, "op": "Average"},
        "op": "Gt",
        "r": DATA_CLOSE,
    }
    assert list(tree) == ["l", "op", "r"]
    assert list(tree["l"]) == ["n", "of", "op"]
    assert type(tree["l"]["n"]) is int


def test_parse_error_has_no_prefix():
    with pytest.raises(ValueError) as e:
        zorv.parse("sma(close,")
    assert not str(e.value).startswith("quaro parse")
    line, col, rest = str(e.value).split(":", 2)
    assert line.isdigit() and col.isdigit() and rest.startswith(" ")


def test_format_dict_and_json_text_agree():
    tree = zorv.parse("let m = pct_change(close, 20)\nis_largest(m, 5) and m > 0")
    from_dict = zorv.format(tree)
    assert zorv.format(json.dumps(tree)) == from_dict
    assert zorv.format(json.dumps(tree, indent=2)) == from_dict
    assert zorv.parse(from_dict) == tree


def test_format_of_malformed_json_text():
    with pytest.raises(ValueError):
        zorv.format('{"op": ')


def test_format_refuses_what_a_spec_cannot_hold():
    with pytest.raises(ValueError, match="^unsupported value in spec: tuple$"):
        zorv.format(("op", "Data"))
    with pytest.raises(ValueError, match="^non-finite numbers are not valid in a spec$"):
        zorv.format({"op": "Const", "value": float("inf")})


@pytest.mark.parametrize("series", [["close"], ("close",)])
def test_lint_records(series):
    src = "let unused = close\nlet x = clse\nx"
    records = zorv.lint(src, series)
    assert records and all(list(r) == ["line", "col", "message"] for r in records)
    assert all(type(r["line"]) is int and type(r["col"]) is int for r in records)
    assert any("clse" in r["message"] for r in records)
    # Without names only the unused binding is reported.
    assert [r["line"] for r in zorv.lint(src)] == [1]


def test_lint_parse_error():
    with pytest.raises(ValueError, match=r"^\d+:\d+: "):
        zorv.lint("sma(")
