# Load tests: the waits that do not block (start_wait, ready_fd), the load
# driver from Python, and Locust headless with 50 users of one worker
# against the demo host: its statistics, and the host's peak of sessions
# waiting for an answer at once (users that blocked the worker inside C
# would wait for the host one at a time); and one master with two workers.
import csv
import importlib.util
import os
import pathlib
import select
import socket
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


def locust(args, host, out):
    """Starts locust on the example against the demo host."""
    if importlib.util.find_spec("locust") is None:
        pytest.skip("Locust is not installed (scripts/deps installs python3-locust)")
    package = str(pathlib.Path(tn3270e.__file__).resolve().parents[1])
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([package, os.environ.get("PYTHONPATH", "")]))
    return subprocess.Popen(
        [sys.executable, "-m", "locust", "-f", str(EXAMPLE), "--host", f"{host.host}:{host.port}",
         "--loglevel", "WARNING"] + args, env=env, cwd=out, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)


def stats(path):
    with open(path, newline="") as f:
        return {row["Name"]: row for row in csv.DictReader(f)}


@pytest.fixture(scope="module")
def locust_run(tmp_path_factory):
    out = tmp_path_factory.mktemp("locust")
    with tn3270e.DemoHost(answer_delay=ANSWER_DELAY) as host:
        run = locust(["--headless", "-u", str(USERS), "-r", str(USERS), "-t", "15s", "--csv", "run",
                      "--only-summary"], host, out)
        try:
            output = run.communicate(timeout=120)[0]
        finally:
            if run.poll() is None:
                run.kill()
                run.wait()
        peak, sessions = host.peak_outstanding, host.sessions
    return run.returncode, output, stats(out / "run_stats.csv"), peak, sessions


def test_locust_reports_each_step_without_failures(locust_run):
    returncode, output, rows, _, sessions = locust_run
    assert returncode == 0, output
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
    peak = locust_run[3]
    assert peak >= USERS - 5, f"at most {peak} of {USERS} users waited for the host at once"


def test_a_master_shares_the_users_out_to_two_workers(tmp_path):
    with socket.socket() as probe:  # a free port for the master
        probe.bind(("127.0.0.1", 0))
        port = str(probe.getsockname()[1])
    with tn3270e.DemoHost() as host:
        master = locust(["--master", "--headless", "-u", "10", "-r", "10", "-t", "4s", "--expect-workers", "2",
                         "--expect-workers-max-wait", "30", "--master-bind-host", "127.0.0.1",
                         "--master-bind-port", port, "--csv", "run"], host, tmp_path)
        workers = [locust(["--worker", "--master-host", "127.0.0.1", "--master-port", port], host, tmp_path)
                   for _ in range(2)]
        try:
            output = master.communicate(timeout=120)[0]
            for w in workers:
                w.communicate(timeout=60)
        finally:
            for p in [master] + workers:
                if p.poll() is None:
                    p.kill()
                    p.wait()
    assert master.returncode == 0, output
    rows = stats(tmp_path / "run_stats.csv")
    assert rows["sign on"]["Request Count"] == "10" and rows["back"]["Request Count"] != "0"
    assert all(row["Failure Count"] == "0" for row in rows.values()), rows
