#!/usr/bin/env python3
"""End-to-end tests of the water demo in a real window.

Each invocation runs one case against one demo binary on the current X display
(the test registration wraps it in a private Xvfb): it starts the demo, drives
it with xdotool and judges it by its exit status, its standard output and
screenshots of the window.

    water_e2e.py --demo BINARY [--preload LIB]... [--fault-library LIB] CASE

Every wait is a bounded poll for a condition; the bounds are generous because a
passing case never waits for them.
"""

import argparse
from collections import Counter
import ctypes
import ctypes.util
import math
import os
import re
import subprocess
import sys
import tempfile
import time

TITLE = "Zentor Water Surface Demo"
TITLE_PATTERN = re.compile(r"Zentor Water Surface Demo( @ \d+\.\d\d fps)?")
FPS_TITLE_PATTERN = re.compile(r"Zentor Water Surface Demo @ (\d+\.\d\d) fps")
PAUSED_TITLE_PATTERN = re.compile(r"Zentor Water Surface Demo \(paused\) @ \d+\.\d\d fps")
# The original six lines, word for word, then the inputs they leave out.
HELP_TEXT = ("\n" + TITLE + "\n" + "=" * 34 + "\n\n"
             "   q, ESC : Quit\n"
             "   F1     : print this help text\n"
             "   Q      : Quit\n"
             "   space  : random drops on / off\n"
             "   p      : pause / resume the water\n"
             "   left mouse button  : drops under the pointer (hold, drag)\n"
             "   right mouse button : flat water again\n")
INIT_FAILED = "Zentor failed to initalize."

# How far a screenshot may stray from the flat-water picture (rounding of the
# 8-bit window), and how far a pixel must stray to count as disturbed water.
FLAT_TOLERANCE = 3
CHANGE_THRESHOLD = 8
# Screenshots are judged on every other pixel in both directions: waves are
# many pixels wide, and it keeps a poll cheap.
SAMPLE_STEP = 2

# Bound of every wait. A passing run stays far below it, even sanitized on a
# busy machine: the slowest wait, rings spreading over 20 pixels, takes a few
# dozen frames.
WAIT = 30

SANITIZER_REPORT = re.compile(r"ERROR: (Address|Leak)Sanitizer|runtime error:|SUMMARY: \w+Sanitizer")


class Failure(Exception):
    pass


