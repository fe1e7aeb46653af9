#!/usr/bin/env python3
"""End-to-end scenarios of the water demo in a real window.

    water_e2e.py --demo BINARY [--preload LIB]... --fault-library LIB SCENARIO

Each run drives the real program on the current X display (the registration
wraps it in a private Xvfb) with xdotool, and judges its exit status, its
output and screenshots of its window. Every wait is a bounded poll for a
condition; a passing run never waits for the bound.
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
FPS = re.compile(re.escape(TITLE) + r" @ (\d+\.\d\d) fps")
PAUSED = re.compile(re.escape(TITLE) + r" \(paused\) @ \d+\.\d\d fps")
HELP_HEAD = f"\n{TITLE}\n{'=' * 34}\n\n   q, ESC : Quit\n"  # the unit tests hold the whole text
WAIT = 30  # generous: sanitized on a busy machine, rings take a few dozen frames to spread
STEP = 2  # screenshots are judged on every other pixel both ways: waves are many pixels wide
STILL, MOVED = 3, 8  # 8-bit rounding of still water; how far a disturbed pixel strays


class Failure(Exception):
    pass


def expect(condition, message):
    if not condition:
        raise Failure(message)


def poll(condition, what, interval=0.05):
    """The first true result of condition(); what may be a function giving the text."""
    deadline = time.monotonic() + WAIT
    while not (result := condition()):
        expect(time.monotonic() < deadline, f"timed out waiting for {what() if callable(what) else what}")
        time.sleep(interval)
    return result


def run(*command, check=True):
    done = subprocess.run(command, capture_output=True, timeout=WAIT)
    expect(done.returncode == 0 or not check, f"{command} failed: {done.stderr.decode(errors='replace')}")
    return done.stdout.decode(errors="replace") if done.returncode == 0 else None


def unit(v):
    return [c / math.sqrt(sum(c * c for c in v)) for c in v]


LIGHT = unit([0.2, 1.0, 0.5])
HIGHLIGHT = unit([LIGHT[0], LIGHT[1] + 1.0, LIGHT[2]])[1] ** 32  # the same on every flat texel


def still_water(size, cache={}):
    """8-bit grey of each sampled pixel of still water: the normal points up,
    only the direction to the light varies; the surface position is taken one
    texel below (t - 1/512)."""
    if size not in cache:
        w, h = size
        grey = lambda u, v: round(255 * min(1.0, 0.4 * unit([LIGHT[0] - u, LIGHT[1], LIGHT[2] - v])[1] + HIGHLIGHT))
        cache[size] = {(x, y): grey((x + 0.5) / w - 0.5, 0.5 - (y + 0.5) / h - 1 / 512)
                       for y in range(0, h, STEP) for x in range(0, w, STEP)}
    return cache[size]


class Picture:
    """The window's grey (red channel) at every STEP-th pixel, y from the top."""

    def __init__(self, window):
        data = subprocess.run(["import", "-window", window, "-depth", "8", "ppm:-"], capture_output=True).stdout
        header = re.match(rb"P6\s+(\d+)\s+(\d+)\s+255\s", data)
        expect(header, "import did not return an 8-bit PPM")
        self.size = w, h = int(header[1]), int(header[2])
        self.grey = {(x, y): data[header.end() + 3 * (y * w + x)] for y in range(0, h, STEP) for x in range(0, w, STEP)}
        still = still_water(self.size)
        self.deviation = max(abs(grey - still[p]) for p, grey in self.grey.items())
        self.moved = [p for p, grey in self.grey.items() if abs(grey - still[p]) > MOVED]

    def near(self, point, radius):
        return [p for p in self.moved if math.dist(p, point) <= radius]


