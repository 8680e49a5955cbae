"""The three end-to-end strategies, in the expression tree's JSON form (so that the C++ bench can
read them without the language front end), with their configuration and, where pandas can
express it, the pandas code that computes the same weights.

    python3 bench/strategies.py > strategies.json     (read by e2e_bench)
"""

import json


def data(name):
    return {"op": "Data", "name": name}


def const(v):
    return {"op": "Const", "value": v}


def node(op, **fields):
    return {"op": op, **fields}


CLOSE, VOLUME = data("close"), data("volume")
COSTS = {"fee_ratio": 0.001425, "tax_ratio": 0.003}


def momentum():
    # 12-1 month momentum, ranked; the 50 strongest liquid names, equal weight, monthly.
    mom = node("PctChange", of=node("Shift", of=CLOSE, n=20), n=230)
    score = node("Rank", of=mom, pct=True, ascending=True)
    liquid = node("Gt", l=node("Average", of=VOLUME, n=20), r=const(100000.0))
    picks = node("And", l=node("IsLargest", of=score, n=50), r=liquid)
    return node("Rebalance", of=node("NormalizeRow", of=picks), freq="ME")


def momentum_pandas(frames):
    close, volume = frames["close"], frames["volume"]
    score = close.shift(20).pct_change(230).rank(axis=1, pct=True)
    liquid = volume.rolling(20, min_periods=10).mean() > 100000.0
    picks = (score.rank(axis=1, method="first", ascending=False) <= 50) & liquid
    w = picks.astype(float)
    gross = w.abs().sum(axis=1)
    w = w.div(gross.where(gross > 0, 1.0), axis=0)
    return w.groupby(w.index.to_period("M")).tail(1)


def rotation():
    # Enter the 30 strongest names above their 100-day average, leave when momentum falls into
    # the bottom 40%, at most 20 held, with a stop loss, a take profit and a trailing stop.
    mom = node("PctChange", of=CLOSE, n=60)
    trend = node("Gt", l=CLOSE, r=node("Average", of=CLOSE, n=100))
    entry = node("And", l=node("IsLargest", of=mom, n=30), r=trend)
    exit_ = node("Lt", l=node("Rank", of=mom, pct=True, ascending=True), r=const(0.4))
    held = node("HoldUntil", entry=entry, exit=exit_, nstocks_limit=20, rank=mom,
                stop_loss=0.08, take_profit=0.25, trail_stop=0.10, trail_stop_activation=0.05)
    return node("NormalizeRow", of=held)


def multifactor():
    # Momentum, short-term reversal and low volatility ranks, summed, neutralised by industry and
    # regressed on a liquidity rank; the top 100 weighted by their rank, monthly.
    ret1 = node("PctChange", of=CLOSE, n=1)
    rank = lambda x, asc=True: node("Rank", of=x, pct=True, ascending=asc)
    mom = rank(node("PctChange", of=node("Shift", of=CLOSE, n=20), n=230))
    rev = rank(node("Neg", of=node("PctChange", of=CLOSE, n=5)))
    lowvol = rank(node("Std", of=ret1, n=60), asc=False)
    raw = node("Add", l=node("Add", l=mom, r=rev), r=lowvol)
    liquidity = rank(node("Average", of=node("Mul", l=CLOSE, r=VOLUME), n=20))
    resid = node("Neutralize", of=node("NeutralizeIndustry", of=raw, add_const=True),
                 by=[liquidity], add_const=True)
    top = node("Mask", of=rank(resid), by=node("IsLargest", of=resid, n=100))
    return node("Rebalance", of=node("NormalizeRow", of=top), freq="ME")


STRATEGIES = {
    "momentum": {
        "spec": momentum(),
        "config": dict(COSTS),
        "industry": False,
        "pandas": momentum_pandas,
    },
    "rotation": {
        "spec": rotation(),
        "config": dict(COSTS, slippage_ratio=0.0005, delist_after=5, delist_haircut=0.3),
        "industry": False,
        "pandas": None,
    },
    "multifactor": {
        "spec": multifactor(),
        "config": dict(COSTS, position_limit=0.03, slippage_ratio=0.0005, initial_capital=5e7,
                       max_participation=0.05, impact_coef=0.1, delist_after=5,
                       delist_haircut=0.5, benchmark_key="bench"),
        "industry": True,
        "pandas": None,
    },
}


if __name__ == "__main__":
    print(json.dumps({k: {"spec": json.dumps(v["spec"]), "config": v["config"],
                          "industry": v["industry"]} for k, v in STRATEGIES.items()}, indent=1))