def poll(condition, timeout, what, interval=0.05):
    """Returns the first true result of condition(), or fails after timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        result = condition()
        if result:
            return result
        if time.monotonic() > deadline:
            raise Failure(f"timed out after {timeout} s waiting for {what}")
        time.sleep(interval)


def run(*command, timeout=20):
    try:
        done = subprocess.run(command, capture_output=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        raise Failure(f"{' '.join(command)} did not finish within {timeout} s")
    if done.returncode != 0:
        raise Failure(f"{' '.join(command)} failed ({done.returncode}): {done.stderr.decode(errors='replace')}")
    return done.stdout.decode(errors="replace")


def attempt(*command):
    """The output of a command that may fail for now, or None."""
    done = subprocess.run(command, capture_output=True, timeout=20)
    return done.stdout.decode(errors="replace").strip() if done.returncode == 0 else None


def xdotool(*arguments):
    return run("xdotool", *arguments)


# --- the flat-water picture ------------------------------------------------

def _normalized(vector):
    length = math.sqrt(sum(c * c for c in vector))
    return [c / length for c in vector]


LIGHT = _normalized([0.2, 1.0, 0.5])
HIGHLIGHT = _normalized([LIGHT[0], LIGHT[1] + 1.0, LIGHT[2]])[1] ** 32  # the same on every flat texel


def flat_grey(s, t):
    """Grey level (0..1) of still water at texture coordinate (s, t): the
    normal points straight up, so only the direction to the light varies.
    The surface position is taken one texel below (t - 1/512)."""
    u, v = s - 0.5, t - 1.0 / 512 - 0.5
    to_light = _normalized([LIGHT[0] - u, LIGHT[1], LIGHT[2] - v])
    return min(1.0, 0.4 * max(0.0, to_light[1]) + HIGHLIGHT)


def flat_level(x, y, width, height):
    """8-bit grey of window pixel (x, y), y from the top, for still water."""
    return round(255 * flat_grey((x + 0.5) / width, 1.0 - (y + 0.5) / height))


_flat_cache = {}


def flat_picture(width, height):
    """The still-water grey of every sampled pixel: {y: bytes over x}."""
    key = (width, height)
    if key not in _flat_cache:
        xs = range(0, width, SAMPLE_STEP)
        _flat_cache[key] = {y: bytes(flat_level(x, y, width, height) for x in xs)
                            for y in range(0, height, SAMPLE_STEP)}
    return _flat_cache[key]


# --- the window --------------------------------------------------------------

class Picture:
    """The visible part of the window's client area as grey levels (the red
    channel), sampled every SAMPLE_STEP pixels. Without a window manager the
    window may hang off the screen's edge (GLUT places it at -1, -1): the
    hidden columns and rows are left out."""

    def __init__(self, width, height, rows, skip):
        self.width, self.height = width, height
        self.rows = rows  # {window y: bytes}; index i is window x (skip + i) * SAMPLE_STEP
        self.skip = skip

    def at(self, x, y):
        """Grey of window pixel (x, y), both multiples of SAMPLE_STEP."""
        return self.rows[y][x // SAMPLE_STEP - self.skip]

    def _rows_with_flat(self):
        flat = flat_picture(self.width, self.height)
        for y, row in self.rows.items():
            yield y, row, flat[y][self.skip:]

    def max_deviation(self):
        return max(max(abs(a - b) for a, b in zip(row, flat)) for _, row, flat in self._rows_with_flat())

    def is_flat(self):
        return self.max_deviation() <= FLAT_TOLERANCE

    def changed(self, near=None, radius=None):
        """Sampled pixels that differ from still water, optionally only those
        within radius of the point near."""
        points = []
        for y, row, flat in self._rows_with_flat():
            if near and abs(y - near[1]) > radius:
                continue
            for index, (a, b) in enumerate(zip(row, flat)):
                if abs(a - b) > CHANGE_THRESHOLD:
                    x = (self.skip + index) * SAMPLE_STEP
                    if near is None or math.hypot(x - near[0], y - near[1]) <= radius:
                        points.append((x, y))
        return points


class Window:
    def __init__(self, window_id):
        self.id = window_id

    def name(self):
        return run("xdotool", "getwindowname", self.id).rstrip("\n")

    def geometry(self):
        """(left, top, width, height) of the client area on the screen."""
        info = run("xwininfo", "-id", self.id)
        field = lambda label: int(re.search(rf"{label}:\s+(-?\d+)", info).group(1))
        return (field("Absolute upper-left X"), field("Absolute upper-left Y"),
                field("Width"), field("Height"))

    def size(self):
        return self.geometry()[2:]

    def picture(self):
        """Photographs the screen and cuts out the window."""
        left, top, width, height = self.geometry()
        shot = subprocess.run(["import", "-window", "root", "-depth", "8", "ppm:-"],
                              capture_output=True, timeout=20)
        if shot.returncode != 0:
            raise Failure(f"import failed: {shot.stderr.decode(errors='replace')}")
        screen_width, screen_height, pixels = parse_ppm(shot.stdout)
        skip = -(min(0, left) // SAMPLE_STEP)  # sampled columns left of the screen
        x_first = skip * SAMPLE_STEP
        x_end = min(width, screen_width - left)
        rows = {}
        for y in range(0, height, SAMPLE_STEP):
            screen_y = top + y
            if 0 <= screen_y < screen_height and x_first < x_end:
                start = (screen_y * screen_width + left + x_first) * 3
                end = (screen_y * screen_width + left + x_end) * 3
                rows[y] = pixels[start:end:3 * SAMPLE_STEP]
        if not rows:
            raise Failure("the window is not on the screen")
        return Picture(width, height, rows, skip)

    def to_screen(self, x, y):
        left, top, _, _ = self.geometry()
        return left + x, top + y


def parse_ppm(data):
    """(width, height, RGB bytes) of a binary PPM with 8-bit samples."""
    match = re.match(rb"P6\s+(?:#[^\n]*\n\s*)*(\d+)\s+(\d+)\s+(\d+)\s", data)
    if not match or int(match.group(3)) != 255:
        raise Failure("import did not return an 8-bit PPM")
    return int(match.group(1)), int(match.group(2)), data[match.end():]


# --- the process -------------------------------------------------------------

class Demo:
    """The demo as a process; wrapper is a command that runs it (a tracer), and
    an environment value of None removes the variable."""

    def __init__(self, binary, preload=(), environment=None, arguments=(), wrapper=()):
        self.stdout_file = tempfile.TemporaryFile()
        self.stderr_file = tempfile.TemporaryFile()
        env = dict(os.environ)
        env.update(environment or {})
        env = {name: value for name, value in env.items() if value is not None}
        if preload:
            env["LD_PRELOAD"] = " ".join(preload)
        self.process = subprocess.Popen([*wrapper, binary, *arguments],
                                        stdout=self.stdout_file, stderr=self.stderr_file, env=env)
        self.window = None
        self.killed = False

    def stdout(self):
        self.stdout_file.seek(0)
        return self.stdout_file.read().decode(errors="replace")

    def stderr(self):
        self.stderr_file.seek(0)
        return self.stderr_file.read().decode(errors="replace")

    def check_running(self):
        status = self.process.poll()
        if status is not None:
            raise Failure(f"the demo ended unexpectedly with status {status}")

    def wait_for_exit(self, timeout=WAIT):
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Failure(f"the demo was still running {timeout} s later")

    def stop(self):
        if self.process.poll() is None:
            self.killed = True
            self.process.kill()
            self.process.wait()

    def died(self):
        """The signal that ended the demo, unless the test killed it."""
        status = self.process.poll()
        return -status if status is not None and status < 0 and not self.killed else None

    def find_window(self, timeout=WAIT):
        def search():
            self.check_running()
            found = (attempt("xdotool", "search", "--name", "^" + TITLE) or "").split()
            return found[0] if found else None
        self.window = Window(poll(search, timeout, "the demo window"))
        # Keys go to the focused window. Without a window manager nobody
        # focuses it, and xdotool's own way of aiming keys at a window is
        # unreliable on Xvfb's pointer-root focus. Focusing fails until the
        # window is mapped.
        def focused():
            self.check_running()
            attempt("xdotool", "windowfocus", self.window.id)
            return attempt("xdotool", "getwindowfocus") == self.window.id
        poll(focused, timeout, "the keyboard focus on the demo window")
        return self.window

    def wait_for_frames(self, timeout=WAIT):
        """Waits until the frame loop has set the frame-rate title; returns the
        titles seen on the way."""
        seen = []

        def fps_title():
            self.check_running()
            name = self.window.name()
            if not seen or seen[-1] != name:
                seen.append(name)
            return FPS_TITLE_PATTERN.fullmatch(name)
        poll(fps_title, timeout, "the frame-rate title", interval=0.02)
        return seen

    def wait_for_title_refreshes(self, count, timeout=WAIT, on_each=None):
        """Waits until the title has changed count times: the frame loop is
        still running, at least count - 1 seconds of frames went by."""
        titles = [self.window.name()]

        def refreshed():
            self.check_running()
            if on_each:
                on_each()
            name = self.window.name()
            if name != titles[-1]:
                titles.append(name)
            return len(titles) > count
        poll(refreshed, timeout, f"{count} refreshes of the frame-rate title (seen {titles})", interval=0.1)
        return titles

    def wait_for_title(self, pattern):
        poll(lambda: self.check_running() or pattern.fullmatch(self.window.name()), WAIT,
             f"a window title matching {pattern.pattern!r}")

    def start(self):
        self.find_window()
        self.wait_for_frames()
        return self.window

    # Input goes through the XTEST extension, like a real keyboard and mouse.
    def key(self, name):
        xdotool("key", name)

    def move_to(self, x, y):
        xdotool("mousemove", *map(str, self.window.to_screen(x, y)))

    def press(self, button):
        xdotool("mousedown", str(button))

    def release(self, button):
        xdotool("mouseup", str(button))

    def click(self, button, repeat=1):
        xdotool("click", "--repeat", str(repeat), "--delay", "20", str(button))

    def hold_key(self, name, seconds=1.5, on_each=lambda: None):
        """Holds a key down for longer than the keyboard takes to start
        repeating it, calling on_each meanwhile."""
        xdotool("keydown", name)
        try:
            deadline = time.monotonic() + seconds
            while time.monotonic() < deadline:
                self.check_running()
                on_each()
                time.sleep(0.05)
        finally:
            xdotool("keyup", name)

    def close_window(self):
        """Asks the window to close as a window manager does: a WM_PROTOCOLS
        message carrying WM_DELETE_WINDOW."""
        close_as_window_manager(int(self.window.id))


class _ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]


class _XEvent(ctypes.Union):
    _fields_ = [("xclient", _ClientMessage), ("pad", ctypes.c_long * 24)]


def close_as_window_manager(window):
    x11 = ctypes.CDLL(ctypes.util.find_library("X11"))
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XInternAtom.restype = ctypes.c_ulong
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
    x11.XFlush.argtypes = x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    display = x11.XOpenDisplay(None)
    if not display:
        raise Failure("cannot open the display to close the window")
    event = _XEvent()
    event.xclient.type = 33  # ClientMessage
    event.xclient.window = window
    event.xclient.message_type = x11.XInternAtom(display, b"WM_PROTOCOLS", 0)
    event.xclient.format = 32
    event.xclient.data[0] = x11.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
    x11.XSendEvent(display, window, 0, 0, ctypes.byref(event))
    x11.XFlush(display)
    x11.XCloseDisplay(display)


# --- checks ------------------------------------------------------------------

def expect(condition, message):
    if not condition:
        raise Failure(message)


def expect_flat(picture, what):
    deviation = picture.max_deviation()
    expect(deviation <= FLAT_TOLERANCE,
           f"{what}: the picture is not still water (a pixel is off by {deviation}/255)")


def expect_documented_corners(picture):
    """Still water is a grey gradient: about 0.615 at the lower left, 0.725 in
    the centre and 0.748 at the upper right, whatever the window size."""
    w, h = picture.width, picture.height
    even = lambda v: v - v % SAMPLE_STEP
    for x, y, level, where in ((4, even(h - 5), 157, "lower left"),
                               (even(w // 2), even(h // 2), 185, "centre"),
                               (even(w - 5), 4, 191, "upper right")):
        value = picture.at(x, y)
        expect(abs(value - level) <= FLAT_TOLERANCE,
               f"{w}x{h} window, {where} ({x}, {y}): grey {value}/255, expected about {level}/255")


def hold_drop(demo, x, y):
    """Holds the left button at (x, y) until a drop shows under the pointer."""
    demo.move_to(x, y)
    demo.press(1)
    try:
        poll(lambda: demo.check_running() or demo.window.picture().changed((x, y), 12),
             WAIT, f"a drop under the pointer at ({x}, {y})")
    finally:
        demo.release(1)


def drop_rings_at(demo, x, y):
    """Drops at (x, y), lets the rings spread and checks that they are centred
    on the pointer."""
    hold_drop(demo, x, y)
    expect_rings(demo, x, y)


def expect_rings(demo, x, y):
    def spread():
        demo.check_running()
        changed = demo.window.picture().changed()
        reach = max(math.hypot(px - x, py - y) for px, py in changed)
        return changed if reach >= 20 else None
    changed = poll(spread, WAIT, f"rings spreading around ({x}, {y})")
    cx = sum(p[0] for p in changed) / len(changed)
    cy = sum(p[1] for p in changed) / len(changed)
    print(f"rings from a drop at ({x}, {y}) centred at ({cx:.1f}, {cy:.1f})")
    expect(math.hypot(cx - x, cy - y) <= 5,
           f"rings from a drop at ({x}, {y}) are centred at ({cx:.1f}, {cy:.1f})")


def reset_to_flat(demo):
    demo.click(3)
    poll(lambda: demo.check_running() or demo.window.picture().is_flat(), WAIT,
         "still water after a right click")


# --- cases -------------------------------------------------------------------
# Each case gets launch(environment=None, preload=(), arguments=(), wrapper=()),
# which starts the demo.
# A demo still running after its case is quit with "q" and must end with
# status 0, so every case also checks the teardown.

def case_title_and_help(launch, _options):
    """The window opens with the demo's title, the frame-rate title follows,
    and the help text is printed at start-up and again on F1."""
    demo = launch()
    window = demo.find_window()
    for title in demo.wait_for_frames():
        expect(TITLE_PATTERN.fullmatch(title), f"unexpected window title {title!r}")
    expect(demo.stdout() == HELP_TEXT, f"start-up output {demo.stdout()!r}, expected {HELP_TEXT!r}")

    demo.key("F1")
    poll(lambda: demo.check_running() or demo.stdout() != HELP_TEXT, WAIT, "output after F1")
    poll(lambda: demo.stdout() == HELP_TEXT * 2, 5, f"the help text a second time, got {demo.stdout()!r}")

    # The first frame shows 0.00 fps; the next refresh a measured rate.
    poll(lambda: float(FPS_TITLE_PATTERN.fullmatch(window.name()).group(1)) > 0, WAIT,
         "a frame rate above zero in the title")


def case_flat_water(launch, _options):
    """Without input the picture is the still-water gradient."""
    picture = launch().start().picture()
    expect_documented_corners(picture)
    expect_flat(picture, "no input")


def case_click_rings(launch, _options):
    """A left click makes rings centred under the pointer; a right click makes
    the water still again. The pointer is off-centre so that a mirrored axis
    shows."""
    demo = launch()
    width, height = demo.start().size()
    drop_rings_at(demo, width * 3 // 10, height // 4)
    reset_to_flat(demo)


def case_drag_trail(launch, _options):
    """Dragging with the left button leaves drops all along the path."""
    demo = launch()
    window = demo.start()
    width, height = window.size()
    y = height * 6 // 10
    path = [(width * (2 + i) // 10, y) for i in range(7)]
    demo.move_to(*path[0])
    demo.press(1)
    try:
        for point in path:
            demo.move_to(*point)
            poll(lambda: demo.check_running() or window.picture().changed(point, 10), WAIT,
                 f"a drop under the pointer dragged to {point}")
    finally:
        demo.release(1)
    picture = window.picture()
    for point in path:
        expect(picture.changed(point, 20), f"no trace of the drag left at {point}")
    changed = picture.changed()
    cy = sum(p[1] for p in changed) / len(changed)
    expect(abs(cy - y) <= 8, f"the trail along y = {y} is centred at y = {cy:.1f}")
    far = [p for p in changed if abs(p[1] - y) > height // 3]
    expect(not far, f"waves far from the path right after the drag, e.g. at {far[:3]}")


def case_mouse_wheel(launch, _options):
    """Wheel events neither drop, nor reset, nor crash."""
    demo = launch()
    window = demo.start()
    width, height = window.size()
    drop_at = (width // 4, height // 4)
    drop_rings_at(demo, *drop_at)
    wheel_at = (width * 3 // 4, height * 3 // 4)
    demo.move_to(*wheel_at)
    demo.click(4, repeat=3)
    demo.click(5, repeat=3)

    def undisturbed():
        picture = window.picture()
        expect(picture.changed(drop_at, width // 4), "the waves vanished after wheel events")
        expect(not picture.changed(wheel_at, 30), f"the water moved under the wheel at {wheel_at}")
    demo.wait_for_title_refreshes(2, on_each=undisturbed)


def case_random_drops(launch, _options):
    """Space switches random drops on, and off again."""
    demo = launch()
    window = demo.start()
    expect_flat(window.picture(), "before space")
    demo.key("space")
    poll(lambda: demo.check_running() or not window.picture().is_flat(), WAIT,
         "random drops after space")
    demo.key("space")
    reset_to_flat(demo)
    # Drops fall every fifth frame while on; a second of frames stays still.
    demo.wait_for_title_refreshes(
        2, on_each=lambda: expect_flat(window.picture(), "random drops switched off"))


def case_resize(launch, _options):
    """A window made larger than the GL can draw into (Mesa's software driver
    crashed at 32767x32767) is brought back within that size and keeps
    drawing. A resized window keeps running and stretches the picture; the
    pointer maps onto the new size."""
    demo = launch()
    window = demo.start()
    xdotool("windowsize", window.id, "32767", "32767")
    poll(lambda: demo.check_running() or 800 < max(window.size()) < 32767, WAIT,
         f"the window brought back from 32767x32767 (now {window.size()})")
    demo.wait_for_title_refreshes(1)
    xdotool("windowsize", window.id, "640", "320")
    poll(lambda: demo.check_running() or window.size() == (640, 320), WAIT, "the window at 640x320")
    poll(lambda: window.picture().is_flat(), WAIT, "still water stretched over the 640x320 window")
    expect_documented_corners(window.picture())
    demo.wait_for_title_refreshes(2)
    drop_rings_at(demo, 640 * 7 // 10, 320 * 3 // 4)


def case_pause(launch, _options):
    """p stops the water and leaves the picture and the frame rate running;
    the right button still resets, and a drop made while paused shows at once
    and spreads when p resumes the same water."""
    demo = launch()
    window = demo.start()
    width, height = window.size()
    hold_drop(demo, width // 4, height // 4)
    demo.key("p")
    demo.wait_for_title(PAUSED_TITLE_PATTERN)
    still = window.picture()
    titles = demo.wait_for_title_refreshes(2)
    expect(all(PAUSED_TITLE_PATTERN.fullmatch(title) for title in titles), f"titles while paused: {titles}")
    expect(window.picture().rows == still.rows, "the water moved while paused")

    reset_to_flat(demo)
    drop_at = (width * 6 // 10, height * 6 // 10)
    hold_drop(demo, *drop_at)
    dropped = window.picture()
    far = [p for p in dropped.changed() if math.hypot(p[0] - drop_at[0], p[1] - drop_at[1]) > 8]
    expect(not far, f"a drop at {drop_at} while paused changed the water far from it, e.g. at {far[:3]}")
    demo.wait_for_title_refreshes(1)
    expect(window.picture().rows == dropped.rows, "a drop spread while paused")
    demo.key("p")
    demo.wait_for_title(FPS_TITLE_PATTERN)
    expect_rings(demo, *drop_at)


def case_held_keys(launch, _options):
    """A key held down acts once, however often the keyboard repeats it: F1
    prints the help once, p pauses once, space switches random drops on once."""
    demo = launch()
    window = demo.start()
    demo.hold_key("F1")

    paused_seen = []

    def stays_paused():
        paused = PAUSED_TITLE_PATTERN.fullmatch(window.name())
        expect(paused or not paused_seen, "a held p resumed the water")
        if paused:
            paused_seen.append(True)
    demo.hold_key("p", on_each=stays_paused)
    demo.wait_for_title(PAUSED_TITLE_PATTERN)
    # Keys are handled in order: the paused title means F1's repeats are done.
    expect(demo.stdout() == HELP_TEXT * 2, f"a held F1 printed {demo.stdout().count(TITLE) - 1} help texts")

    # Paused, random drops wait, so the water stays flat after a reset until
    # p resumes it.
    demo.key("p")
    demo.wait_for_title(FPS_TITLE_PATTERN)
    demo.hold_key("space")
    demo.key("p")
    demo.wait_for_title(PAUSED_TITLE_PATTERN)
    reset_to_flat(demo)
    demo.key("p")
    poll(lambda: demo.check_running() or not window.picture().is_flat(), WAIT,
         "random drops after space was held")


def case_window_close(launch, options):
    """Closing the window as a window manager does ends the demo with status 0
    after the teardown of q: the same GL calls follow the last frame. Without
    anything preloaded the two are traced with apitrace and compared; the
    sanitized demo, whose runtime must load before any tracer, shows leaks in
    its own report instead."""
    traced = not options.preload
    with tempfile.TemporaryDirectory() as directory:
        calls = {}
        for how in ("q", "close"):
            trace = os.path.join(directory, how + ".trace")
            wrapper = ["apitrace", "trace", "--api", "gl", "--output", trace] if traced else []
            demo = launch(wrapper=wrapper)
            demo.start()
            if how == "q":
                demo.key("q")
            else:
                demo.close_window()
            status = demo.wait_for_exit()
            expect(status == 0, f"{how} ended the demo with status {status}, expected 0")
            expect(demo.stdout() == HELP_TEXT, f"output {demo.stdout()!r}")
            if traced:
                calls[how] = calls_after_last_frame(trace)
        if traced:
            print(f"GL calls after the last frame: {dict(Counter(calls['q']))}")
            expect(any("Delete" in name for name in calls["q"]), f"q deleted nothing: {calls['q']}")
            expect(calls["close"] == calls["q"], "after the last frame, closing made "
                   f"{dict(Counter(calls['close']))}, q made {dict(Counter(calls['q']))}")


def calls_after_last_frame(trace):
    """Names of the GL calls (GLX left out) after the last buffer swap."""
    dump = run("apitrace", "dump", "--color=never", trace, timeout=120)
    names = re.findall(r"^\d+ (\w+)\(", dump, re.MULTILINE)
    swaps = [i for i, name in enumerate(names) if name == "glXSwapBuffers"]
    expect(swaps, "no buffer swap in the trace")
    return [name for name in names[swaps[-1] + 1:] if not name.startswith("glX")]


def case_drag_out_of_window(launch, _options):
    """A drag that leaves the window: drops beyond the window change nothing,
    the right button still resets, and q quits with status 0 while the left
    button is still held."""
    demo = launch()
    window = demo.start()
    width, height = window.size()
    demo.move_to(width // 2, height // 2)
    demo.press(1)
    try:
        poll(lambda: demo.check_running() or window.picture().changed((width // 2, height // 2), 12),
             WAIT, "a drop under the pointer")
        demo.move_to(width + 40, height + 40)
        reset_to_flat(demo)
        demo.wait_for_title_refreshes(2, on_each=lambda: expect_flat(window.picture(), "pointer beyond the window"))
        demo.key("q")
        status = demo.wait_for_exit()
    finally:
        demo.release(1)
    expect(status == 0, f"q ended the demo with status {status}, expected 0")


def case_command_line(launch, _options):
    """--help and --version answer with status 0; an unknown option or a
    missing value is refused with the usage on standard error and status 2;
    without a display to open the demo says so in one line; GLUT's own options
    still reach GLUT."""
    usage = r"Usage: \S+ \[option\]\.\.\.\n(.*\n)*"
    refused = lambda reason: r"\S+: " + reason + r"\n" + usage
    no_display = r"\S+: [^\n]*DISPLAY[^\n]*scripts/demo\.sh[^\n]*\n"
    cases = (
        (["--help"], {}, 0, usage, ""),
        (["--version"], {}, 0, TITLE + r" \d+\.\d+\.\d+\n", ""),
        (["-sync", "--bogus"], {}, 2, "", refused("unknown option '--bogus'")),
        (["-geometry"], {}, 2, "", refused("option '-geometry' needs a value")),
        ([], {"DISPLAY": None}, 1, "", no_display),
        (["-display", ":9999"], {}, 1, "", no_display),
    )
    for arguments, environment, expected_status, stdout, stderr in cases:
        demo = launch(environment, arguments=arguments)
        status = demo.wait_for_exit()
        what = f"{' '.join(arguments) or 'no DISPLAY'}"
        expect(status == expected_status, f"{what}: status {status}, expected {expected_status}")
        expect(re.fullmatch(stdout, demo.stdout()), f"{what}: standard output {demo.stdout()!r}")
        expect(re.fullmatch(stderr, demo.stderr()), f"{what}: standard error {demo.stderr()!r}")

    demo = launch(arguments=["-geometry", "640x320+10+20", "-direct", "-sync", "-gldebug", "-iconic"])
    window = demo.start()
    expect(window.geometry() == (10, 20, 640, 320), f"-geometry 640x320+10+20 gave {window.geometry()}")
    demo.wait_for_title_refreshes(1)
    expect("GL error" not in demo.stderr(), f"-gldebug reported {demo.stderr()!r}")


def quit_case(key, hold_button=False):
    def case(launch, _options):
        demo = launch()
        demo.start()
        if hold_button:
            demo.move_to(100, 100)
            demo.press(1)
        demo.key(key)
        status = demo.wait_for_exit()
        expect(status == 0, f"{key} ended the demo with status {status}, expected 0")
        expect(demo.stdout() == HELP_TEXT, f"output {demo.stdout()!r}")
    case.__doc__ = f"{key} ends the demo with status 0."
    return case


def startup_failure_case(environment, first_line, fault_library=True):
    """The reason, then the demo's own line, and status 255 before the loop
    (so no help text)."""
    def case(launch, options):
        if fault_library and not options.fault_library:
            raise Failure("this case needs --fault-library")
        demo = launch(environment, [options.fault_library] if fault_library else [])
        status = demo.wait_for_exit()
        # Mesa reports extensions it will not switch off on a line of its own.
        lines = [line for line in demo.stdout().split("\n") if not line.startswith("Warning: extension ")]
        expect(re.fullmatch(first_line, lines[0]) and lines[1:] == [INIT_FAILED, ""],
               f"output {demo.stdout()!r}, expected a line matching {first_line!r}, then {INIT_FAILED!r}")
        expect(status == 255, f"exit status {status}, expected 255")
    return case


CASES = {
    "title_and_help": case_title_and_help,
    "flat_water": case_flat_water,
    "click_rings": case_click_rings,
    "drag_trail": case_drag_trail,
    "mouse_wheel": case_mouse_wheel,
    "random_drops": case_random_drops,
    "resize": case_resize,
    "pause": case_pause,
    "held_keys": case_held_keys,
    "window_close": case_window_close,
    "drag_out_of_window": case_drag_out_of_window,
    "command_line": case_command_line,
    "quit_q": quit_case("q"),
    "quit_shift_q": quit_case("Q"),
    "quit_escape_button_held": quit_case("Escape", hold_button=True),
    # Mesa drops all of its optional extensions at once on this override.
    "no_fbo_mesa": startup_failure_case({"MESA_EXTENSION_OVERRIDE": "-GL_EXT_framebuffer_object"},
                                        re.escape("GL_EXT_framebuffer_object not supported."),
                                        fault_library=False),
    "no_fbo": startup_failure_case({"ZENTOR_FAULT_HIDE_EXTENSIONS": "GL_EXT_framebuffer_object"},
                                   re.escape("GL_EXT_framebuffer_object not supported.")),
    "no_shader_objects": startup_failure_case({"ZENTOR_FAULT_HIDE_EXTENSIONS": "GL_ARB_shader_objects"},
                                              re.escape("ARB_shader_objects not supported!")),
    "no_shading_language": startup_failure_case(
        {"ZENTOR_FAULT_HIDE_EXTENSIONS": "GL_ARB_shading_language_100"},
        re.escape("ARB_shading_language_100 not supported!")),
    "no_gl_version": startup_failure_case({"ZENTOR_FAULT_NO_VERSION": "1"}, r"Error initializing GLEW \S.*"),
}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--demo", required=True)
    parser.add_argument("--preload", action="append", default=[],
                        help="library preloaded into the demo, in this order (repeatable)")
    parser.add_argument("--fault-library", help="the GL driver-fault library, for the start-up failure cases")
    parser.add_argument("case", choices=sorted(CASES))
    options = parser.parse_args()

    demos = []

    def launch(environment=None, preload=(), arguments=(), wrapper=()):
        demo = Demo(options.demo, options.preload + list(preload), environment, arguments, wrapper)
        demos.append(demo)
        return demo

    failure = None
    try:
        CASES[options.case](launch, options)
        for demo in demos:
            if demo.process.poll() is None:
                demo.key("q")
                status = demo.wait_for_exit()
                expect(status == 0, f"q ended the demo with status {status}, expected 0")
    except Failure as caught:
        failure = str(caught)
    finally:
        for demo in demos:
            demo.stop()
    # A crash or a sanitizer report comes first: it explains whatever else
    # went wrong.
    for demo in demos:
        cause = None
        if SANITIZER_REPORT.search(demo.stderr()):
            cause = "the demo's standard error holds a sanitizer report"
        elif demo.died():
            cause = f"the demo died of signal {demo.died()}"
        if cause:
            failure = cause + (f"; then {failure}" if failure else "")
    if failure:
        print(f"FAILED {options.case}: {failure}", file=sys.stderr)
        for demo in demos:
            print(f"--- demo exit status: {demo.process.returncode}", file=sys.stderr)
            print(f"--- demo standard output:\n{demo.stdout()}", file=sys.stderr)
            print(f"--- demo standard error:\n{demo.stderr()}", file=sys.stderr)
        return 1
    print(f"passed {options.case}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
