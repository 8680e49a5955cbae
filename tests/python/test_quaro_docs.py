"""The examples of docs/quaro.md run as shown: every quaro block lints clean and backtests, and
every `>>>` session prints what the page says it prints."""
import ast
import datetime
import pathlib
import random
import re

import pytest

import zorv

DOC = pathlib.Path(__file__).resolve().parents[2] / "docs" / "quaro.md"


def fenced(info):
    text = DOC.read_text(encoding="utf-8")
    return re.findall(r"^```" + info + r"\n(.*?)^```$", text, flags=re.M | re.S)


def market():
    """Eight symbols in three industries over 300 weekdays, with every series the examples name."""
    rng = random.Random(7)
    day, dates = datetime.date(2023, 1, 2), []
    while len(dates) < 300:
        if day.weekday() < 5:
            dates.append(int(day.strftime("%Y%m%d")))
        day += datetime.timedelta(days=1)
    symbols = [f"S{k}" for k in range(8)]
    close, price = [], [100.0] * len(symbols)
    for _ in dates:
        price = [p * (1 + rng.gauss(0.0005, 0.02)) for p in price]
        close.append(price)
    scaled = lambda f: [[f(x) for x in row] for row in close]
    values = lambda lo, hi: [[rng.uniform(lo, hi) for _ in symbols] for _ in dates]
    series = {
        "close": close,
        "high": scaled(lambda x: x * 1.01),
        "low": scaled(lambda x: x * 0.99),
        "volume": values(1e5, 1e6),
        "size": values(1.0, 3.0),
        "beta": values(0.5, 1.5),
    }
    panels = {name: {"dates": dates, "symbols": symbols, "data": data}
              for name, data in series.items()}
    industry = {s: ["tech", "energy", "health"][k % 3] for k, s in enumerate(symbols)}
    return panels, industry


PANELS, INDUSTRY = market()


@pytest.mark.parametrize("src", fenced("quaro"))
def test_quaro_examples_lint_clean_and_run(src):
    assert zorv.lint(src, series=list(PANELS)) == []
    report = zorv.run_backtest(src, PANELS, industry=INDUSTRY)
    assert len(report["equity"]) > 0


def sessions():
    for block in fenced("text"):
        if block.startswith(">>> "):
            call, _, shown = block.partition("\n")
            yield call[4:], shown.rstrip("\n")


@pytest.mark.parametrize("call,shown", list(sessions()))
def test_sessions_print_what_the_page_shows(call, shown):
    if shown.startswith("ValueError: "):
        with pytest.raises(ValueError) as err:
            eval(call)
        assert str(err.value) == shown[len("ValueError: "):]
    elif call.startswith("print("):
        assert str(eval(call[len("print("):-1])) == shown
    else:
        assert eval(call) == ast.literal_eval(shown)


def test_every_example_was_found():
    assert len(fenced("quaro")) >= 7 and len(list(sessions())) >= 3
