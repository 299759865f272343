# SPDX-License-Identifier: GPL-3.0-or-later
"""The window as a screen reader meets it, through the real AT-SPI bus.

Started inside a D-Bus session of its own on a virtual X display (see
bus-check.sh), it does what a desktop with a screen reader does before any
program starts: it brings up the accessibility bus, turns on its two
switches (org.a11y.Status IsEnabled and ScreenReaderEnabled) and listens to
the bus as a screen reader does. Then it starts the tool, from a folder where
the fake programmer stands as avrdude, with nothing in its environment that
asks for accessibility, again and again: every start must show the window
on the bus within the time given, none is retried. On the last start it
checks, as an assistive technology sees them: every control's name, that
every control taking input can take the focus, that the console stays read
only, and that an upload's verdict in the label arrives as an event.

    bus_check.py <Kiverlo executable> <fake programmer> <x11|wayland> <starts> <seconds per start>

The session kind says where the tool finds the accessibility bus. On an X11
session the bus launcher also writes the bus's address on the X root window
(AT_SPI_BUS), where a program may read it at once; on a Wayland session it
writes none, and a program (through XWayland) learns the address only by
asking the launcher on the session bus. bus-check.sh sets the session up; this
script checks that the root window is as the session kind says before the
first start.

Exit codes: 0 passed, 1 failed.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time

from gi.repository import Gio, GLib

# Imported once the bus is up and its switches are on: the first use of the
# bindings connects to the accessibility bus.
pyatspi = None

VERIFIED = b"avrdude: 8 bytes of flash verified\n\navrdude done.  Thank you.\n"
# What in the tool's environment would turn its accessibility on however the
# bus's switches stand, or choose its platform: none of it is set, as none is
# on a desktop. (QT_QPA_PLATFORM is set to xcb below, what Qt chooses by
# itself on an X display; the tests' own environment asks for offscreen.)
UNSET_FOR_THE_TOOL = ("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "QT_ACCESSIBILITY", "QT_QPA_PLATFORM", "WAYLAND_DISPLAY",
                      "AT_SPI_BUS_ADDRESS")


def pump(seconds, until=lambda: False):
    """Runs the main loop, which delivers the bus's events, until `until`
    holds or the time is up; returns whether it held."""
    deadline = time.monotonic() + seconds
    context = GLib.MainContext.default()
    while time.monotonic() < deadline:
        while context.pending():
            context.iteration(False)
        if until():
            return True
        time.sleep(0.02)
    return until()


def descendants(node, depth=0):
    """Every accessible below `node`, with its depth; a stale child (one that
    went away while walking) is skipped."""
    for index in range(node.childCount):
        try:
            child = node.getChildAtIndex(index)
        except Exception:  # noqa: BLE001 - the bus reports any failure
            continue
        if child is None:
            continue
        yield child, depth + 1
        yield from descendants(child, depth + 1)


def find_app(pid):
    desktop = pyatspi.Registry.getDesktop(0)
    for index in range(desktop.childCount):
        try:
            app = desktop.getChildAtIndex(index)
            if app is not None and app.get_process_id() == pid and app.childCount > 0:
                return app
        except Exception:  # noqa: BLE001
            continue
    return None


def by_role(root, role, name=None):
    for node, _ in descendants(root):
        try:
            if node.getRole() == role and (name is None or node.name == name):
                return node
        except Exception:  # noqa: BLE001
            continue
    return None


def states(node):
    return node.getState().getStates()


def press(node):
    """Presses a control through its action interface, as a screen reader's
    "activate" does."""
    action = node.queryAction()
    for index in range(action.nActions):
        if action.getName(index) in ("Press", "press", "Toggle", "toggle", "click"):
            action.doAction(index)
            return
    raise AssertionError(f"{node.name!r} offers no press action")


class Check:
    def __init__(self):
        self.failures = []

    def expect(self, condition, message):
        print(("ok   " if condition else "FAIL ") + message, flush=True)
        if not condition:
            self.failures.append(message)
        return condition


def dump(root):
    for node, depth in descendants(root):
        try:
            print("  " * depth + f"[{node.getRoleName()}] {node.name!r} {node.description!r}")
        except Exception:  # noqa: BLE001
            pass


def bring_up_the_bus():
    """What a desktop with a screen reader has done before any program
    starts: the accessibility bus is up and both switches are on. Returns the
    bus's address."""
    session = Gio.bus_get_sync(Gio.BusType.SESSION, None)

    def call(interface, method, arguments, reply_type):
        return session.call_sync("org.a11y.Bus", "/org/a11y/bus", interface, method, arguments,
                                 GLib.VariantType(reply_type), Gio.DBusCallFlags.NONE, 10000, None).unpack()

    (address,) = call("org.a11y.Bus", "GetAddress", None, "(s)")
    for switch in ("IsEnabled", "ScreenReaderEnabled"):
        call("org.freedesktop.DBus.Properties", "Set",
             GLib.Variant("(ssv)", ("org.a11y.Status", switch, GLib.Variant("b", True))), "()")
        (value,) = call("org.freedesktop.DBus.Properties", "Get", GLib.Variant("(ss)", ("org.a11y.Status", switch)),
                        "(v)")
        if value is not True:
            raise AssertionError(f"org.a11y.Status {switch} did not turn on")
    return address


