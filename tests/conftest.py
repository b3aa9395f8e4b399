import os

import pytest
from hypothesis import HealthCheck, settings

settings.register_profile(
    "ci", max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
settings.register_profile("dev", max_examples=50, deadline=None)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))


def _address_sanitizer_loaded() -> bool:
    try:
        with open("/proc/self/maps") as maps:
            return any("libasan" in line for line in maps)
    except OSError:
        return False


UNDER_SANITIZER = _address_sanitizer_loaded()


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "not_under_sanitizer(reason): skipped when the AddressSanitizer runtime is loaded "
        "(tools/run_sanitized_tests.sh)")


def pytest_collection_modifyitems(config, items):
    if not UNDER_SANITIZER:
        return
    for item in items:
        mark = item.get_closest_marker("not_under_sanitizer")
        if mark is not None:
            item.add_marker(pytest.mark.skip(reason="under AddressSanitizer: " + mark.args[0]))
