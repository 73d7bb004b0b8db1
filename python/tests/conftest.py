# Fixtures of the tn3270e module's tests: one embedded demo host per test.
import pytest

import tn3270e

# Long enough for a loaded machine; a passing test never waits this long.
WAIT = 30.0


@pytest.fixture
def demo():
    with tn3270e.DemoHost() as host:
        yield host


@pytest.fixture
def session(demo):
    with tn3270e.Session(demo.host, demo.port, timeout=WAIT) as s:
        s.wait_text("SIGN ON")
        s.wait_unlock()
        yield s


def sign_on(s, user="DEMO", password="SECRET"):
    s.wait_text("SIGN ON")
    s.set(0, user)
    s.set(1, password)
    s.key("enter")
    s.wait_text("MAIN MENU")
