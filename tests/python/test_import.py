import zorv


def test_version_and_all():
    assert zorv.__version__ == "0.2.0"
    assert zorv.__all__ == ["run_backtest", "parse", "format", "lint", "__version__"]
