import os
import uuid
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


@pytest.fixture(params=["sqlite", "postgresql"])
def store_url(request, tmp_path):
    """A name for a store that does not exist yet, on each back end: a SQLite path, or the URL
    of a PostgreSQL database made for this test alone and dropped after it."""
    if request.param == "sqlite":
        yield str(tmp_path / "store.db")
        return
    url = os.environ.get("OQ_TEST_POSTGRES")
    if not url:
        if os.environ.get("OQ_REQUIRE_POSTGRES"):
            pytest.fail("OQ_TEST_POSTGRES is not set, and the PostgreSQL tests must run")
        pytest.skip("no PostgreSQL server (scripts/postgres start gives one)")
    import psycopg

    name = f"oq_{uuid.uuid4().hex[:12]}"
    with psycopg.connect(url, autocommit=True) as admin:
        admin.execute(f"CREATE DATABASE {name}")
    yield url.replace("postgresql://oq@/oq?", f"postgresql://oq@/{name}?")
    with psycopg.connect(url, autocommit=True) as admin:
        admin.execute(f"DROP DATABASE IF EXISTS {name} WITH (FORCE)")
