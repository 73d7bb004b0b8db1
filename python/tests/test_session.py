# The tn3270e module against the embedded demo host: the demo walk, the
# screen, cursor, field and status views, every error as its exception,
# sessions in parallel threads, waits that the host's closing ends, and
# the operator's keys, region reads, waits and HTML page.
import threading
import time
from html.parser import HTMLParser

import pytest

import tn3270e
from conftest import WAIT, sign_on


def field_named(s, name):
    return next(f for f in s.fields() if f.name == name)


def test_sign_on_menu_and_inquiry(session):
    s = session
    rows = s.screen()
    assert len(rows) == 24 and all(len(r) == 80 for r in rows)
    assert "SIGN ON" in rows[1]
    assert s.cursor == (10, 28)

    user = field_named(s, "R10C28")
    password = field_named(s, "R12C28")
    assert (user.row, user.column, user.index) == (10, 28, 0)
    assert not user.protected and user.intensified and not user.hidden
    assert password.hidden and password.index == 1
    assert any(f.protected and "USER ID" in f.text for f in s.fields())

    # A wrong password: the message, the password never shown.
    s.set(0, "demo")
    s.set("r12c28", "WRONG")
    assert field_named(s, "R12C28").modified
    s.key("enter")
    s.wait_screen()
    s.wait_unlock()
    assert "USER ID OR PASSWORD IS NOT VALID" in s.screen()[21]
    assert not any("WRONG" in r for r in s.screen())
    assert field_named(s, "R12C28").text.strip() == ""

    # The password typed at the cursor (the host put it there).
    assert s.cursor == (12, 28)
    s.type("SECRET")
    assert s.cursor == (12, 34)
    s.key("enter")
    s.wait_text("MAIN MENU")
    assert any("User . . . : DEMO" in r for r in s.screen())

    s.set(0, "1")
    s.key("Enter")
    s.wait_text("ACCOUNT INQUIRY")
    account = [f for f in s.fields() if not f.protected][0]
    assert account.numeric and account.length == 5
    s.set(account, "10003")
    s.key("enter")
    s.wait_text("MEI LIN CHEN")
    assert any(f.text == "OVERDRAWN" and f.protected for f in s.fields())

    st = s.status()
    assert st["connected"] is True and st["tn3270e"] is True
    assert st["lu"] == "SIM00001" and st["session_state"] == "lu-lu"
    assert st["keyboard_locked"] is False and st["keyboard"] == "unlocked"
    assert "bind-image" in st["functions"] and st["screens"] >= 5
    assert st["host"] == f"127.0.0.1:{s.port}"

    s.key("pf3")
    s.wait_text("MAIN MENU")
    s.set(0, "X")
    s.key("enter")
    s.wait_disconnect()
    assert not s.connected and s.status()["connected"] is False


def test_plain_tn3270_and_a_code_page(demo):
    with tn3270e.DemoHost(plain=True) as plain:
        with tn3270e.Session(plain.host, plain.port, tn3270e=False, codepage="cp037", timeout=WAIT) as s:
            sign_on(s)
            st = s.status()
            assert st["tn3270e"] is False and st["lu"] is None and st["functions"] == []
            # Text out of Windows-1252 or the code page is refused before it
            # reaches the screen.
            s.set(0, "1")
            with pytest.raises(tn3270e.Refused, match="cannot be sent in cp037"):
                s.set(0, "\u20ac")
            with pytest.raises(tn3270e.Refused, match="U\\+4E00"):
                s.type("\u4e00")
            with pytest.raises(tn3270e.Refused, match="U\\+2500"):
                s.wait_text("\u2500")


def test_a_model_4_session_and_its_screen_size(demo):
    with tn3270e.Session(demo.host, demo.port, model=4, timeout=WAIT) as s:
        s.wait_text("SIGN ON")
        st = s.status()
        assert st["model"] == 4 and st["terminal_type"] == "IBM-3278-4-E"
        # The demo host writes a model 4 its panels with Erase/Write Alternate.
        assert (st["rows"], st["columns"]) == (43, 80)
        assert len(s.screen()) == 43 and all(len(row) == 80 for row in s.screen())
        assert s.screen()[42].startswith(" ENTER=Sign on")
        sign_on(s)
    with tn3270e.Session(demo.host, demo.port, model="3279-5-E", oversize=(30, 140), timeout=WAIT) as s:
        s.wait_text("SIGN ON")
        st = s.status()
        # An oversize terminal does not say its size in its name: the demo
        # host stays at 24x80.
        assert st["model"] == 5 and st["terminal_type"] == "IBM-DYNAMIC"
        assert (st["rows"], st["columns"]) == (24, 80)
    for model, oversize in ((6, None), ("3270-4", None), (True, None), (5, (24, 80))):
        with pytest.raises(ValueError):
            tn3270e.Session(demo.host, demo.port, model=model, oversize=oversize)


