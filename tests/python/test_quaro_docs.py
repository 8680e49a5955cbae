"""The examples of docs/quaro.md run as shown: every quaro block lints clean and backtests, and
every `>>>` session prints what the page says it prints."""
import ast
import datetime
import math
import pathlib
import random
import re

import pytest

import zorv

DOC = pathlib.Path(__file__).resolve().parents[2] / "docs" / "quaro.md"


def weekdays(day, n):
    """The first n weekdays from `day` on, as YYYYMMDD ints."""
    dates = []
    while len(dates) < n:
        if day.weekday() < 5:
            dates.append(int(day.strftime("%Y%m%d")))
        day += datetime.timedelta(days=1)
    return dates


def fenced(info):
    text = DOC.read_text(encoding="utf-8")
    return re.findall(r"^```" + info + r"\n(.*?)^```$", text, flags=re.M | re.S)


def market():
    """Eight symbols in three industries over 300 weekdays, with every series the examples name."""
    rng = random.Random(7)
    dates = weekdays(datetime.date(2023, 1, 2), 300)
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


def evaluate(src, series):
    """The values of the expression `src` on panels given as lists of rows (`None` for a missing
    cell), dated on consecutive weekdays from 20240102, symbols S0, S1, ... The module returns no
    panel, so each cell is read back from a backtest: the cell alone, scaled by 1e-6, is held over
    one date on which its symbol's price doubles, and the equity moves by the cell's value x 1e-6.
    Finite values must lie within +-1e6 (a weight beyond 1 would be scaled down) and are rounded to
    4 places; a missing cell gives None, an infinite one inf or -inf."""
    rows = next(iter(series.values()))
    n_rows, n_cols = len(rows), len(rows[0])
    dates = weekdays(datetime.date(2024, 1, 2), n_rows + 1)
    symbols = [f"S{k}" for k in range(n_cols)]
    panels = {name: {"dates": dates[:-1], "symbols": symbols,
                     "data": [[math.nan if v is None else v for v in r] for r in data]}
              for name, data in series.items()}
    out = []
    for t in range(n_rows):
        panels["_cell"] = {"dates": dates[:-1], "symbols": symbols,
                           "data": [[float(i == t)] * n_cols for i in range(n_rows)]}
        values = []
        for s in range(n_cols):
            panels["_px"] = {"dates": dates, "symbols": [symbols[s]],
                             "data": [[1.0 if i <= t else 2.0] for i in range(n_rows + 1)]}

            def probe(expr):
                spec = f"mask({expr}, _cell) / 1000000"
                equity = zorv.run_backtest(spec, panels, price_key="_px")["equity"]
                return (equity[t + 1] / equity[t] - 1) * 1e6

            if probe(f"({src}) * 0 + 1") > 0.5:
                values.append(round(probe(src), 4) + 0.0)
            elif probe(f"({src}) > 0") > 0.5:
                values.append(math.inf)
            elif probe(f"({src}) < 0") > 0.5:
                values.append(-math.inf)
            else:
                values.append(None)
        out.append(values)
    return out


def column(src, **series):
    """`src` on one symbol: each series is the list of its values, one per date."""
    return [r[0] for r in evaluate(src, {k: [[v] for v in vs] for k, vs in series.items()})]


def row(src, **series):
    """`src` on one date: each series is the list of its values, one per symbol."""
    return evaluate(src, {k: [vs] for k, vs in series.items()})[0]


def table(src, **series):
    """`src` on several dates and symbols: each series is a list of rows."""
    return evaluate(src, series)


@pytest.mark.parametrize("src", fenced("quaro"))
def test_quaro_examples_lint_clean_and_run(src):
    assert zorv.lint(src, series=list(PANELS)) == []
    report = zorv.run_backtest(src, PANELS, industry=INDUSTRY)
    assert len(report["equity"]) > 0


def sessions():
    """(call, shown) for every `>>> ` line of a text block that starts with one; the lines up to
    the next `>>> ` are what the call shows."""
    for block in fenced("text"):
        if block.startswith(">>> "):
            for part in re.split(r"^>>> ", block, flags=re.M)[1:]:
                call, _, shown = part.partition("\n")
                yield call, shown.rstrip("\n")


def shown_value(text):
    return ast.literal_eval(re.sub(r"\binf\b", "1e999", text))


@pytest.mark.parametrize("call,shown", list(sessions()))
def test_sessions_print_what_the_page_shows(call, shown):
    if shown.startswith("ValueError: "):
        with pytest.raises(ValueError) as err:
            eval(call)
        assert str(err.value) == shown[len("ValueError: "):]
    elif call.startswith("print("):
        assert str(eval(call[len("print("):-1])) == shown
    else:
        assert eval(call) == shown_value(shown)