class Demo:
    """The demo as a process: wrapper is a command that runs it (a tracer), and
    an environment value of None removes the variable."""

    def __init__(self, options, environment=None, preload=(), arguments=(), wrapper=()):
        self.files = tempfile.TemporaryFile(), tempfile.TemporaryFile()
        env = {name: value for name, value in {**os.environ, **(environment or {})}.items() if value is not None}
        if options.preload or preload:
            env["LD_PRELOAD"] = " ".join(options.preload + list(preload))
        self.process = subprocess.Popen([*wrapper, options.demo, *arguments], stdout=self.files[0],
                                        stderr=self.files[1], env=env)

    def output(self, stream=0):
        self.files[stream].seek(0)
        return self.files[stream].read().decode(errors="replace")

    def running(self):
        expect(self.process.poll() is None, f"the demo ended unexpectedly with status {self.process.poll()}")
        return True

    def exits(self, status, what):
        try:
            self.process.wait(WAIT)
        except subprocess.TimeoutExpired:
            raise Failure(f"the demo was still running {WAIT} s after {what}")
        expect(self.process.returncode == status, f"{what}: status {self.process.returncode}, expected {status}")

    def start(self, corner=True):
        """Waits for the window, puts it at the screen's corner (GLUT leaves it
        hanging off the edge without a window manager), gives it the keyboard
        focus and waits for the frame-rate title. Returns the window's size."""
        self.window = poll(lambda: self.running() and run("xdotool", "search", "--name", "^" + TITLE, check=False),
                           "the demo window").split()[0]
        self.titles = [None]
        if corner:
            run("xdotool", "windowmove", self.window, "0", "0")
            poll(lambda: self.geometry()[:2] == (0, 0), "the window at the screen's corner")
        # Without a window manager nobody focuses the window; focusing fails until it is mapped.
        poll(lambda: self.running() and run("xdotool", "windowfocus", self.window, check=False) is not None and
             run("xdotool", "getwindowfocus").strip() == self.window, "the keyboard focus")
        self.wait_for_title(FPS)
        return self.geometry()[2:]

    def geometry(self):
        found = re.search(r"Position: (-?\d+),(-?\d+).*\n.*Geometry: (\d+)x(\d+)",
                          run("xdotool", "getwindowgeometry", self.window))
        return tuple(int(value) for value in found.groups())

    def title(self):
        """The window title now, noted in self.titles when it changed."""
        self.running()
        title = run("xdotool", "getwindowname", self.window).rstrip("\n")
        if title != self.titles[-1]:
            self.titles.append(title)
        return title

    def picture(self):
        self.running()
        return Picture(self.window)

    def wait_for_title(self, pattern):
        poll(lambda: pattern.fullmatch(self.title()), lambda: f"a title like {pattern.pattern} (seen {self.titles})")

    def wait_for_refreshes(self, count, check=lambda: None):
        """Waits for count title changes, calling check meanwhile: the frame
        loop runs on, count - 1 seconds of frames went by. Returns the titles."""
        first = len(self.titles)
        poll(lambda: check() or self.title() and len(self.titles) - first >= count, f"{count} title refreshes", 0.1)
        return self.titles[first:]

    # Input goes through the XTEST extension, like a real keyboard and mouse.
    def key(self, name, check=None):
        """Presses a key, or with check holds it longer than the keyboard takes
        to start repeating it, calling check meanwhile."""
        if check is None:
            return run("xdotool", "key", name)
        run("xdotool", "keydown", name)
        try:
            deadline = time.monotonic() + 1.5
            while time.monotonic() < deadline and self.running():
                check()
                time.sleep(0.05)
        finally:
            run("xdotool", "keyup", name)

    def xdotool(self, *actions):
        run("xdotool", *[str(a) for a in actions])

    def close_window(self):
        """A WM_PROTOCOLS message carrying WM_DELETE_WINDOW, as a window manager sends."""
        def send(x11, display):
            # An XClientMessageEvent in an XEvent's room: on a 64-bit little-endian
            # client each field up to the first data word takes one long.
            atom = lambda name: x11.XInternAtom(display, name, 0)
            event = (ctypes.c_long * 24)(33, 0, 0, 0, int(self.window), atom(b"WM_PROTOCOLS"), 32,
                                         atom(b"WM_DELETE_WINDOW"))
            x11.XSendEvent(display, ctypes.c_ulong(int(self.window)), 0, ctypes.c_long(0), event)
        xlib(send)


def xlib(call):
    """call(x11, display) on a connection of its own to the X server."""
    x11 = ctypes.CDLL(ctypes.util.find_library("X11"))
    x11.XOpenDisplay.restype = x11.XInternAtom.restype = ctypes.c_void_p
    display = ctypes.c_void_p(x11.XOpenDisplay(None))
    try:
        return call(x11, display)
    finally:
        x11.XCloseDisplay(display)


def hold_drop(demo, x, y):
    """Holds the left button at (x, y) until a drop shows under the pointer."""
    demo.xdotool("mousemove", x, y, "mousedown", 1)
    try:
        poll(lambda: demo.picture().near((x, y), 12), f"a drop under the pointer at ({x}, {y})")
    finally:
        demo.xdotool("mouseup", 1)


