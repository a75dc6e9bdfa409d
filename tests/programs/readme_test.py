#!/usr/bin/env python3
"""Follows the README as a new user would, on this build: scripts/run (as
scripts/run-built, since the build is done), then every command of its sh
blocks in a shell of its own, and every example that a program's --help
shows; each must succeed and print something. The C++ example it shows is
the one the build compiles. The suite's own machinery (set-up, builds,
tests, fuzzers, benchmarks) is not run from here.

    readme_test.py REPO BUILD
"""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

REPO, BUILD = sys.argv[1], os.path.abspath(sys.argv[2])
MACHINERY = ("scripts/test", "scripts/build", "scripts/fuzz", "scripts/setup", "ctest ", "bench/")
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAILED:", what, flush=True)


def read(path):
    try:
        with open(path, errors="replace") as f:
            return f.read()
    except OSError:
        return ""


root = tempfile.mkdtemp(prefix="readme-")
demo = os.path.join(root, "demo")
home = os.path.join(root, "home")
os.makedirs(home)
os.makedirs(os.path.join(root, "run"), mode=0o700)
# A user of their own: whatever a command writes outside the run's folder
# lands here, not in the tester's registry or runtime folder.
env = {k: v for k, v in os.environ.items() if k not in ("USERPROFILE", "ORV_REGISTRY")}
env.update(HOME=home, XDG_CONFIG_HOME=home + "/.config", XDG_DATA_HOME=home + "/.local/share",
           XDG_RUNTIME_DIR=os.path.join(root, "run"))


def localise(text):
    return re.sub(r"build/release(/demo)?", lambda m: demo if m.group(1) else BUILD, text)


def run(command, prefix=""):
    p = subprocess.run(["bash", "-c", prefix + command], cwd=REPO, env=env, capture_output=True,
                       text=True, timeout=120)
    print("$ " + command)
    sys.stdout.write(p.stdout + p.stderr)
    print("(status %d)" % p.returncode, flush=True)
    return p


readme = read(os.path.join(REPO, "README.md"))
blocks = re.findall(r"^```(\w*)\n(.*?)^```", readme, re.M | re.S)
system = None
try:
    for kind, body in blocks:
        if kind == "cpp":
            check(body == read(os.path.join(REPO, "examples", "stock_price.cpp")),
                  "the README's C++ example is examples/stock_price.cpp")
        if kind != "sh":
            continue
        prefix = ""
        for line in body.splitlines():
            line = line.split("  #")[0].strip()
            if not line or line.startswith("#") or line.startswith(MACHINERY):
                continue
            if line == "scripts/run":
                out = open(demo + ".out", "w")
                system = subprocess.Popen([os.path.join(REPO, "scripts", "run-built"), BUILD, demo],
                                          stdout=out, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                          cwd=REPO, env=env, start_new_session=True)
                end = time.monotonic() + 180
                while time.monotonic() < end and system.poll() is None and \
                        "run: the system is running" not in read(demo + ".out"):
                    time.sleep(0.2)
                print("$ scripts/run\n" + read(demo + ".out"), flush=True)
                check("run: the system is running" in read(demo + ".out"), "scripts/run came up")
                continue
            command = localise(line)
            if command.startswith(". ") or command.startswith("export "):
                prefix += command + "\n"
                continue
            p = run(command, prefix)
            check(p.returncode == 0 and (p.stdout + p.stderr).strip(), "README: " + line)

    # The examples of every program's help, on the running system.
    programs = {"ORVE": "server/ORVE", "ZmDDE": "dde/ZmDDE", "ddeclient": "bin/ddeclient",
                "xllhost": "bin/xllhost", "orvsim": "tools/orvsim/orvsim"}
    examples = 0
    for name, path in programs.items():
        helptext = run(os.path.join(BUILD, path) + " --help").stdout
        for m in re.finditer(r"^  (%s) (.*)$" % "|".join(programs), helptext, re.M):
            examples += 1
            p = run(os.path.join(BUILD, programs[m.group(1)]) + " " + m.group(2), ". " + demo + "/env\n")
            check(p.returncode == 0 and p.stdout.strip(), name + " --help: " + m.group(0).strip())
    check(examples >= 4, "the helps show examples (%d)" % examples)
finally:
    if system is not None and system.poll() is None:
        system.send_signal(signal.SIGTERM)
        try:
            system.wait(30)
        except subprocess.TimeoutExpired:
            os.killpg(system.pid, signal.SIGKILL)
            system.wait()
    shutil.rmtree(root, ignore_errors=True)

print("%d failure(s)" % len(failures))
sys.exit(1 if failures else 0)