def test_every_error_is_its_exception(demo):
    s = tn3270e.Session(demo.host, demo.port, timeout=WAIT)
    # Not connected: every verb that needs the connection.
    for call in (lambda: s.set(0, "X"), lambda: s.type("X"), lambda: s.move_cursor(1, 1),
                 lambda: s.key("enter"), s.disconnect):
        with pytest.raises(tn3270e.NotConnected, match="^not connected$"):
            call()
    with pytest.raises(tn3270e.Disconnected, match=r"not connected \(waiting for screen\)"):
        s.wait_screen(1)

    s.connect()
    s.wait_text("SIGN ON")
    s.wait_unlock()
    with pytest.raises(tn3270e.UnknownField, match=r"no input field 7 \(the screen has 2\)"):
        s.set(7, "X")
    with pytest.raises(tn3270e.UnknownField, match="no field R1C99"):
        s.set("r1c99", "X")
    label = next(f for f in s.fields() if f.protected)
    with pytest.raises(tn3270e.ProtectedField, match=f"field {label.name} is protected"):
        s.set(label, "X")
    with pytest.raises(tn3270e.TextTooLong, match="text of 81 characters does not fit field R10C28 of 8"):
        s.set(0, "X" * 81)
    with pytest.raises(tn3270e.Refused, match="cannot hold"):
        s.set(0, "A\x00")
    with pytest.raises(tn3270e.Refused, match="nothing to type"):
        s.type("")
    s.move_cursor(1, 1)
    assert s.cursor == (1, 1)
    with pytest.raises(tn3270e.ProtectedField, match="position 1,1 is protected"):
        s.type("X")
    with pytest.raises(tn3270e.OutOfRange, match="cursor must be within rows 1-24 and columns 1-80"):
        s.move_cursor(25, 1)
    with pytest.raises(tn3270e.UnknownKey, match="unknown key pf25"):
        s.key("pf25")
    with pytest.raises(TypeError):
        s.set(1.5, "X")
    # The sign-on screen is taken: nothing more comes.
    s.wait_screen()
    started = time.monotonic()
    with pytest.raises(tn3270e.Timeout, match="timeout after 0.3 s waiting for screen"):
        s.wait_screen(0.3)
    assert time.monotonic() - started >= 0.3
    with pytest.raises(tn3270e.Timeout, match="waiting for text NOWHERE"):
        s.wait_text("NOWHERE", timeout=0.2)
    with pytest.raises(ValueError):
        s.wait_screen(-1)
    with pytest.raises(ValueError):
        s.timeout = 0

    # A numeric field takes digits only.
    sign_on(s)
    s.set(0, "1")
    s.key("enter")
    s.wait_text("ACCOUNT INQUIRY")
    s.wait_unlock()
    with pytest.raises(tn3270e.Refused, match="numeric"):
        s.type("A")
    s.disconnect()
    with pytest.raises(tn3270e.NotConnected):
        s.disconnect()

    # Bad settings and an unreachable host.
    with pytest.raises(ValueError, match="cp99999"):
        tn3270e.Session(demo.host, demo.port, codepage="cp99999")
    with pytest.raises(ValueError):
        tn3270e.Session(demo.host, 0)
    with pytest.raises(ValueError):
        tn3270e.Session(demo.host, demo.port, timeout=float("nan"))
    with pytest.raises(ValueError, match="tls must be"):
        tn3270e.Session(demo.host, demo.port, tls="ssl3")
    # The demo host speaks plain telnet: a TLS handshake with it fails, and
    # the reason comes with the error.
    with pytest.raises(tn3270e.ConnectionFailed, match=f"cannot connect to 127.0.0.1:{demo.port}: TLS"):
        tn3270e.Session(demo.host, demo.port, tls="direct", verify=False, timeout=5).connect()
    closed = tn3270e.DemoHost()
    port = closed.port
    closed.close()
    assert closed.closed
    with pytest.raises(tn3270e.ConnectionFailed, match=f"cannot connect to 127.0.0.1:{port}"):
        tn3270e.Session("127.0.0.1", port).connect()

    # The classes: one base, and the Python built-ins they also are.
    for cls in (tn3270e.Timeout, tn3270e.NotConnected, tn3270e.Disconnected, tn3270e.ConnectionFailed,
                tn3270e.UnknownField, tn3270e.ProtectedField, tn3270e.TextTooLong, tn3270e.Refused,
                tn3270e.UnknownKey, tn3270e.OutOfRange):
        assert issubclass(cls, tn3270e.Error)
    assert issubclass(tn3270e.Timeout, TimeoutError)
    assert issubclass(tn3270e.Disconnected, tn3270e.NotConnected)


