import os
import sys

sys.path.insert(0, os.path.dirname(__file__))


def pytest_configure(config):
    # Long loops (the reference and memory checks); run by default and in CI,
    # deselect with -m "not slow" for a quick local run.
    config.addinivalue_line("markers", "slow: long-running loops, run by default and in CI")
