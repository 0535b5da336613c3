"""What every suite shares: the implementation a test runs for.

A test that takes the ``implementation`` fixture (or one built on it, such as
a suite's ``vorndal``) runs once for the native module and once for the Python
one; a test marked ``native_only(reason)`` runs for the native module alone,
and the native runs skip where the native module is not built
(testkit.skip_unless_applies)."""

from __future__ import annotations

import pytest
import testkit


def pytest_runtest_setup(item):
    testkit.skip_unless_applies(item)


@pytest.fixture(params=testkit.IMPLEMENTATIONS)
def implementation(request):
    """The name of the implementation under test: "native" or "python"."""
    return request.param