def test_twenty_sessions_from_twenty_threads(demo):
    count = 20
    errors, screens = [], []
    lock = threading.Lock()
    start = threading.Barrier(count)

    def run():
        try:
            with tn3270e.Session(demo.host, demo.port, timeout=WAIT) as s:
                start.wait()
                sign_on(s)
                with lock:
                    screens.append((s.status()["lu"], s.screen()))
        except Exception as e:  # reported below, with the thread's error
            with lock:
                errors.append(repr(e))

    threads = [threading.Thread(target=run) for _ in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(2 * WAIT)
    assert not any(t.is_alive() for t in threads)
    assert errors == []
    assert len(screens) == count
    assert len({lu for lu, _ in screens}) == count  # every session its own LU
    assert all(any("MAIN MENU" in r for r in rows) for _, rows in screens)


def test_a_wait_leaves_other_threads_running(demo):
    # A wait holds no GIL: a whole sign-on in this thread finishes while a
    # wait in another thread still sleeps.
    waiter = tn3270e.Session(demo.host, demo.port)
    waiter.connect()
    outcome = []

    def wait():
        try:
            waiter.wait_text("NEVER SHOWN", timeout=WAIT)
        except tn3270e.Error as e:
            outcome.append(type(e))

    t = threading.Thread(target=wait)
    t.start()
    with tn3270e.Session(demo.host, demo.port, timeout=WAIT) as s:
        sign_on(s)
    assert t.is_alive()
    # Closing the host ends the waiter's connection, which wakes its wait.
    demo.close()
    t.join(WAIT)
    assert not t.is_alive()
    assert outcome == [tn3270e.Disconnected]


@pytest.mark.parametrize("wait", ["wait_screen", "wait_unlock", "wait_text"])
def test_a_wait_is_woken_by_the_host_ending_the_session(session, wait):
    # PF12 ends the session: the host unbinds and closes the connection,
    # and the wait that sleeps then ends at once with Disconnected, not at
    # its timeout.
    s = session
    s.key("pf12")
    started = time.monotonic()
    args = ("NOT ON ANY SCREEN",) if wait == "wait_text" else ()
    # The screens and unlocks of the ending may come first; the wait that
    # follows them meets the closed connection.
    with pytest.raises(tn3270e.Disconnected):
        while True:
            getattr(s, wait)(*args, timeout=WAIT)
    assert time.monotonic() - started < WAIT / 2
    assert not s.connected
    with pytest.raises(tn3270e.NotConnected):
        s.key("enter")


def test_context_managers_end_what_they_started():
    with tn3270e.DemoHost() as host:
        with tn3270e.Session(host.host, host.port) as s:
            assert s.connected
            s.wait_text("SIGN ON")
        assert not s.connected
        # A session ended by the host leaves the with block quietly.
        with tn3270e.Session(host.host, host.port) as s:
            s.wait_text("SIGN ON")
            s.key("pf12")
            s.wait_disconnect()
        assert host.sessions == 2
    assert host.closed


class _PreText(HTMLParser):
    """The text inside the page's <pre>, with its colours' spans counted."""

    def __init__(self):
        super().__init__()
        self.inside, self.text, self.spans = False, "", 0

    def handle_starttag(self, tag, attrs):
        if tag == "pre":
            self.inside = True
        elif tag == "span" and self.inside:
            self.spans += 1

    def handle_endtag(self, tag):
        if tag == "pre":
            self.inside = False

    def handle_data(self, data):
        if self.inside:
            self.text += data


def test_region_reads_operator_keys_waits_and_the_html_page(session, tmp_path):
    s = session
    rows = s.screen()
    # Reads are 1-based, as the cursor; a text runs on over the row's end.
    assert s.text(2, 1, 80) == rows[1]
    assert s.text(1, 80, 2) == rows[0][79] + rows[1][0]
    assert s.region(2, 1, 2, 10) == [rows[1][:10], rows[2][:10]]
    with pytest.raises(tn3270e.OutOfRange):
        s.text(25, 1, 1)

    assert s.cursor == (10, 28)
    s.tab()
    assert s.cursor == (12, 28)
    s.backtab()
    s.wait_cursor(10, 28, timeout=1)
    with pytest.raises(tn3270e.Timeout, match="waiting for cursor 1 1"):
        s.wait_cursor(1, 1, timeout=0.2)
    s.type("DEMOX")
    s.move_cursor(10, 32)
    s.erase_eof()
    assert s.text(10, 28, 8) == "DEMO    "
    s.home()
    assert s.cursor == (10, 28)
    s.wait_field()

    page = tmp_path / "screen.html"
    s.save_html(str(page))
    pre = _PreText()
    pre.feed(page.read_text(encoding="utf-8"))
    assert pre.text == "\n".join(s.screen()) and pre.spans > 0
    s.save_text(str(tmp_path / "screen.txt"))
    assert (tmp_path / "screen.txt").read_text(encoding="utf-8").splitlines() == s.screen()
    with pytest.raises(OSError):
        s.save_html(str(tmp_path / "no" / "such" / "dir" / "screen.html"))
