import pytest


class Stamp:
    """A date-like object whose strftime writes the given text."""

    def __init__(self, text):
        self.text = text

    def strftime(self, fmt):
        assert fmt == "%Y%m%d"
        return self.text


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