def test_every_example_was_found():
    prompts = re.findall(r"^\s*>>> ", DOC.read_text(encoding="utf-8"), flags=re.M)
    assert len(fenced("quaro")) >= 8 and len(list(sessions())) == len(prompts) >= 20


INF = math.inf


@pytest.mark.parametrize("call,values", [
    (lambda: column("x", x=[1.5, None, -2, INF, -INF, 0]), [1.5, None, -2.0, INF, -INF, 0.0]),
    (lambda: row("x * 1000", x=[0.25, None, -1]), [250.0, None, -1000.0]),
    (lambda: table("x", x=[[1, None], [None, 2]]), [[1.0, None], [None, 2.0]]),
])
def test_the_helpers_read_back_what_they_are_given(call, values):
    assert call() == values


# Statements of the page that its sessions do not show.
@pytest.mark.parametrize("src,series,values", [
    ("ema(x, 3)", dict(x=[1, 2, 3, INF, 5]), [None, None, 2.0, 2.0, 3.5]),
    ("ema(x, 3)", dict(x=[1, 2, 3, None, 5]), [None, None, 2.0, 2.0, 3.5]),
    ("obv(close, volume)", dict(close=[10, None, 12, 13], volume=[5, 1, 2, 1]), [5.0, 5.0, 5.0, 6.0]),
    ("obv(close, volume)", dict(close=[10, 11, 11, 10], volume=[5, 1, None, 3]), [5.0, 6.0, 6.0, 3.0]),
    ("obv(close, volume)", dict(close=[10, 11, 12], volume=[None, 1, 2]), [None, None, None]),
    ("obv(close, volume)", dict(close=[None, 11, 12], volume=[7, 1, 2]), [None, 1.0, 3.0]),
    ("stoch_k(high, low, close, 2)", dict(high=[2, 2, 2], low=[1, 1, 1], close=[1, 1.5, 2]),
     [None, 50.0, 100.0]),
    ("stoch_k(high, low, close, 2)", dict(high=[1, 1, 1], low=[1, 1, 1], close=[1, 1, 1]),
     [None, None, None]),
])
def test_column_statements(src, series, values):
    assert column(src, **series) == values


def test_infinite_values_are_ranked_at_the_ends():
    assert row("rank(x)", x=[INF, 1, -INF, None]) == [1.0, 0.6667, 0.3333, None]


@pytest.mark.parametrize("by,f,values", [
    ("[f, g], add_const=false", dict(f=[1, 2, 4, 3], g=[2, 4, 8, 6]), [None] * 4),
    ("[f, g]", dict(f=[1, 2, 4, 3], g=[2, 3, 5, 4]), [None] * 4),
    ("[f, g], add_const=false", dict(f=[1, 2, 4, 3], g=[2, 3, 5, 4]), [-0.4, -0.3, -1.1, 1.8]),
    ("[f], add_const=false", dict(f=[5, 5, 5, 5]), [-1.75, -0.75, 0.25, 2.25]),
    # squared deviations of f from its mean: 8e-13, then 1.25e-12
    ("[f]", dict(f=[4e-7, 8e-7, 16e-7, 12e-7]), [None] * 4),
    ("[f]", dict(f=[5e-7, 10e-7, 20e-7, 15e-7]), [-0.4, -0.3, -1.1, 1.8]),
])
def test_neutralize_rows_without_a_single_solution_are_missing(by, f, values):
    assert row(f"neutralize(y, by={by})", y=[1, 2, 3, 5], **f) == values


def test_negative_threshold_forms_lint_clean():
    for src in ["-x > 0.05", "x + 0.05 < 0"]:
        assert zorv.lint(src, series=["x"]) == []


def test_underscores_that_do_not_belong_to_a_number():
    assert zorv.parse("x > _1")["r"] == {"op": "Data", "name": "_1"}
    # the number ends before the `e`; the name `e_5` that follows is left over
    with pytest.raises(ValueError, match="^1:6: unexpected trailing input$"):
        zorv.parse("x > 1e_5")


def test_int_dates_of_a_dataframe_reach_the_calendar_check():
    pd = pytest.importorskip("pandas")
    close = pd.DataFrame({"A": [1.0, 2.0]}, index=[20241231, 20241301])
    with pytest.raises(ValueError, match="^eval error: date 20241301 is not a calendar date$"):
        zorv.run_backtest('rebalance(close, freq="W")', {"close": close})


