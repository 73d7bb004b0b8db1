# Load tests: the waits that do not block (start_wait, ready_fd), the load
# driver from Python, and Locust headless with 50 users of one worker
# against the demo host: its statistics, and the host's peak of sessions
# waiting for an answer at once (users that blocked the worker inside C
# would wait for the host one at a time).
import csv
import importlib.util
import os
import pathlib
import select
import subprocess
import sys

import pytest

import tn3270e

from conftest import WAIT

EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "locust_demo.py"
USERS = 50
# Each answer held this long: the users spend most of their time waiting
# for the host, so all of them wait at once when they run together.
ANSWER_DELAY = 0.25


def test_a_wait_that_does_not_block(session):
    s = session
    s.start_wait("text", text="NOT ON THE SCREEN", timeout=0.2)
    assert s.take_wait_result() is False  # pending
    with pytest.raises(tn3270e.Error):  # one wait at a time
        s.start_wait("screen")
    assert select.select([s.ready_fd], [], [], WAIT)[0] == [s.ready_fd]
    with pytest.raises(tn3270e.Timeout, match="waiting for text NOT ON THE SCREEN"):
        s.take_wait_result()
    assert select.select([s.ready_fd], [], [], 0)[0] == []  # taken: lowered

    s.set(0, "DEMO")
    s.set(1, "SECRET")
    s.key("enter")
    s.start_wait("text", text="MAIN MENU")
    select.select([s.ready_fd], [], [], WAIT)
    assert s.take_wait_result() is True
    s.start_wait("cursor", row=1, col=1, timeout=WAIT)
    assert s.cancel_wait() and not s.cancel_wait()
    with pytest.raises(ValueError):
        s.start_wait("text")


def test_run_load_reports_every_step(demo):
    plan = tn3270e.LoadPlan()
    plan.setup("sign on").connect().wait_field().set(0, "DEMO").set(1, "SECRET").key("enter").wait_text("MAIN MENU")
    plan.step("inquiry").set(0, "1").key("enter").wait_text("ACCOUNT INQUIRY")
    plan.step("missing").key("pf3").wait_text("NOWHERE", timeout=0.2)
    r = tn3270e.run_load(plan, demo.host, demo.port, sessions=3, iterations=2, timeout=WAIT)
    steps = {s["name"]: s for s in r["steps"]}
    # Each failed iteration signs on again.
    assert steps["sign on"]["setup"] and steps["sign on"]["count"] == 6
    assert steps["inquiry"]["count"] == 6 and steps["inquiry"]["errors"] == 0
    assert steps["missing"]["error_kinds"] == {"timeout": 6}
    assert "NOWHERE" in steps["missing"]["first_error"]
    assert r["iterations"] == 0 and r["failed_iterations"] == 6
    assert "errors in missing: timeout 6" in r["table"]
    with pytest.raises(ValueError, match="no iteration step"):
        tn3270e.run_load(tn3270e.LoadPlan(), demo.host, demo.port)


@pytest.fixture(scope="module")
def locust_run(tmp_path_factory):
    if importlib.util.find_spec("locust") is None:
        pytest.skip("Locust is not installed (scripts/deps installs python3-locust)")
    out = tmp_path_factory.mktemp("locust")
    package = str(pathlib.Path(tn3270e.__file__).resolve().parents[1])
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([package, os.environ.get("PYTHONPATH", "")]))
    with tn3270e.DemoHost(answer_delay=ANSWER_DELAY) as host:
        run = subprocess.run(
            [sys.executable, "-m", "locust", "-f", str(EXAMPLE), "--headless", "-u", str(USERS), "-r", str(USERS),
             "-t", "15s", "--host", f"{host.host}:{host.port}", "--csv", str(out / "run"), "--only-summary",
             "--loglevel", "WARNING"],
            env=env, capture_output=True, text=True, timeout=120)
        peak, sessions = host.peak_outstanding, host.sessions
    with open(out / "run_stats.csv", newline="") as f:
        rows = {row["Name"]: row for row in csv.DictReader(f)}
    return run, rows, peak, sessions


def test_locust_reports_each_step_without_failures(locust_run):
    run, rows, _, sessions = locust_run
    assert run.returncode == 0, run.stdout + run.stderr
    assert set(rows) == {"sign on", "open inquiry", "inquire", "back", "Aggregated"}
    assert all(row["Failure Count"] == "0" for row in rows.values()), rows
    assert all(row["Type"] == "3270" for name, row in rows.items() if name != "Aggregated")
    # One session per user, signed on once: the pool.
    assert rows["sign on"]["Request Count"] == str(USERS) and sessions == USERS
    counts = [int(rows[name]["Request Count"]) for name in ("open inquiry", "inquire", "back")]
    # Every user went round several times; none is more than one step ahead.
    assert counts[2] >= USERS
    assert counts[0] >= counts[1] >= counts[2] >= counts[0] - USERS, counts


def test_fifty_users_of_one_worker_wait_for_the_host_together(locust_run):
    _, _, peak, _ = locust_run
    assert peak >= USERS - 5, f"at most {peak} of {USERS} users waited for the host at once"
