"""Drives a Qt Widgets program through its accessibility tree (AT-SPI).

Meant to run inside run_with_desktop.sh, under /usr/bin/python3 (pyatspi
is a Debian package). Everything that waits polls with a bound, and a
failure inside `with launch(...) as app:` prints the program's tree to
stderr.

    with launch([program], env=env) as app:
        box = app.find("check box", "Include 001.002 Mall Store")
        if not is_checked(box):
            click(box)
        click(app.find("push button", "Save and Close"))
        app.wait_exit()
"""
import os
import subprocess
import sys
import time

import pyatspi

DEFAULT_TIMEOUT = 20.0
POLL_INTERVAL = 0.05
# A top-level QMainWindow is a "frame", a QDialog a "dialog" and a bare
# QWidget a "filler".
WINDOW_ROLES = ("frame", "dialog", "window", "filler")
# Qt names its actions "Press", "Toggle", "SetFocus"; other toolkits use
# lower case.
CLICK_ACTIONS = ("click", "press", "toggle", "activate")


class UiError(AssertionError):
    pass


def wait_until(predicate, what, timeout=DEFAULT_TIMEOUT):
    """Polls predicate until it returns something truthy; returns that."""
    deadline = time.monotonic() + timeout
    while True:
        result = predicate()
        if result:
            return result
        if time.monotonic() >= deadline:
            raise UiError(f"timed out after {timeout:g} s waiting for {what}")
        time.sleep(POLL_INTERVAL)


def _safe(call, default=None):
    # Nodes can vanish between two calls while the program rebuilds a view.
    try:
        return call()
    except Exception:
        return default


def children(node):
    count = _safe(lambda: node.childCount, 0)
    for i in range(count):
        child = _safe(lambda: node.getChildAtIndex(i))
        if child is not None:
            yield child


def walk(node):
    yield node
    for child in children(node):
        yield from walk(child)


def role(node):
    return _safe(node.getRoleName, "")


def name(node):
    return _safe(lambda: node.name, "")


def has_state(node, state):
    return _safe(lambda: node.getState().contains(state), False)


def is_checked(node):
    return has_state(node, pyatspi.STATE_CHECKED)


def is_showing(node):
    return has_state(node, pyatspi.STATE_SHOWING)


def actions(node):
    action = _safe(node.queryAction)
    if action is None:
        return []
    return [action.getName(i) for i in range(action.nActions)]


def do_action(node, *names):
    """Runs the first action of node whose name is one of names (any case)."""
    wanted = [n.lower() for n in names]
    available = actions(node)
    for n in wanted:
        for i, a in enumerate(available):
            if a.lower() == n:
                node.queryAction().doAction(i)
                return
    raise UiError(f"{describe(node)} has none of the actions {list(names)}; "
                  f"it offers {available}")


def click(node):
    """Clicks a button, toggles a check box, selects a tab."""
    do_action(node, *CLICK_ACTIONS)


def get_text(node):
    return node.queryText().getText(0, -1)


def set_text(node, text):
    """Replaces the whole text of an editable field."""
    if not node.queryEditableText().setTextContents(text):
        raise UiError(f"{describe(node)} refused the text {text!r}")
    wait_until(lambda: get_text(node) == text, f"{describe(node)} to hold {text!r}", 5)


def get_value(node):
    return node.queryValue().currentValue


def set_value(node, value):
    """Sets a spin box or slider through its Value interface."""
    node.queryValue().currentValue = value
    wait_until(lambda: get_value(node) == value, f"{describe(node)} to show {value}", 5)


def extents(node):
    """(x, y, width, height) of node on the screen."""
    e = node.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    return (e.x, e.y, e.width, e.height)


def screen_size():
    """(width, height) of the screen run_with_desktop.sh made."""
    width, height = os.environ["DESKTOP_SCREEN"].split("x")[:2]
    return int(width), int(height)


def on_screen(node):
    """True when the whole of node is showing inside the screen."""
    x, y, width, height = extents(node)
    screen_width, screen_height = screen_size()
    return (is_showing(node) and width > 0 and height > 0 and x >= 0 and y >= 0
            and x + width <= screen_width and y + height <= screen_height)


def press(*keys):
    """Types keys (X key names: "Tab", "space", "shift+Tab") into the window
    that has the keyboard, through the X server as a keyboard would."""
    subprocess.run(["xdotool", "key", "--delay", "20", *keys], check=True, timeout=10)


def describe(node):
    states = _safe(lambda: node.getState().getStates(), [])
    flags = [pyatspi.stateToString(s) for s in states
             if s in (pyatspi.STATE_CHECKED, pyatspi.STATE_SHOWING,
                      pyatspi.STATE_FOCUSED, pyatspi.STATE_EDITABLE)]
    if states and pyatspi.STATE_SENSITIVE not in states:
        flags.append("disabled")
    text = ""
    if "Text" in _safe(node.get_interfaces, []):
        text = " text=" + repr(_safe(lambda: get_text(node), "?"))
    return f"[{role(node)}] {name(node)!r}{text} {flags}"