def root_window_address():
    """The accessibility bus's address on the X root window, if any."""
    shown = subprocess.run(["xprop", "-root", "-notype", "AT_SPI_BUS"], capture_output=True, text=True, check=False)
    line = shown.stdout.strip()
    if shown.returncode != 0 or "=" not in line:
        return None
    return line.split("=", 1)[1].strip().strip('"')


class Tool:
    """The tool in a folder of its own, beside the fake programmer (which
    prints a verified write after a moment), a HEX file remembered as the
    last one, and settings apart from the user's own."""

    def __init__(self, executable, fake_programmer):
        self.folder = tempfile.mkdtemp(prefix="kiverlo-bus-")
        shutil.copy2(executable, os.path.join(self.folder, "Kiverlo"))
        shutil.copy2(fake_programmer, os.path.join(self.folder, "avrdude"))
        with open(os.path.join(self.folder, "fake-avrdude.script"), "w", encoding="ascii") as script:
            script.write("sleep " + b"300".hex() + "\n")
            script.write("print " + VERIFIED.hex() + "\n")
        hex_file = os.path.join(self.folder, "blink.hex")
        with open(hex_file, "w", encoding="ascii") as image:
            image.write(":00000001FF\n")
        config = os.path.join(self.folder, "config")
        os.makedirs(os.path.join(config, "Trunoma"))
        with open(os.path.join(config, "Trunoma", "Kiverlo.conf"), "w", encoding="utf-8") as store:
            store.write(f"[General]\nfilename={hex_file}\ncommPort=/dev/ttyFAKE0\n")
        self.env = {name: value for name, value in os.environ.items() if name not in UNSET_FOR_THE_TOOL}
        self.env.update(QT_QPA_PLATFORM="xcb", XDG_CONFIG_HOME=config)
        self.process = None

    def start(self):
        self.process = subprocess.Popen([os.path.join(self.folder, "Kiverlo")], cwd=self.folder, env=self.env)
        return self.process.pid

    def stop(self):
        if self.process is None:
            return
        self.process.terminate()
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.process = None

    def remove(self):
        self.stop()
        shutil.rmtree(self.folder, ignore_errors=True)


