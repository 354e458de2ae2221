import os
from pathlib import Path

import _ostrel_quorvane
import pytest
from hypothesis import HealthCheck, settings

settings.register_profile("default", max_examples=200, deadline=None)
# Instrumented builds run many times slower; fewer examples keep the run short.
settings.register_profile(
    "sanitizer", max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
settings.load_profile(os.environ.get("OQ_HYPOTHESIS_PROFILE", "default"))


def pytest_report_header(config):
    return f"extension: {_ostrel_quorvane.__file__}"


def pytest_sessionstart(session):
    expected = os.environ.get("OQ_EXTENSION_DIR")
    if expected and Path(_ostrel_quorvane.__file__).parent != Path(expected).resolve():
        raise pytest.UsageError(
            f"testing {_ostrel_quorvane.__file__}, expected the build in {expected}"
        )


@pytest.fixture(scope="session")
def oq():
    return _ostrel_quorvane
