"""docs/report.md documents exactly the keys a real report carries and the knobs the intake takes.

Convention: a name counts as documented in a section of docs/report.md (a level-2 heading and
everything up to the next one) when it appears in backticks in a heading of that section or in
the first cell of one of its table rows, e.g. "| `sharpe` | ...". Mentions in running text do
not count, so every key gets a row or a heading of its own in the section about its record.

Its `pycon` sessions run as shown, so the figures the page quotes from them cannot drift.
"""
import doctest
import math
import re
from pathlib import Path

import pytest

import zorv
from conftest import grid

ROOT = Path(__file__).resolve().parents[2]
DOC = (ROOT / "docs" / "report.md").read_text(encoding="utf-8")


def documented(section):
    """The names documented in the level-2 section titled `section`."""
    body = re.search(rf"^## {re.escape(section)}\n(.*?)(?=^## |\Z)", DOC, re.M | re.S)
    assert body, f"docs/report.md has no section '## {section}'"
    names = set()
    for line in body.group(1).splitlines():
        if line.startswith("#"):
            names.update(re.findall(r"`(\w+)`", line))
        elif line.startswith("|"):
            names.update(re.findall(r"`(\w+)`", line.split("|")[1]))
    return names


def full_report():
    """A run with every optional part: benchmark, bootstrap, high/low excursions, a delisting,
    closed and open trades, and every knob set."""
    dates = [20231218 + i for i in range(10)] + [20240102 + i for i in range(20)]
    n = len(dates)
    close = [[10.0 + 0.1 * t + (t % 3), 20.0 - 0.2 * t, 5.0 + 0.05 * t] for t in range(n)]
    for t in range(12, 16):  # C goes unquoted long enough to be delisted
        close[t][2] = None
    weights = [[0.4, -0.3, 0.3] if t < 8 else [0.0, -0.3, None] if t < 20 else [0.5, None, 0.2]
               for t in range(n)]
    band = lambda k: [[None if c is None else c * (1 + k) for c in row] for row in close]
    symbols = ["A", "B", "C"]
    panels = {
        "close": grid(dates, symbols, close),
        "high": grid(dates, symbols, band(0.02)),
        "low": grid(dates, symbols, band(-0.02)),
        "volume": grid(dates, symbols, [[1e6] * 3] * n),
        "w": grid(dates, symbols, weights),
        "index": grid(dates, ["IDX"], [[100.0 + math.sin(t)] for t in range(n)]),
    }
    config = {
        "benchmark_key": "index", "fee_ratio": 0.001, "tax_ratio": 0.002, "slippage_ratio": 0.0005,
        "position_limit": 0.45, "initial_capital": 1e6, "max_participation": 0.1,
        "impact_coef": 0.1, "delist_after": 3, "delist_haircut": 0.5, "bootstrap_samples": 50,
        "bootstrap_block": 0,
    }
    return zorv.run_backtest({"op": "Data", "name": "w"}, panels, config)


def test_every_report_key_is_documented():
    report = full_report()
    trades = report["trades"]
    assert any(t["exit_date"] is None for t in trades)
    assert any(t["exit_date"] is not None for t in trades)
    assert any(t["mae"] is not None and t["mfe"] is not None for t in trades)
    boot = report["bootstrap"]
    boot_keys = set(boot) | {k for v in boot.values() if isinstance(v, dict) for k in v}
    periods = report["monthly_returns"] + report["yearly_returns"]

    assert documented("The report") == set(report)
    assert documented("Metrics") == set(report["metrics"])
    assert documented("Trades") == {k for t in trades for k in t}
    assert documented("Bootstrap") == boot_keys
    assert documented("Monthly and yearly returns") == {k for p in periods for k in p}


def accepted(knob):
    """Whether the config intake takes `knob` as a key (None is refused by most knobs' types,
    which is an answer too: only an unknown key fails with the intake's ValueError)."""
    try:
        zorv.run_backtest("close", {}, {knob: None})
    except TypeError:
        return True
    except ValueError as e:
        return "unknown config key" not in str(e)
    return True


def test_config_knobs_documented_are_those_the_intake_takes():
    # The intake fills BacktestConfig, so its fields are the candidates besides the documented
    # names; a field the intake does not take needs no documentation.
    header = (ROOT / "src" / "core" / "backtest.hpp").read_text(encoding="utf-8")
    body = re.search(r"struct BacktestConfig \{(.*?)\n\};", header, re.S).group(1)
    fields = set(re.findall(r"(\w+)\s*(?:\{\}|=[^;]*)?;", body))
    docs = documented("Configuration")
    assert docs and fields
    assert {k for k in docs | fields if accepted(k)} == docs


def sessions():
    """The `pycon` blocks of docs/report.md, each with the line it starts on."""
    for m in re.finditer(r"^```pycon\n(.*?)^```$", DOC, re.M | re.S):
        yield DOC.count("\n", 0, m.start()) + 2, m.group(1)


@pytest.mark.parametrize("line,block", [pytest.param(*s, id=f"line{s[0]}") for s in sessions()])
def test_sessions_print_what_the_page_shows(line, block):
    # Each block runs on its own, as a reader would paste it, and must print exactly what the page
    # shows; the figures quoted in the text beside the blocks are these outputs.
    test = doctest.DocTestParser().get_doctest(block, {}, f"report.md:{line}", "report.md", line)
    report = []
    result = doctest.DocTestRunner(verbose=False).run(test, out=report.append)
    assert result.failed == 0, "".join(report)


def test_every_session_was_found():
    # Every pycon fence opens a session the pattern finds, so none escapes the run above.
    blocks = [b for _, b in sessions()]
    assert len(blocks) == DOC.count("```pycon")
    assert all(b.startswith(">>> ") and "zorv.run_backtest" in b for b in blocks)
    # The sessions that back the page's figures, each once: row order, column order of
    # indicator inputs, the timing of a daily and of a monthly weight, caps on rebalance dates.
    for marker in ("repeated =", "natr(high", '"shift(close > 5, 1)"',
                   "'rebalance(shift(close > 5, 1)", '"max_participation": 0.1'):
        assert sum(marker in b for b in blocks) == 1, marker
    # The line recommended before the call is the one the row-order session checks.
    fix = re.search(r"^```python\ndf = (df\[.*)\n```$", DOC, re.M).group(1)
    assert any(fix.replace("df", "repeated") in b for b in blocks)
