#!/usr/bin/python3
"""Start-up of vantrel-prefs: the window against the terminal view, same run.

For each round the host is started twice, alternately: in the terminal view
(on a pseudo-terminal) and in a window (on an X server of the bench's own,
with a session bus of its own, so that the accessibility bus is there as on
a desktop). The host writes start-up marks to the descriptor named in
VANTREL_PREFS_TIMING_FD (CLOCK_MONOTONIC, nanoseconds); the bench takes the
same clock just before it starts the process, so the figures include exec,
dynamic linking, loading the bundle, loading GTK and opening the display.

  first-frame  terminal: the first screen written; window: the first frame
               painted after the window was mapped
  ready        terminal: the same moment (its next step is reading keys);
               window: painted, holding the keyboard focus, and the main loop
               idle, so that the next event it handles is the user's

    bench/window_startup.py --host build-release/tools/vantrel-prefs/vantrel-prefs [--runs 20]
"""
import argparse
import os
import pty
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time


def marks(fd, until, timeout=30):
    got, buf = {}, b""
    end = time.monotonic() + timeout
    while until not in got:
        left = end - time.monotonic()
        if left <= 0:
            raise RuntimeError("no %r mark within %d s (got %r)" % (until, timeout, got))
        ready, _, _ = select.select([fd], [], [], left)
        if not ready:
            continue
        chunk = os.read(fd, 4096)
        if not chunk:
            raise RuntimeError("the host ended before %r (got %r)" % (until, got))
        buf += chunk
        while b"\n" in buf:
            line, buf = buf.split(b"\n", 1)
            name, ns = line.decode().split()
            got.setdefault(name, int(ns))
    return got


def terminal_once(host, env):
    r, w = os.pipe()
    os.set_inheritable(w, True)
    env = {**env, "VANTREL_PREFS_TIMING_FD": str(w), "TERM": "xterm"}
    env.pop("DISPLAY", None)
    t0 = time.monotonic_ns()
    pid, tty = pty.fork()
    if pid == 0:
        os.execve(host, [host, "--terminal"], env)
    os.close(w)
    try:
        m = marks(r, "ready")
    finally:
        os.write(tty, b"q")
        os.waitpid(pid, 0)
        os.close(tty)
        os.close(r)
    return {k: (v - t0) / 1e6 for k, v in m.items()}


def window_once(host, env):
    r, w = os.pipe()
    env = {**env, "VANTREL_PREFS_TIMING_FD": str(w)}
    t0 = time.monotonic_ns()
    err = tempfile.TemporaryFile()
    p = subprocess.Popen([host, "--gui"], env=env, pass_fds=(w,), stdin=subprocess.DEVNULL,
                         stdout=subprocess.DEVNULL, stderr=err)
    os.close(w)
    try:
        m = marks(r, "ready")
    except RuntimeError as e:
        err.seek(0)
        raise RuntimeError("%s\n%s" % (e, err.read().decode(errors="replace")))
    finally:
        p.send_signal(signal.SIGTERM)
        p.wait()
        os.close(r)
    return {k: (v - t0) / 1e6 for k, v in m.items()}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--host", required=True)
    ap.add_argument("--runs", type=int, default=20)
    ap.add_argument("--window-env", action="append", default=[],
                    help="KEY=VALUE for the window runs only (e.g. GSK_RENDERER=cairo)")
    a = ap.parse_args()
    host = os.path.abspath(a.host)

    scratch = tempfile.mkdtemp(prefix="vantrel-startup-")
    runtime = os.path.join(scratch, "runtime")
    os.mkdir(runtime, 0o700)
    rfd, wfd = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(wfd), "-screen", "0", "1600x1200x24",
                             "-nolisten", "tcp", "-noreset"], pass_fds=(wfd,),
                            stderr=subprocess.DEVNULL)
    os.close(wfd)
    # Read up to the line feed: Xvfb writes the number and the line feed
    # separately, and ends if the pipe is closed between the two.
    number = b""
    while not number.endswith(b"\n"):
        chunk = os.read(rfd, 64)
        if not chunk:
            sys.exit("Xvfb did not start")
        number += chunk
    display = ":" + number.decode().strip()
    os.close(rfd)
    # The number is written before the server answers: wait until it does.
    for _ in range(100):
        if subprocess.run(["xdotool", "getdisplaygeometry"], env={**os.environ, "DISPLAY": display},
                          capture_output=True).returncode == 0:
            break
        time.sleep(0.1)
    env = {k: v for k, v in os.environ.items() if k not in ("WAYLAND_DISPLAY", "DISPLAY")}
    env["XDG_RUNTIME_DIR"] = runtime
    env["XDG_CONFIG_HOME"] = scratch
    bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--nopidfile",
                            "--print-address=1"], stdout=subprocess.PIPE, env=env)
    env["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().decode().strip()
    wenv = {**env, "DISPLAY": display, **dict(kv.split("=", 1) for kv in a.window_env)}
    try:
        load_before = open("/proc/loadavg").read().split()[:3]
        # One of each first, not counted: the page cache and the accessibility
        # bus (started on first use) are warm in a desktop session too.
        terminal_once(host, env)
        window_once(host, wenv)
        term, win_frame, win_ready = [], [], []
        for _ in range(a.runs):
            term.append(terminal_once(host, env)["first-frame"])
            w = window_once(host, wenv)
            win_frame.append(w["first-frame"])
            win_ready.append(w["ready"])
        load_after = open("/proc/loadavg").read().split()[:3]
    finally:
        bus.terminate()
        xvfb.terminate()
        bus.wait()
        xvfb.wait()
        shutil.rmtree(scratch, ignore_errors=True)

    def row(name, xs):
        print("%-34s median %7.1f ms   min %7.1f   max %7.1f" %
              (name, statistics.median(xs), min(xs), max(xs)))
    print("runs: %d of each, alternating; window env: %s" % (a.runs, a.window_env or "default"))
    row("terminal view, first draw", term)
    row("window, first frame painted", win_frame)
    row("window, ready for input", win_ready)
    print("ratio window ready / terminal first draw (medians): %.2f" %
          (statistics.median(win_ready) / statistics.median(term)))
    print("load average before: %s   after: %s   (%d CPUs)" %
          (" ".join(load_before), " ".join(load_after), os.cpu_count()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
