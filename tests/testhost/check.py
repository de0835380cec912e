"""Runs the test host with the real plug-in and reads the plug-in's log (docs/autostart.md, "Reading
the log"): whether the plug-in starts the script through a real AppKit menu, whether the process
was trusted for Accessibility, and how long each attempt took.

    check.py HOST_EXECUTABLE BUNDLE WORK

WORK is made afresh: WORK/home is the host's HOME, with the support folder in it so that the
plug-in logs; the log, the host's output (host.out, host.err) and this report (summary.txt) stay
there for whoever reads a failure.
Exit status 0: the script started. 77 (skipped): no desktop session, or the process was not
trusted and nothing started, which says what to try next rather than that the plug-in is wrong.
1: anything else. The plug-in runs on its real ticks: the first press comes 10 s after the load.

By default the host is this script's child, so the system weighs the Accessibility standing of
the process responsible for this script (Terminal at a desk; the runner's agent in CI, which
the hosted images trust). Two settings from the environment:
  TESTHOST_LAUNCH=open     start the host through LaunchServices (open -W -n) instead, so that it
                           is its own responsible process and only a grant of its own counts: for
                           a Mac where the test host itself, not Terminal, holds the permission
  TESTHOST_NO_SKIP=1       a run that would be skipped fails, with the reason: in CI a skip would
                           let the one test that presses real menus vanish from a green run
"""

import os
import shutil
import signal
import statistics
import subprocess
import sys
import time

SKIPPED = 77
STARTED = "script started (manifest written)"
FINAL = (STARTED, "script already running", "gave up:")
# Far beyond the 10 s to the first press and a few seconds to confirm it; an attempt chain that
# finds nothing takes five minutes to give up, which the lines seen by then already explain.
DEADLINE = float(os.environ.get("TESTHOST_DEADLINE", "120"))


def latest_start(log_path):
    """The log's lines from its last constructor line on: those of this run."""
    try:
        with open(log_path, encoding="utf-8", errors="replace") as f:
            lines = f.read().splitlines()
    except FileNotFoundError:
        return []
    starts = [i for i, line in enumerate(lines) if " constructor in pid " in line]
    return lines[starts[-1]:] if starts else lines


def message(line):
    """The line without its HH:MM:SS time."""
    return line.split(" ", 1)[1] if " " in line else line


def turns(host_lines):
    """(start s after the load, busy ms) of each turn of the host's main run loop."""
    result = []
    for line in host_lines:
        if line.startswith("turn "):
            _, at, busy = line.split()
            result.append((float(at), float(busy)))
    return result


def host_pid(host_lines):
    """The host's process id, from its own report."""
    return next((int(line.split()[1]) for line in host_lines if line.startswith("pid ")), None)


def skip(report, work):
    """Skipped; or failed when the environment says that no skip is allowed here."""
    if os.environ.get("TESTHOST_NO_SKIP"):
        report.append("failed instead of skipped: TESTHOST_NO_SKIP is set, so this run must press real menus")
        return finish(report, work, 1)
    return finish(report, work, SKIPPED)


def finish(report, work, status):
    """Prints the report, keeps it as WORK/summary.txt, and gives the exit status."""
    text = "\n".join(report) + "\n"
    sys.stdout.write(text)
    with open(os.path.join(work, "summary.txt"), "w") as f:
        f.write(text)
    return status


