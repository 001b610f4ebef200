"""End-to-end test of the configuration utility, driven like a person would.

Usage (inside run_with_desktop.sh):
    /usr/bin/python3 test_configurator_e2e.py BUILD_DIR [--keyboard]

Builds the demo environment, opens the configuration window, finds its tabs
and buttons inside the screen, adds the one store the demo left out and
saves; the configuration file on disk must then list all four stores and
keep the FTP settings. Then, with the database locked so that the store
list cannot load, the window is cancelled at once: the program must end
without waiting for the database.

With --keyboard the store is ticked and the window saved with Tab, Space
and nothing else, and the tab order must reach the stores before the
window's buttons.
"""
import os
import sqlite3
import subprocess
import sys
import tempfile

# Keep the source tree free of __pycache__.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from atspi_driver import (UiError, click, describe, is_checked, launch, on_screen,  # noqa: E402
                          press, screen_size, wait_until)

WINDOW_TITLE = "Brevolt Connector Configuration"
CONFIG_KEY = 0xC5
# (store, ticked by the demo setup)
STORES = [
    ("001.001 Flagship Store", True),
    ("001.002 Mall Store", True),
    ("002.001 Outlet Nord", True),
    ("002.005 Outlet München", False),
]
ADDED = "002.005 Outlet München"
# What must never be off the screen, whatever its size.
ALWAYS_VISIBLE = [("page tab", "Schedule"), ("page tab", "Settings"),
                  ("push button", "Check Service"), ("push button", "Save and Close"),
                  ("push button", "Cancel")]
LOCALE_ENV = {"LANG": "C.UTF-8", "LC_ALL": "C.UTF-8"}


def check(condition, message):
    if not condition:
        raise UiError(message)


def read_config(path):
    """The configuration file: key=value lines in Windows-1252, CR LF, every
    byte XORed with a fixed key."""
    with open(path, "rb") as f:
        data = bytes(b ^ CONFIG_KEY for b in f.read())
    text = data.decode("cp1252")
    check(text.endswith("\r\n") and text.count("\n") == text.count("\r\n"),
          f"{path} does not consist of CR LF terminated lines")
    return text.split("\r\n")[:-1]


def demo_setup(build_dir, folder):
    setup = os.path.join(build_dir, "tools", "BrevoltDemoSetup")
    result = subprocess.run(
        [setup, folder, "--ftp", "127.0.0.1:2121", "--user", "demoshop", "--password", "demo"],
        env={**os.environ, **LOCALE_ENV}, stdin=subprocess.DEVNULL,
        capture_output=True, text=True, timeout=60)
    check(result.returncode == 0,
          f"BrevoltDemoSetup failed ({result.returncode}):\n{result.stdout}{result.stderr}")
    printed = dict(line.split("=", 1) for line in result.stdout.splitlines() if "=" in line)
    check("registry" in printed and "service" in printed,
          f"BrevoltDemoSetup printed no registry=/service= lines:\n{result.stdout}")
    return printed["registry"], printed["service"]


def open_window(app):
    """Waits for the window and its store rows; checks the store ticks and
    that the tabs and buttons are on screen. Returns the store check boxes."""
    app.window(WINDOW_TITLE)
    # The store rows are filled in after the window shows.
    boxes = {store: app.find("check box", f"Include {store}") for store, _ in STORES}
    for store, _ in STORES:
        app.find("push button", f"Preview {store}")
    for store, ticked in STORES:
        check(is_checked(boxes[store]) == ticked,
              f"'{store}' should start {'ticked' if ticked else 'unticked'}")
    for want_role, want_name in ALWAYS_VISIBLE:
        node = app.find(want_role, want_name)
        check(on_screen(node), f"{describe(node)} is not inside the {screen_size()} screen")
    return boxes


def tick_and_save_with_the_mouse(app):
    boxes = open_window(app)
    added = boxes[ADDED]
    click(added)
    wait_until(lambda: is_checked(added), f"'{ADDED}' to be ticked", 5)
    click(app.find("push button", "Save and Close"))


def tick_and_save_with_the_keyboard(app):
    boxes = open_window(app)
    app.give_keyboard()
    passed = app.tab_to("check box", f"Include {ADDED}")
    buttons = [n for r, n in passed if (r, n) in ALWAYS_VISIBLE and r == "push button"]
    check(not buttons, f"Tab reached {buttons} before the stores: {passed}")
    press("space")
    wait_until(lambda: is_checked(boxes[ADDED]), f"Space to tick '{ADDED}'", 5)
    app.tab_to("push button", "Save and Close")
    press("space")


def run(build_dir, tmp, keyboard):
    registry, service = demo_setup(build_dir, os.path.join(tmp, "rpro9"))
    config = os.path.join(service, "Brevoltconnector.cfg")
    check(os.path.isfile(config), f"the demo setup wrote no {config}")

    configurator = os.path.join(build_dir, "configurator", "BrevoltRPro9Configurator")
    with launch([configurator], env={"BREVOLT_REGISTRY": registry, **LOCALE_ENV}) as app:
        if keyboard:
            tick_and_save_with_the_keyboard(app)
        else:
            tick_and_save_with_the_mouse(app)
        code = app.wait_exit(30)
        check(code == 0, f"the configurator exited with code {code}")

    lines = read_config(config)
    check("locations=001.001|001.002|002.001|002.005" in lines,
          "the saved locations are wrong: "
          + repr([line for line in lines if line.startswith("locations=")]))
    check("ftpusername=demoshop" in lines, "the FTP user name was lost on saving")
    if keyboard:
        return

    # Another writer holds the database: the store query waits out the
    # driver's busy time-out (5 s) unless the program leaves without it.
    database = sqlite3.connect(os.path.join(tmp, "rpro9", "rpro9.db"), isolation_level=None)
    try:
        database.execute("BEGIN EXCLUSIVE")
        with launch([configurator], env={"BREVOLT_REGISTRY": registry, **LOCALE_ENV}) as app:
            app.window(WINDOW_TITLE)
            click(app.find("push button", "Cancel"))
            code = app.wait_exit(3)
            check(code == 0, f"the configurator exited with code {code} while loading")
    finally:
        database.close()
    check(read_config(config) == lines, "cancelling changed the configuration file")


def main():
    keyboard = sys.argv[2:] == ["--keyboard"]
    if len(sys.argv) != 2 and not keyboard:
        print(f"usage: {sys.argv[0]} BUILD_DIR [--keyboard]", file=sys.stderr)
        return 2
    build_dir = os.path.abspath(sys.argv[1])
    with tempfile.TemporaryDirectory(prefix="configurator-e2e.") as tmp:
        try:
            run(build_dir, tmp, keyboard)
        except (UiError, subprocess.TimeoutExpired, OSError) as e:
            print(f"FAIL: {e}", file=sys.stderr)
            return 1
    if keyboard:
        print("PASS: the store was ticked and saved with the keyboard alone")
    else:
        print("PASS: the configurator saved the added store and left a slow load at once")
    return 0


if __name__ == "__main__":
    sys.exit(main())
