"""A Locust user class for TN3270E load tests.

Locust runs its users as gevent greenlets on one thread per worker: a call
that blocks inside C blocks every user of that worker. So the waits here
never block in C: they begin the session's wait (Session.start_wait) and
sleep in gevent.socket.wait_read on the session's completion descriptor
(Session.ready_fd) until the library raises it; the other users run
meanwhile. The actions that do not wait (set, type, key) return at once.
Connecting runs the component's connect, which lasts until the TCP
connection is made.

    from locust import task, constant
    from tn3270e.locust import Tn3270User

    class Clerk(Tn3270User):
        wait_time = constant(1)

        def setup_session(self):          # once per user, and after a failure
            c = self.client
            with c.step("sign on"):
                c.connect()
                c.wait_field()
                c.set(0, "DEMO"); c.set(1, "SECRET"); c.key("enter")
                c.wait_text("MAIN MENU")

        @task
        def inquiry(self):
            c = self.client
            with c.step("inquiry"):
                c.set(0, "1"); c.key("enter"); c.wait_text("ACCOUNT INQUIRY")

    locust -f clerk.py --headless -u 50 -r 10 -t 1m --host 127.0.0.1:3270 --csv run

Every step is one Locust request: request_type "3270" (the class's
request_type), name the step's, the response time from the step's start to
its end, a failure when a tn3270e error ended it. A failed step ends the
task (the next one is scheduled after the wait time), and the session is
set up afresh (setup_session) before the next step, as its screen is
then in an unknown state.
"""
import contextlib
import time

import gevent.socket
import locust.runners
from locust import User
from locust.exception import RescheduleTask

import tn3270e

__all__ = ["Tn3270Client", "Tn3270User"]

# Debian's python3-locust 2.12 is built with an empty version string, and a
# master takes a worker that reports no version for one older than 2.0 and
# refuses it, so master and workers never meet. Master and workers import
# this module through the same locust file before they talk, so they all
# report the same stand-in instead.
if not locust.runners.__version__:
    locust.runners.__version__ = "2.12"


class Tn3270Client:
    """One session driven from a greenlet; steps are reported to Locust.

    The session's other calls (screen, fields, text, set, type, key, tab,
    ...) are available on the client as on tn3270e.Session."""

    def __init__(self, host, port, request_event, request_type="3270", setup=None, **session_options):
        self.session = tn3270e.Session(host, port, **session_options)
        self._request = request_event
        self._request_type = request_type
        self._setup = setup
        self._in_setup = False
        self.needs_setup = True

    def __getattr__(self, name):
        # Only for names the client lacks; "session" itself is missing only
        # when the Session could not be made.
        if name == "session":
            raise AttributeError(name)
        return getattr(self.session, name)

    # ---- waits: on the completion descriptor, never blocking the worker

    def _wait(self, what, **kwargs):
        self.session.start_wait(what, **kwargs)
        while not self.session.take_wait_result():
            gevent.socket.wait_read(self.session.ready_fd)

    def connect(self):
        self.session.connect()
        self._wait("connect")

    def wait_screen(self, timeout=None):
        self._wait("screen", timeout=timeout)

    def wait_unlock(self, timeout=None):
        self._wait("unlock", timeout=timeout)

    def wait_field(self, timeout=None):
        self._wait("field", timeout=timeout)

    def wait_disconnect(self, timeout=None):
        self._wait("disconnect", timeout=timeout)

    def wait_text(self, text, timeout=None):
        self._wait("text", text=text, timeout=timeout)

    def wait_cursor(self, row, col, timeout=None):
        self._wait("cursor", row=row, col=col, timeout=timeout)

    # ---- steps

    def ensure_setup(self):
        """Runs the setup when the session needs it (first use, or after a
        failed step); RescheduleTask when the setup failed."""
        if not self.needs_setup or self._in_setup or self._setup is None:
            return
        if self.session.connected:
            self.session.disconnect()
        self._in_setup = True
        try:
            self._setup()
        finally:
            self._in_setup = False
        self.needs_setup = False

    @contextlib.contextmanager
    def step(self, name):
        """Times the block as one Locust request named `name`. A tn3270e
        error inside it is reported as the request's failure and ends the
        task (RescheduleTask); other exceptions go on as they are."""
        self.ensure_setup()
        start = time.perf_counter()
        failure = None
        try:
            yield self
        except tn3270e.Error as e:
            failure = e
        elapsed_ms = (time.perf_counter() - start) * 1000.0
        self._request.fire(request_type=self._request_type, name=name, response_time=elapsed_ms,
                           response_length=0, exception=failure, context={})
        if failure is not None:
            self.needs_setup = True
            raise RescheduleTask() from failure

    def close(self):
        if self.session.connected:
            self.session.disconnect()


def _split_host(host):
    """'HOST', 'HOST:PORT' or '[IPV6]:PORT' as (host, port); telnet's port
    by default."""
    if not host:
        raise ValueError("Tn3270User needs a host: --host HOST[:PORT] or the class's host attribute")
    if host.startswith("["):
        name, _, rest = host[1:].partition("]")
        return name, int(rest[1:]) if rest.startswith(":") else 23
    if host.count(":") == 1:
        name, port = host.split(":")
        return name, int(port)
    return host, 23


class Tn3270User(User):
    """A Locust user with a TN3270E session as self.client. Override
    setup_session (connect and navigate, in steps) and write tasks with
    self.client.step(name). The class attribute session_options goes to
    tn3270e.Session (lu, model, codepage, tls, timeout, ...)."""

    abstract = True
    request_type = "3270"
    session_options = {}

    def __init__(self, environment):
        super().__init__(environment)
        host, port = _split_host(self.host)
        self.client = Tn3270Client(host, port, environment.events.request, request_type=self.request_type,
                                   setup=self.setup_session, **self.session_options)

    def setup_session(self):
        """Once per session (and again after a failed step): by default only
        connects."""
        with self.client.step("connect"):
            self.client.connect()

    def on_start(self):
        try:
            self.client.ensure_setup()
        except RescheduleTask:
            pass  # reported; the first task's step sets up again

    def on_stop(self):
        self.client.close()