def test_a_stop_level_counts_by_its_size_and_takes_no_sign_in_source():
    with pytest.raises(ValueError, match="^1:1: `stop_loss` must be a number$"):
        zorv.parse("hold_until(close > 1, close < 1, stop_loss=-0.05)")
    tree = zorv.parse("hold_until(is_largest(pct_change(close, 20), 3), close < 0, stop_loss=0.05)")
    equity = zorv.run_backtest(tree, PANELS)["equity"]
    tree["stop_loss"] = -0.05
    assert zorv.run_backtest(tree, PANELS)["equity"] == equity


def test_a_month_end_sample_of_the_weights_undoes_a_stop_that_daily_weights_keep():
    """S0 climbs 2% a day up to the end of March, then falls 20% on 15 May and stays among the
    ten largest 60-day changes; the other eleven barely move. The two holding-rule examples of
    the page run on it: the first holds S0 through its stop and past the month-end, the second
    sells it on the stop date and chooses it again at the month-end."""
    dates = weekdays(datetime.date(2024, 1, 2), 110)
    fall, top = dates.index(20240515), dates.index(20240329)
    month_end = dates.index(20240531)
    close = [[100 * 1.02 ** min(i, top) * (0.8 if i >= fall else 1.0)]
             + [100 * (1 + 0.001 * k * (-1) ** (i + k)) * (1 + 0.0001 * k / 11) ** i
                for k in range(1, 12)]
             for i in range(len(dates))]
    for i in range(fall, month_end + 1):
        change = [close[i][j] / close[i - 60][j] - 1 for j in range(12)]
        assert change[0] == max(change)
    panels = {"close": {"dates": dates, "symbols": [f"S{k}" for k in range(12)], "data": close}}
    monthly, daily = [b for b in fenced("quaro") if "stop_loss=0.12" in b]

    def s0_trades(src):
        trades = zorv.run_backtest(src, panels)["trades"]
        return [(t["entry_date"], t["exit_date"]) for t in trades if t["symbol"] == "S0"]

    (entry, exit_date), = s0_trades(monthly)
    assert entry == 20240329 and (exit_date is None or exit_date > 20240531)
    stopped, again = s0_trades(daily)[:2]
    assert stopped == (20240329, 20240515) and again[0] == 20240531


def test_a_panel_of_industry_labels_aligns_with_no_symbol():
    run = lambda src: zorv.run_backtest(src, PANELS, industry=INDUSTRY)
    flat = run('close - groupby_category(close, "mean")')
    assert set(flat["equity"]) == {1.0} and flat["trades"] == []
    assert len(run("neutralize_industry(close)")["trades"]) > 0


def flat_and_moving(n):
    """A panel `close` over n weekdays: A never moves, B alternates between 10 and 11."""
    dates = weekdays(datetime.date(2024, 1, 2), n)
    return {"close": {"dates": dates, "symbols": ["A", "B"],
                      "data": [[5.0, 10.0 + i % 2] for i in range(n)]}}


def test_inverse_volatility_on_a_flat_window():
    panels = flat_and_moving(40)
    guarded, = [b for b in fenced("quaro") if "1 / vol" in b]
    traded = lambda src: {t["symbol"] for t in zorv.run_backtest(src, panels)["trades"]}
    assert traded(guarded) == {"B"}
    # unguarded, the flat name makes every row 0 or missing: nothing is ever held
    assert traded("normalize_row(1 / std(pct_change(close, 1), 20))") == set()
    with pytest.raises(ValueError, match="^eval error: infinite weight for 'A' on 20240130$"):
        zorv.run_backtest("1 / std(pct_change(close, 1), 20)", panels)


def test_an_infinite_weight_through_normalize_row_sells_the_finite_names_only():
    """Both symbols are held from the first date; on the second, A's weight is infinite."""
    dates = weekdays(datetime.date(2024, 1, 2), 4)
    grid = lambda rows: {"dates": dates, "symbols": ["A", "B"], "data": rows}
    panels = {"close": grid([[10.0, 20.0], [11.0, 21.0], [12.0, 22.0], [13.0, 23.0]]),
              "w": grid([[1.0, 1.0], [INF, 1.0], [math.nan] * 2, [math.nan] * 2])}
    trades = zorv.run_backtest("normalize_row(w)", panels)["trades"]
    assert {t["symbol"]: t["exit_date"] for t in trades} == {"A": None, "B": dates[1]}


@pytest.mark.parametrize("x,values", [
    ([0, 0, None], [0.0, 0.0, None]),
    ([-INF, 3, None], [None, 0.0, None]),
])
def test_normalize_row_leaves_zero_rows_and_voids_infinite_ones(x, values):
    assert row("normalize_row(x)", x=x) == values