def check_window(app, events):
    """The checks a screen reader's user relies on, on a window on the bus."""
    check = Check()
    frame = by_role(app, pyatspi.ROLE_FRAME)
    check.expect(frame is not None and frame.name == "Kiverlo", "the window is a frame named 'Kiverlo'")
    ports = by_role(app, pyatspi.ROLE_COMBO_BOX)
    button = by_role(app, pyatspi.ROLE_PUSH_BUTTON, "Upload...")
    show_console = by_role(app, pyatspi.ROLE_CHECK_BOX)
    label = by_role(app, pyatspi.ROLE_LABEL)
    check.expect(ports is not None and ports.name == "Serial port", "the port list is named 'Serial port'")
    check.expect(show_console is not None and show_console.name == "Show Console",
                 "the check box is named 'Show Console'")
    check.expect(label is not None and label.name.startswith("1) Select Comm Port"),
                 "the label reads the instructions")
    if check.failures:
        dump(app)
        return False

    # The console is hidden until the box is ticked; ticked, it is on the
    # screen and reachable.
    press(show_console)

    def console_shown():
        node = by_role(app, pyatspi.ROLE_TEXT)
        return node is not None and pyatspi.STATE_SHOWING in states(node)

    check.expect(pump(5, console_shown), "ticking 'Show Console' shows the console")
    console = by_role(app, pyatspi.ROLE_TEXT)
    check.expect(console is not None and console.name == "Console", "the console is named 'Console'")
    check.expect(console is not None and console.description != "", "the console has a description")
    check.expect(console is not None and pyatspi.STATE_EDITABLE not in states(console), "the console is read only")
    for node, what in ((ports, "port list"), (button, "upload button"), (show_console, "check box"),
                       (console, "console")):
        check.expect(node is not None and pyatspi.STATE_FOCUSABLE in states(node), f"the {what} is focusable")
    if check.failures:
        dump(app)
        return False

    # An upload, started through the button's action as a screen reader
    # starts it; the file dialog, which offers the remembered file in its
    # name field, is answered through its "Open" button's action. (Keys
    # typed through the X server would depend on which window the server
    # gives the keyboard, with no window manager here; the keyboard's own
    # way through the dialog is checked by tst_keyboard.)
    del events[:]
    press(button)

    def dialog():
        return by_role(app, pyatspi.ROLE_DIALOG, "Select .hex file")

    check.expect(pump(10, lambda: dialog() is not None), "the file dialog appears on the bus")
    open_button = by_role(dialog(), pyatspi.ROLE_PUSH_BUTTON, "Open") if dialog() is not None else None
    check.expect(open_button is not None, "the dialog has an 'Open' button")
    if open_button is not None:
        # The button is enabled once the dialog has taken in the file.
        check.expect(pump(10, lambda: pyatspi.STATE_ENABLED in states(open_button)),
                     "the dialog's 'Open' button becomes enabled")
        press(open_button)

    def verdict_event():
        return any(source == label and name == "Completed!" for _, source, name in events)

    if not check.expect(pump(15, verdict_event), "the verdict 'Completed!' arrives as an event from the label"):
        print(f"     the label reads {label.name!r}; the dialog is {'still' if dialog() else 'no longer'} open;"
              f" {len(events)} events", flush=True)
    for kind, source, name in events:
        if source == label:
            print(f"     {kind} from the label: {name!r}", flush=True)
    check.expect(label.name == "Completed!", "the label's name is now 'Completed!'")
    # Nothing borrows its name from the label.
    check.expect(ports.name == "Serial port", "the port list is still named 'Serial port'")
    return not check.failures


def main():
    global pyatspi  # noqa: PLW0603 - the bindings, once the bus is up
    executable, fake_programmer, session_kind = sys.argv[1], sys.argv[2], sys.argv[3]
    starts, per_start = int(sys.argv[4]), float(sys.argv[5])

    address = bring_up_the_bus()
    print(f"the accessibility bus is up, IsEnabled and ScreenReaderEnabled on ({session_kind} session)", flush=True)
    on_root = root_window_address()
    if session_kind == "x11" and on_root != address:
        print(f"FAIL the X root window should carry the bus's address as AT_SPI_BUS, as on an X11 session;"
              f" it carries {on_root!r}", flush=True)
        return 1
    if session_kind == "wayland" and on_root is not None:
        print(f"FAIL the X root window should carry no AT_SPI_BUS, as on a Wayland session; it carries {on_root!r}",
              flush=True)
        return 1

    import pyatspi as bindings  # noqa: PLC0415

    pyatspi = bindings
    # A screen reader listens to these; the tool's bridge sends events only
    # of the kinds someone listens to.
    events = []

    def on_event(event):
        try:
            events.append((event.type, event.source, event.source.name))
        except Exception:  # noqa: BLE001
            pass

    pyatspi.Registry.registerEventListener(on_event, "object:property-change:accessible-name", "object:announcement")

    tool = Tool(executable, fake_programmer)
    try:
        missed = []
        passed = True
        for start in range(1, starts + 1):
            pid = tool.start()
            began = time.monotonic()
            app = None

            def on_bus():
                nonlocal app
                app = find_app(pid)
                return app is not None and by_role(app, pyatspi.ROLE_PUSH_BUTTON, "Upload...") is not None

            if pump(per_start, on_bus):
                print(f"ok   start {start} of {starts}: on the bus after {time.monotonic() - began:.1f} s", flush=True)
                if start == starts:
                    passed = check_window(app, events)
            else:
                print(f"FAIL start {start} of {starts}: not on the bus within {per_start:.0f} s", flush=True)
                missed.append(start)
            tool.stop()
        print(f"{starts - len(missed)} of {starts} starts showed the window on the bus within {per_start:.0f} s",
              flush=True)
        return 0 if passed and not missed else 1
    finally:
        tool.remove()


if __name__ == "__main__":
    sys.exit(main())
