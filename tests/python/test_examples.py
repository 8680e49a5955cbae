"""examples/quickstart.py does what its text says: names come and go at month-ends only, the stop
loss acts on any day, and the trade count it prints is the list's, open trades included; its
command line."""
import pathlib
import re
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
sys.path.insert(0, str(EXAMPLES))
import quickstart  # noqa: E402

STOP = 0.12  # the strategy's stop_loss


@pytest.fixture(scope="module")
def run():
    panels, industry = quickstart.synthetic_market()
    return panels["close"], quickstart.run(panels, industry)


def month_ends(index):
    """YYYYMMDD of each month's last row."""
    last = pd.Series(index, index=index).groupby(index.to_period("M")).max()
    return {int(d.strftime("%Y%m%d")) for d in last}


def test_entries_at_month_ends_and_exits_off_them_only_by_the_stop(run):
    close, report = run
    ends = month_ends(close.index)
    row = {int(d.strftime("%Y%m%d")): i for i, d in enumerate(close.index)}
    closed = [t for t in report["trades"] if t["exit_date"] is not None]
    assert closed

    stopped = 0
    for t in report["trades"]:
        assert t["entry_date"] in ends, t
    for t in closed:
        prices = close[t["symbol"]].to_numpy()
        entry, exit_ = row[t["entry_date"]], row[t["exit_date"]]
        # The stop measures from the close of the row after the first held row.
        ratio = prices[entry + 1:exit_ + 1] / prices[entry + 1]
        # Checked every day: no close before the exit was already past the level...
        assert np.all(ratio[:-1] > 1 - STOP), t
        if t["exit_date"] not in ends:
            # ...and an exit between month-ends is the stop, on the first close past it.
            assert ratio[-1] <= 1 - STOP, t
            stopped += 1
    assert stopped, "no stop fired between month-ends: the run no longer shows the daily stop"


def test_worst_trade_is_the_one_the_text_quotes(run):
    _, report = run
    worst = min(t["ret"] for t in report["trades"] if t["exit_date"] is not None)
    assert worst == report["metrics"]["worst_trade"]
    quoted = re.search(r"worst trade loses (\d+\.\d)%", quickstart.__doc__)
    assert quoted, "the docstring no longer quotes the worst trade"
    assert f"{-100 * worst:.1f}" == quoted.group(1)
    assert worst < -STOP  # the text says why a trade can lose more than the stop level


def test_printout_counts_listed_trades_and_the_open_ones(run, capsys):
    _, report = run
    quickstart.main([])
    out = capsys.readouterr().out
    trades = report["trades"]
    still_open = sum(t["exit_date"] is None for t in trades)
    closed = len(trades) - still_open
    assert still_open and closed
    assert report["metrics"]["num_trades"] == closed
    assert f"{len(trades)} trades listed, {still_open} of them still open" in out
    assert re.search(rf"^  num_trades +{closed}\.0000$", out, re.M)
    assert not re.search(r"^lint ", out, re.M)  # the strategy is clean


@pytest.mark.parametrize("argv, code, stream, says", [
    (["--help"], 0, "stdout", "usage: quickstart.py [-h] [PLOT.png]"),
    (["--plot", "equity.png"], 2, "stderr", "unrecognized arguments: --plot"),
    (["a.png", "b.png"], 2, "stderr", "unrecognized arguments: b.png"),
], ids=["help", "unknown-option", "two-paths"])
def test_command_line_answers_without_running(tmp_path, argv, code, stream, says):
    # In an empty directory: whatever the script writes there is seen.
    done = subprocess.run([sys.executable, str(EXAMPLES / "quickstart.py"), *argv], cwd=tmp_path,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == code, done.stderr
    assert says in getattr(done, stream)
    assert "canonical form" not in done.stdout  # the backtest did not run
    assert not list(tmp_path.iterdir())


def test_a_path_given_gets_the_plot(tmp_path, capsys):
    path = tmp_path / "equity.png"
    quickstart.main([str(path)])
    out = capsys.readouterr().out
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        assert f"matplotlib is not installed: no plot written to {path}" in out
        assert not path.exists()
    else:
        assert f"plot written to {path}" in out
        assert path.read_bytes().startswith(b"\x89PNG")