@pytest.mark.parametrize("src,x,values", [
    ("std(x, 3) > 0", [100] * 3, [0.0, 0.0, 0.0]),
    ("std(x, 3) > 0", [0.1] * 3, [0.0, 0.0, 1.0]),
    # the rounding residue of the window's mean, scaled by 1e17
    ("std(x, 3) * 100000000000000000", [0.1] * 3, [None, None, 1.3878]),
    ("1 / std(x, 3)", [100] * 3, [None, None, INF]),
])
def test_the_std_of_a_flat_window(src, x, values):
    assert column(src, x=x) == values


@pytest.mark.parametrize("data,named", [
    ([[1.0, 2.0, 3.0], [1.0, 0.0, 0.0]], "'B' on 20240103"),
    ([[1.0, 2.0, 0.0], [1.0, 0.0, 0.0]], "'C' on 20240102"),
])
def test_the_first_infinite_weight_by_date_then_column_is_named(data, named):
    panels = {"close": {"dates": [20240102, 20240103], "symbols": ["A", "B", "C"], "data": data},
              "one": {"dates": [20240102, 20240103], "symbols": ["A", "B", "C"],
                      "data": [[1.0] * 3] * 2}}
    with pytest.raises(ValueError, match=f"^eval error: infinite weight for {named}$"):
        zorv.run_backtest("one / close", panels)


RESIDUALS = [-0.4, -0.3, -1.1, 1.8]  # of y = 1, 2, 3, 5 on f = 1, 2, 4, 3 with a constant
SHAPE = [1, 2, 4, 3]


@pytest.mark.parametrize("by,f,values", [
    ("[f]", SHAPE, RESIDUALS),
    # collinear: missing near 1, the residuals on f alone near 1000
    ("[f, f * 0.1]", SHAPE, [None] * 4),
    ("[f, f * 0.1]", [1000 + v for v in SHAPE], RESIDUALS),
    # the same small spread: solved near 0, constant near 100
    ("[f]", [1e-6 * v for v in SHAPE], RESIDUALS),
    ("[f]", [100 + 1e-6 * v for v in SHAPE], [None] * 4),
    # a level far above the spread
    ("[f]", [1e7 + v for v in SHAPE], [-0.3978, -0.2993, -1.1022, 1.7993]),
    ("[f]", [1e8 + v for v in SHAPE], [-0.6175, -0.3725, -0.8825, 1.8725]),
    ("[f]", [1e8 + v for v in [3, 1, 4, 1]], [None] * 4),
    # unit scale mends it; dividing by a constant does not
    ("[rank(f)]", [1e8 + v for v in SHAPE], RESIDUALS),
    ("[f]", [1 + 0.01 * v for v in SHAPE], RESIDUALS),
    ("[f / 100000000]", [1e8 + v for v in SHAPE], [None] * 4),
])
def test_neutralize_depends_on_the_scale_of_its_factors(by, f, values):
    assert row(f"neutralize(y, by={by})", y=[1, 2, 3, 5], f=f) == values


@pytest.mark.parametrize("src,printed", [
    ("sma(close, 5)", "sma(close, 5)"),
    ('rebalance(close, freq="ME")', 'rebalance(close, freq="ME")'),
    ('industry_rank(close, categories=["a"])', 'industry_rank(close, categories=["a"])'),
    ("rank(5)", "rank(5)"),
    ("rank(close, pct=false)", "rank(close, pct=false)"),
    ("neutralize(close, by=[size, beta])", "neutralize(close, by=[size, beta])"),
    ("neutralize(close, by=[size, rank(beta)])",
     "neutralize(\n  close,\n  by=[size, rank(beta)]\n)"),
    ("rank(-close)", "rank(\n  (-close)\n)"),
    ("rank(not close)", "rank(\n  (not close)\n)"),
    ("rank(close + 1)", "rank(\n  (close + 1)\n)"),
    ("rank(ceil(close))", "rank(\n  ceil(close)\n)"),
    # operators, `-`, `not` and `ceil` stay on their line
    ("-sma(close, 5) > 0", "((-sma(close, 5)) > 0)"),
    ("not rank(close)", "(not rank(close))"),
    ("ceil(sma(close, 5))", "ceil(sma(close, 5))"),
    ("ceil(close + 1)", "ceil((close + 1))"),
    ("ceil(rank(sma(close, 5)))", "ceil(rank(\n  sma(close, 5)\n))"),
    # two spaces more than the line on which the call starts
    ("mask(rank(sma(close, 5)), close > 1)",
     "mask(\n  rank(\n    sma(close, 5)\n  ),\n  (close > 1)\n)"),
    ("mask(close, rank(sma(close, 5)) > 0.5)",
     "mask(\n  close,\n  (rank(\n    sma(close, 5)\n  ) > 0.5)\n)"),
])
def test_when_the_printer_splits_a_call(src, printed):
    tree = zorv.parse(src)
    assert zorv.format(tree) == printed
    assert zorv.parse(printed) == tree