def dump(node, out=None, depth=0, limit=3000):
    """Prints the tree under node, one line per node; returns lines printed."""
    out = out or sys.stderr
    printed = 0
    if limit <= 0:
        return 0
    print("  " * depth + describe(node), file=out)
    printed += 1
    for child in children(node):
        printed += dump(child, out, depth + 1, limit - printed)
    return printed


def _matches(node, want_role, want_name):
    roles = (want_role,) if isinstance(want_role, str) else want_role
    if want_role is not None and role(node) not in roles:
        return False
    return want_name is None or name(node) == want_name


class App:
    """A launched program and its node in the AT-SPI desktop."""

    def __init__(self, argv, env=None, cwd=None, timeout=DEFAULT_TIMEOUT):
        self.argv = list(argv)
        self.process = subprocess.Popen(self.argv, env=env, cwd=cwd,
                                        stdin=subprocess.DEVNULL)
        self.pid = self.process.pid
        self.node = None
        try:
            self.node = wait_until(self._find_application,
                                   f"{self.argv[0]} to join the accessibility bus", timeout)
        except BaseException:
            self.close()
            raise

    def _check_running(self):
        code = self.process.poll()
        if code is not None:
            raise UiError(f"{self.argv[0]} exited early with code {code}")

    def _find_application(self):
        self._check_running()
        desktop = pyatspi.Registry.getDesktop(0)
        for app in children(desktop):
            if _safe(app.get_process_id) == self.pid:
                return app
        return None

    def find_all(self, want_role=None, want_name=None):
        return [n for n in walk(self.node) if _matches(n, want_role, want_name)]

    def find(self, want_role, want_name, timeout=DEFAULT_TIMEOUT):
        """Waits for the first node with that role (or any of several) and
        accessible name."""
        def look():
            self._check_running()
            found = self.find_all(want_role, want_name)
            return found[0] if found else None
        return wait_until(look, f"{want_role} {want_name!r}", timeout)

    def window(self, title, timeout=DEFAULT_TIMEOUT):
        return self.find(WINDOW_ROLES, title, timeout)

    def give_keyboard(self):
        """Gives the program's window the keyboard, as a window manager does
        when the user clicks it (Xvfb runs none)."""
        found = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(self.pid)],
                               capture_output=True, text=True, timeout=10).stdout.split()
        if not found:
            raise UiError(f"{self.argv[0]} shows no window to type into")
        subprocess.run(["xdotool", "windowfocus", "--sync", found[-1]], check=True, timeout=10)

    def focused(self):
        """The node that has the keyboard focus, or None. Qt leaves the
        focused state on the current page tab, so another node wins."""
        found = [n for n in walk(self.node) if has_state(n, pyatspi.STATE_FOCUSED)
                 and role(n) not in WINDOW_ROLES + ("page tab list",)]
        others = [n for n in found if role(n) != "page tab"]
        return (others or found or [None])[-1]

    def tab_to(self, want_role, want_name, limit=60):
        """Presses Tab until that node has the focus; returns the nodes
        passed on the way, as (role, name)."""
        def key(node):
            return None if node is None else (role(node), name(node))

        def moved():
            node = self.focused()
            return node if key(node) not in (None, last) else None

        passed = []
        last = key(self.focused())
        for _ in range(limit):
            press("Tab")
            # The focus moves in the program's own time.
            node = wait_until(moved, f"the focus to leave {last} on Tab", 5)
            last = key(node)
            passed.append(last)
            if _matches(node, want_role, want_name):
                return passed
        raise UiError(f"{limit} presses of Tab never reached {want_role} {want_name!r}; "
                      f"they went through {passed}")

    def wait_exit(self, timeout=DEFAULT_TIMEOUT):
        """Waits for the program to end; returns its exit code."""
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            raise UiError(f"{self.argv[0]} still running after {timeout:g} s") from None

    def dump(self, out=None):
        out = out or sys.stderr
        if self.node is None:
            print(f"(no accessibility tree for {self.argv[0]})", file=out)
        else:
            print(f"--- accessibility tree of {self.argv[0]} (pid {self.pid}) ---", file=out)
            dump(self.node, out)
            print("--- end of tree ---", file=out)

    def close(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        if exc_type is not None and self.process.poll() is None:
            self.dump()
        self.close()
        return False


def launch(argv, env=None, cwd=None, timeout=DEFAULT_TIMEOUT):
    """Starts argv and waits for it to show up on the accessibility bus.
    env is added to this process's environment."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    return App(argv, full_env, cwd, timeout)
