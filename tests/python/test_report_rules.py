"""Rules of docs/report.md that its pycon sessions do not show: what the caps do to the holdings
and to the exposure figures, the types a report value can take, and the cases that turn a figure
into None."""
import pytest

import zorv
from conftest import grid

DATES = [20240102, 20240103, 20240104, 20240105]
KEEP = [None, None]


def run(weights, close, config, volume=None):
    symbols = ["A", "B"][: len(weights[0])]
    panels = {"w": grid(DATES, symbols, weights), "close": grid(DATES, symbols, close)}
    if volume is not None:
        panels["volume"] = grid(DATES, symbols, volume)
    return zorv.run_backtest({"op": "Data", "name": "w"}, panels, config)


@pytest.mark.parametrize("weights,equity,avg_exposure", [
    # A doubles, then gains half again. Not trimmed back to 0.5, A is 2/3 of the equity on the
    # second date and earns 2/3 x 50 %; the exposure stays that of the clamped target, 0.5.
    ([[1.0, 0.0], KEEP, KEEP, KEEP], [1.0, 1.5, 2.0, 2.0], 0.5),
    # B's new instruction makes the second date a rebalance date: A is trimmed to 0.5 there.
    # Gross 1.25 scales the targets to 0.8 and 0.2, and A's is clamped: 0.7 from then on.
    ([[1.0, 0.0], [None, 0.25], KEEP, KEEP], [1.0, 1.5, 1.875, 1.875], (0.5 + 3 * 0.7) / 4),
])
def test_position_limit_acts_on_rebalance_dates_only(weights, equity, avg_exposure):
    close = [[10.0, 10.0], [20.0, 10.0], [30.0, 10.0], [30.0, 10.0]]
    report = run(weights, close, {"position_limit": 0.5})
    assert report["equity"] == pytest.approx(equity, abs=1e-12)
    assert report["metrics"]["avg_exposure"] == pytest.approx(avg_exposure, abs=1e-12)


@pytest.mark.parametrize("volume,entry,time_in_market,avg_exposure,equity", [
    # No volume on the first date: nothing is bought and the instruction never changes, so nothing
    # is ever held, while the targets, and so the trade and the time in the market, start later.
    ([[0.0], [1e6], [1e6], [1e6]], 20240103, 0.75, 0.75, [1.0, 1.0, 1.0, 1.0]),
    ([[0.0], [0.0], [1e6], [1e6]], 20240104, 0.5, 0.5, [1.0, 1.0, 1.0, 1.0]),
    # Capped to 0.5 on the first date (dollar volume 5e6 x 0.1 / 1e6) and never topped up: the
    # equity gains half of A's move, while the exposure counts 1.0 from the second date on.
    ([[5e5], [1e6], [1e6], [1e6]], 20240102, 1.0, 0.875, [1.0, 1.05, 1.1, 1.15]),
    # Volume enough on every date: held in full from the first.
    ([[1e6], [1e6], [1e6], [1e6]], 20240102, 1.0, 1.0, [1.0, 1.1, 1.2, 1.3]),
])
def test_exposure_figures_follow_the_capped_targets(volume, entry, time_in_market, avg_exposure,
                                                    equity):
    close = [[10.0], [11.0], [12.0], [13.0]]
    config = {"initial_capital": 1e6, "max_participation": 0.1}
    report = run([[1.0], [None], [None], [None]], close, config, volume)
    assert [(t["entry_date"], t["exit_date"]) for t in report["trades"]] == [(entry, None)]
    assert report["metrics"]["time_in_market"] == pytest.approx(time_in_market, abs=1e-12)
    assert report["metrics"]["avg_exposure"] == pytest.approx(avg_exposure, abs=1e-12)
    assert report["equity"] == pytest.approx(equity, abs=1e-12)


@pytest.mark.parametrize("block,block_len", [
    (0, 1),  # automatic: three returns give the integer part of sqrt(3)
    (5, 5),
    (2**63 - 1, 2**63 - 1),
    (2**63, 9.223372036854776e18),
    (2**64 - 1, 1.8446744073709552e19),
])
def test_block_len_is_an_int_below_2_to_the_63(block, block_len):
    report = run([[1.0]] * 4, [[10.0], [11.0], [12.0], [13.0]],
                 {"bootstrap_samples": 3, "bootstrap_block": block})
    got = report["bootstrap"]["block_len"]
    assert type(got) is type(block_len) and got == block_len
    assert type(report["bootstrap"]["n_samples"]) is int


@pytest.mark.parametrize("fee,equity,total_return", [
    (1.0, [0.0, 0.0, 0.0, 0.0], None),  # the first date's cost takes all the equity
    (0.5, [0.5, 0.55, 0.6, 0.65], 0.3),
])
def test_a_first_equity_of_zero_has_no_growth_figures(fee, equity, total_return):
    report = run([[1.0]] * 4, [[10.0], [11.0], [12.0], [13.0]], {"fee_ratio": fee})
    assert report["equity"] == pytest.approx(equity, abs=1e-12)
    m = report["metrics"]
    periods = [p["ret"] for p in report["monthly_returns"] + report["yearly_returns"]]
    if total_return is None:
        assert m["total_return"] is None and m["cagr"] is None
        assert periods == [None, None]
    else:
        assert m["total_return"] == pytest.approx(total_return, abs=1e-12)
        assert m["cagr"] is not None
        assert periods == pytest.approx([total_return] * 2, abs=1e-12)


@pytest.mark.parametrize("weights,rets,best,worst", [
    # A opens before its first price and closes after it: nothing to measure its move from.
    ([[1.0, 0.0], [None, None], [0.0, None], KEEP], [None], None, None),
    # B's trade, from 10 to 12 and back to 10, has a return; A's is passed over.
    ([[1.0, 1.0], [None, 0.0], [0.0, 1.0], [None, 0.0]], [None, 0.2, -1 / 6], 0.2, -1 / 6),
])
def test_best_and_worst_trade_pass_over_rets_that_are_none(weights, rets, best, worst):
    close = [[None, 10.0], [11.0, 12.0], [12.0, 12.0], [13.0, 10.0]]
    report = run(weights, close, None)
    got = [t["ret"] for t in report["trades"] if t["exit_date"] is not None]
    assert got == pytest.approx(rets, abs=1e-12)
    m = report["metrics"]
    assert m["num_trades"] == len(rets)
    for key, value in (("best_trade", best), ("worst_trade", worst)):
        assert m[key] == (None if value is None else pytest.approx(value, abs=1e-12))
