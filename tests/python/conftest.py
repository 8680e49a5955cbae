import pytest

import zorv


def _built(call):
    try:
        call()
    except NotImplementedError:
        return False
    except Exception:
        return True
    return True


# Builds made before the language front end or the evaluator are linked raise
# NotImplementedError from those paths; the tests that need them are skipped there.
HAVE_DSL = _built(lambda: zorv.parse("close"))
HAVE_JSON_READER = _built(lambda: zorv.format("{}"))
HAVE_ENGINE = _built(lambda: zorv.run_backtest({"op": "Data", "name": "close"}, {}))

needs_dsl = pytest.mark.skipif(not HAVE_DSL, reason="module built without the quaro front end")
needs_json_reader = pytest.mark.skipif(
    not HAVE_JSON_READER, reason="module built without the JSON reader"
)
needs_engine = pytest.mark.skipif(not HAVE_ENGINE, reason="module built without the evaluator")


def grid(dates, symbols, data):
    return {"dates": dates, "symbols": symbols, "data": data}


@pytest.fixture
def close():
    """A small valid price panel in dict form."""
    return grid(
        [20240102, 20240103, 20240104, 20240105],
        ["A", "B"],
        [[10.0, 20.0], [11.0, 19.0], [12.0, 18.0], [13.0, 17.0]],
    )


DATA_CLOSE = {"op": "Data", "name": "close"}