def main(host, bundle, work):
    shutil.rmtree(work, ignore_errors=True)
    home = os.path.join(work, "home")
    support = os.path.join(home, "Library", "Application Support", "Tavrin")
    os.makedirs(support)
    log_path = os.path.join(support, "ofx-autostart.log")
    out_path, err_path = os.path.join(work, "host.out"), os.path.join(work, "host.err")

    began = time.monotonic()
    seen = []  # (s after the host's launch, log line), as this script first saw each
    through_open = os.environ.get("TESTHOST_LAUNCH") == "open"
    with open(out_path, "w") as out, open(err_path, "w") as err:
        if through_open:
            app = os.path.dirname(os.path.dirname(os.path.dirname(host)))
            proc = subprocess.Popen(["open", "-W", "-n", "--stdout", out_path, "--stderr", err_path, app,
                                     "--args", bundle, home], stdin=subprocess.DEVNULL)
        else:
            proc = subprocess.Popen([host, bundle, home], stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                    env=dict(os.environ, HOME=home))
    try:
        while time.monotonic() - began < DEADLINE and proc.poll() is None:
            lines = latest_start(log_path)
            for line in lines[len(seen):]:
                seen.append((time.monotonic() - began, line))
            if any(message(line).startswith(FINAL) for _, line in seen):
                break
            time.sleep(0.1)
    finally:
        status = proc.poll()
        if status is None:
            # Through open, the host is not this script's child: it is stopped by the id it reported.
            with open(out_path) as f:
                pid = host_pid(f.read().splitlines()) if through_open else proc.pid
            if pid:
                os.kill(pid, signal.SIGTERM)
            try:
                proc.wait(10)
            except subprocess.TimeoutExpired:
                if pid:
                    os.kill(pid, signal.SIGKILL)
                proc.kill()
                proc.wait()
    for line in latest_start(log_path)[len(seen):]:
        seen.append((time.monotonic() - began, line))
    with open(out_path) as f:
        host_lines = f.read().splitlines()
    with open(err_path) as f:
        host_errors = f.read().strip()

    report = []
    say = report.append
    if "session none" in host_lines:
        say("skipped: no user is logged in to this Mac's desktop (CGSessionCopyCurrentDictionary gives no "
            "session), so no application can show a window or a menu bar; run it from a logged-in desktop")
        return skip(report, work)
    parent = next((line.split()[1] for line in host_lines if line.startswith("parent ")), "?")
    say("host: started %s; its parent pid %s (this script's %d)"
        % ("through LaunchServices (open -W -n), its own responsible process" if through_open
           else "as this script's child, so the process responsible for this script answers for it",
           parent, os.getpid()))
    if status is not None:
        say("the host ended by itself with status %d%s" % (status, " (open's)" if through_open else ""))
    trusted = next((line.split("=", 1)[1] for line in host_lines if line.startswith("trusted=")), "?")
    say("host: trusted=%s (AXIsProcessTrusted of the host process)" % trusted)
    say("host: " + next((line for line in host_lines if line.startswith("activation ")), "never finished launching"))
    say("host: " + next((line for line in host_lines if line.startswith(("loaded ", "load failed "))),
                        "never loaded the bundle"))
    if host_errors:
        say("host's standard error:\n  " + host_errors.replace("\n", "\n  "))
    say("the plug-in's log, %s (s after the host's launch when this script saw each line):" % log_path)
    for at, line in seen:
        say("  %6.2f  %s" % (at, line))
    if not seen:
        say("  (no line: see docs/autostart.md, \"No line at all\")")

    times = turns(host_lines)
    if times:
        busy = sorted(ms for _, ms in times)
        longest_at, longest = max(times, key=lambda t: t[1])
        say("main-thread turns after the load (the plug-in's attempts run in them): %d; busy median %.1f ms, "
            "90th percentile %.1f ms, longest %.1f ms at %.2f s; %d over 100 ms (all in %s)"
            % (len(busy), statistics.median(busy), busy[int(len(busy) * 0.9)], longest, longest_at,
               sum(1 for ms in busy if ms > 100), out_path))
    pressed = [at for at, line in seen if message(line).startswith("ax: press err=")]
    if pressed:
        say("first press seen %.2f s after the launch" % pressed[0])

    messages = [message(line) for _, line in seen]
    constructor = next((m for m in messages if m.startswith("constructor in pid ")), None)
    if STARTED in messages:
        say("passed: the plug-in pressed Workspace > Scripts > Tavrin > Tavrin and saw the manifest, "
            "with the process %s" % ("trusted" if trusted == "1" else "not trusted" if trusted == "0" else
                                     "of unknown trust"))
        return finish(report, work, 0)
    if constructor and trusted == "0" and "manifest written" not in host_lines:
        say("skipped: nothing started and the process is not trusted for Accessibility. Grant the permission "
            "to the program that ran this test (Terminal; with TESTHOST_LAUNCH=open, the test host itself) under "
            "System Settings > Privacy & Security > Accessibility and run it again: passing then says that the "
            "permission is what is missing; failing then, that something else is")
        return skip(report, work)
    if not constructor:
        say("the plug-in wrote no line: its bundle was not loaded (see the host's lines above)")
    elif not any(m.startswith("pinned ") for m in messages):
        say("the plug-in did not take this process for its host: the identifier in its constructor line is not "
            "the one in %s" % os.path.join(os.path.dirname(os.path.dirname(host)), "Info.plist"))
    ending = next((m for m in messages if m.startswith(FINAL)), None)
    if ending:
        say("failed: the plug-in's loop ended with \"%s\"" % ending)
    else:
        say("failed: no \"%s\" within %.0f s" % (STARTED, DEADLINE))
    return finish(report, work, 1)


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit("usage: check.py HOST_EXECUTABLE BUNDLE WORK")
    sys.exit(main(*sys.argv[1:]))