# Each scenario gets launch(environment=None, preload=(), arguments=(),
# wrapper=()), which starts the demo, and ends every demo it starts.

def scenario_session(launch, _options):
    """Title and help, still water, a drop and the pause, keys held down that
    act once however often the keyboard repeats them (F1 prints the help once,
    p pauses once), a key released outside the window acting at its next
    press, and q quitting."""
    demo = launch()
    width, height = demo.start()
    expect(all(re.fullmatch(re.escape(TITLE) + r"( @ \d+\.\d\d fps)?", t) for t in demo.titles[1:]),
           f"titles {demo.titles[1:]}")
    help_text = demo.output()
    expect(help_text.startswith(HELP_HEAD) and help_text.count(TITLE) == 1, f"start-up output {help_text!r}")
    picture = demo.picture()
    expect(picture.deviation <= STILL, f"no input: the picture is off still water by {picture.deviation}")
    poll(lambda: float(FPS.fullmatch(demo.title())[1]) > 0, "a frame rate above zero")

    hold_drop(demo, width * 3 // 10, height // 4)  # off-centre, so that a mirrored axis shows
    demo.key("F1", check=lambda: None)
    paused = []
    demo.key("p", check=lambda: paused.append(bool(PAUSED.fullmatch(demo.title()))))
    demo.wait_for_title(PAUSED)
    expect(True not in paused or all(paused[paused.index(True):]), "a held p resumed the water")
    # Keys are handled in order: the paused title means F1's repeats are done.
    expect(demo.output() == help_text * 2, f"a held F1 printed {demo.output().count(TITLE) - 1} help texts")
    still = demo.picture().grey
    titles = demo.wait_for_refreshes(2)
    expect(all(PAUSED.fullmatch(t) for t in titles), f"titles while paused: {titles}")
    expect(demo.picture().grey == still, "the water moved while paused")
    demo.key("p")
    demo.wait_for_title(FPS)

    # With the keyboard following the pointer, p goes down in the window and
    # comes up after the pointer has left it: its next press there must act.
    xlib(lambda x11, display: (x11.XSetInputFocus(display, ctypes.c_ulong(1), 1, ctypes.c_ulong(0)),
                               x11.XSync(display, 0)))  # PointerRoot, as some window managers set it
    demo.xdotool("mousemove", 400, 300, "keydown", "p")
    demo.wait_for_title(PAUSED)
    demo.xdotool("mousemove", 900, 700, "keyup", "p", "mousemove", 400, 300, "key", "p")
    demo.wait_for_title(FPS)
    demo.key("q")
    demo.exits(0, "q")


def scenario_window(launch, _options):
    """A window resized beyond what the GL can draw into (Mesa's software
    driver crashed at 32767x32767) is brought back and draws on; a smaller one
    stretches the picture and maps the pointer onto its size. Q quits with
    the left button held in a drag out of the window. Wheel events, buttons 3
    and 4 to GLUT, must touch no flag: the sanitized demo sees any write beside
    them."""
    demo = launch()
    demo.start()
    demo.xdotool("click", "--repeat", 2, 4, "click", "--repeat", 2, 5)
    demo.xdotool("windowsize", demo.window, 32767, 32767)
    poll(lambda: demo.running() and 800 < max(demo.geometry()[2:]) < 32767,
         lambda: f"the window brought back from 32767x32767 (now {demo.geometry()[2:]})")
    demo.xdotool("windowsize", demo.window, 640, 320)
    poll(lambda: demo.picture().size == (640, 320) and demo.picture().deviation <= STILL,
         "still water stretched over a 640x320 window")
    demo.xdotool("mousemove", 320, 160, "mousedown", 1)
    try:
        poll(lambda: demo.picture().near((320, 160), 12), "a drop under the pointer")
        demo.xdotool("mousemove", 680, 360)
        demo.key("Q")
        demo.exits(0, "Q")
    finally:
        demo.xdotool("mouseup", 1)
    expect(demo.output().count(TITLE) == 1, f"output {demo.output()!r}")


def scenario_refusals(launch, options):
    """--help and --version answer with status 0; an unknown option or a
    missing value is refused with the usage on standard error and status 2;
    without a display to open the demo says so in one line. A driver short of
    what the framework needs gives its reason, then the demo's own line, and
    status 255 before the loop (no help text); a GL without a version also has
    InitFramework refused on standard error, naming the ways to a context.
    GLUT's own options reach GLUT, an empty -display naming DISPLAY's; closing
    the window as a window manager does ends the demo with status 0 after the
    scene's teardown, GL objects deleted after the last frame (traced with
    apitrace where nothing is preloaded)."""
    usage = r"Usage: \S+ \[option\]\.\.\.\n(.*\n)*"
    no_display = r"\S+: [^\n]*DISPLAY[^\n]*scripts/demo\.sh[^\n]*\n"
    weak = lambda environment, reason, stderr="": (environment, [options.fault_library], [], 255,
                                                   reason + r"\nZentor failed to initalize\.\n", stderr)
    cases = (
        ({}, [], ["--help"], 0, usage, ""),
        ({}, [], ["--version"], 0, re.escape(TITLE) + r" \d+\.\d+\.\d+\n", ""),
        ({}, [], ["-sync", "--bogus"], 2, "", r"\S+: unknown option '--bogus'\n" + usage),
        ({}, [], ["-geometry"], 2, "", r"\S+: option '-geometry' needs a value\n" + usage),
        ({"DISPLAY": None}, [], [], 1, "", no_display),
        ({}, [], ["-display", ":9999"], 1, "", no_display),
        weak({"ZENTOR_FAULT_HIDE_EXTENSIONS": "GL_ARB_shader_objects"}, r"ARB_shader_objects not supported!"),
        weak({"ZENTOR_FAULT_NO_VERSION": "1"}, r"Error initializing GLEW \S.*",
             r"InitFramework: the GL gives no version[^\n]*HeadlessContext[^\n]*\n"),
    )
    for environment, preload, arguments, status, stdout, stderr in cases:
        demo = launch(environment, preload, arguments)
        what = " ".join(arguments) or str(environment)
        demo.exits(status, what)
        expect(re.fullmatch(stdout, demo.output()), f"{what}: standard output {demo.output()!r}")
        expect(re.fullmatch(stderr, demo.output(1)), f"{what}: standard error {demo.output(1)!r}")
    traced = not options.preload  # the sanitizer's runtime must load before any tracer
    with tempfile.TemporaryDirectory() as directory:
        tracer = ["apitrace", "trace", "--api", "gl", "--output", os.path.join(directory, "glut.trace")]
        demo = launch(arguments=["-geometry", "640x320+10+20", "-display", "", "-direct", "-sync", "-gldebug",
                                 "-iconic"], wrapper=tracer if traced else [])
        demo.start(corner=False)
        expect(demo.geometry() == (10, 20, 640, 320), f"-geometry 640x320+10+20 gave {demo.geometry()}")
        demo.wait_for_refreshes(1)
        expect("GL error" not in demo.output(1), f"-gldebug reported {demo.output(1)!r}")
        demo.close_window()
        demo.exits(0, "closing the window")
        if traced:
            names = re.findall(r"^\d+ (\w+)\(", run("apitrace", "dump", "--color=never", tracer[-1]), re.M)
            after = names[max(i for i, name in enumerate(names) if name == "glXSwapBuffers") + 1:]
            expect(any("Delete" in name for name in after), f"closing deleted nothing: {Counter(after)}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--demo", required=True)
    parser.add_argument("--preload", action="append", default=[], help="preloaded into the demo, in this order")
    parser.add_argument("--fault-library", required=True, help="the GL driver-fault library")
    parser.add_argument("scenario", choices=["session", "window", "refusals"])
    options = parser.parse_args()
    demos, failures = [], []
    try:
        globals()["scenario_" + options.scenario](lambda *a, **k: demos.append(Demo(options, *a, **k)) or demos[-1],
                                                   options)
    except Failure as failure:
        failures.append(str(failure))
    for demo in demos:
        if demo.process.poll() is None:
            demo.process.kill()
            demo.process.wait()
        elif demo.process.returncode < 0:  # a crash comes first: it explains whatever else went wrong
            failures.insert(0, f"the demo died of signal {-demo.process.returncode}")
        if re.search(r"ERROR: (Address|Leak)Sanitizer|runtime error:|SUMMARY: \w+Sanitizer", demo.output(1)):
            failures.insert(0, "the demo's standard error holds a sanitizer report")
    for demo in demos if failures else []:
        print(f"--- demo status {demo.process.returncode}, standard output:\n{demo.output()}\n"
              f"--- standard error:\n{demo.output(1)}", file=sys.stderr)
    print(f"FAILED {options.scenario}: {'; then '.join(failures)}" if failures else f"passed {options.scenario}",
          file=sys.stderr if failures else sys.stdout)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
