#!/usr/bin/env python3
"""scripts/run-built as users run it (scripts/run is set-up, the build and
then this): one run per folder, a second one refused without touching the
first; a bridge that cannot sign in ends the run with the reason and a
failing status; every process a run started ends with it.

    run_built_test.py REPO BUILD
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

REPO, BUILD = sys.argv[1], sys.argv[2]
SCRIPT = os.path.join(REPO, "scripts", "run-built")
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAILED:", what, flush=True)


def start(folder, **extra):
    env = dict(os.environ)
    env.update(extra)
    out = open(folder + ".out", "w")
    proc = subprocess.Popen([SCRIPT, BUILD, folder], stdout=out, stderr=subprocess.STDOUT,
                            stdin=subprocess.DEVNULL, env=env, start_new_session=True)
    return proc, folder + ".out"


def read(path):
    try:
        with open(path, errors="replace") as f:
            return f.read()
    except OSError:
        return ""


def wait_for(pred, limit):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        if pred():
            return True
        time.sleep(0.1)
    return pred()


def processes_of(folder):
    """The processes that run with the folder's runtime folder."""
    wanted = ("XDG_RUNTIME_DIR=" + folder + "/run").encode()
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/environ" % pid, "rb") as f:
                if wanted in f.read().split(b"\0"):
                    found.append(int(pid))
        except OSError:
            pass
    return found


def stop(proc):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(30)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()


root = tempfile.mkdtemp(prefix="run-built-")
runs = []
try:
    folder = os.path.join(root, "demo")
    first, first_out = start(folder)
    runs.append(first)
    running = wait_for(lambda: "run: the system is running" in read(first_out), 120)
    check(running, "the first run came up:\n" + read(first_out))
    if running:
        values = len(read(folder + "/link.values").splitlines())
        second, second_out = start(folder)
        runs.append(second)
        try:
            second.wait(30)
        except subprocess.TimeoutExpired:
            pass
        check(second.returncode == 1, "a second run on the folder is refused (%s)" % second.returncode)
        check("another run is using " + folder in read(second_out), "and says why:\n" + read(second_out))
        data = folder + "/home/Application Data/Orv/"
        check(os.path.exists(data + "ORVE.log") and os.path.exists(folder + "/run/orv/dde-zmdde.sock"),
              "the first run's folder is as it was")
        check(wait_for(lambda: len(read(folder + "/link.values").splitlines()) > values, 30),
              "the first run's link still gets values")
        check(read(folder + "/env").startswith("export ORV_REGISTRY="), "the environment is written")

        stop(first)
        check(first.returncode not in (None, 0, 1), "the run ended on SIGTERM (%s)" % first.returncode)
        check(wait_for(lambda: not processes_of(folder), 15),
              "nothing of the run is left: %s" % processes_of(folder))

    # A bridge that cannot sign in: the reason, a failing status, nothing left.
    wrong = os.path.join(root, "wrong")
    proc, out = start(wrong, ORV_RUN_PASSWORD="not-the-password")
    runs.append(proc)
    try:
        proc.wait(90)
    except subprocess.TimeoutExpired:
        pass
    text = read(out)
    check(proc.returncode == 1, "a run whose bridge is refused fails (%s)" % proc.returncode)
    check("run: ZmDDE did not sign in to ORVE" in text and "Invalid user id or password" in text,
          "and says what failed:\n" + text)
    check("the system is running" not in text, "and does not claim to run")
    check(wait_for(lambda: not processes_of(wrong), 15), "nothing of it is left")
finally:
    for p in runs:
        stop(p)
    shutil.rmtree(root, ignore_errors=True)

print("%d failure(s)" % len(failures))
sys.exit(1 if failures else 0)
