#!/usr/bin/env python3
"""Runs xllhost as a user would and checks exit status and output."""
import re
import subprocess
import sys

XLLHOST, ADDIN, LIBRARY = sys.argv[1:4]

# args, exit status, a pattern the standard output must match, one the
# standard error must match
CASES = [
    (["--help"], 0, r"libHlUnivOpt\.so", r"^$"),
    ([ADDIN, "--list"], 0,
     r'add-in manager name: "Halvern Add-In Functions".*registered 22 functions\n'
     r'\[0\] HLUOA_Price\n.*procedure: +"HLUOA_PRICE".*'
     r'argument help 1: +"Short term interest rate "\n.*'
     r'\[21\] HLUOA_SetOptStep\n.*type text: +"II".*'
     r'closed: 22 names deleted\n +deleted "HLUOA_Price"\n.*deleted "HLUOA_SetOptStep"\n'
     r'names still defined: 0\n$', r"^$"),
    ([ADDIN, "HLUOA_Price(0.1,42,40,0.2,0.5,0,1,0)", "HLUOA_Price(0.1,42,40,0.2,0.5,0,0,0)"], 0,
     r"^4\.7594\d*\n0\.8085\d*\n$", r"^$"),
    ([ADDIN, "HLUOA_DArray(0.1,42,40,0.2,0.5,0,1,1,{1.5},{0.25})"], 0,
     r"^\{[-0-9.e]+(,[-0-9.e]+){7}\}\n$", r"^$"),
    ([ADDIN, "HLUOA_Price(0.1,42,40,0.2,0.5,0,1)"], 1, r"^$", r"takes 8 arguments, got 7"),
    ([ADDIN, "Nope(1)", "HLUOA_Normal(0)"], 1, r"^0\.5\d*\n$", r"no registered function named 'Nope'"),
    ([ADDIN], 2, r"^$", r"expected an add-in and --list or a call"),
    ([ADDIN, "--list", "extra"], 2, r"^$", r"--list takes no further arguments"),
    ([ADDIN, "HLUOA_Price(0.1,42,40,0.2,0.5,0,1,0)", "--list"], 2, r"^$",
     r"--list takes no further arguments: xllhost ADDIN --list"),
    # Bad usage, not a failed call: told before any call is made.
    ([ADDIN, "HLUOA_Normal(0)", "HLUOA_Price(0.1,42"], 2, r"^$", r"."),
    ([ADDIN, "not a call"], 2, r"^$", r"."),
    ([ADDIN, "--list"], 0, r"argument help 8: +\"0 European, 1 American \(binomial tree\), 2 European", r"^$"),
    ([ADDIN, "--bogus"], 2, r"^$", r"unknown option '--bogus'"),
    (["/nonexistent/addin.so", "--list"], 2, r"^$", r"cannot find add-in '/nonexistent/addin.so'"),
    ([LIBRARY, "--list"], 2, r"^$", r"is not an add-in \(no xlAutoOpen\)"),
]


def main():
    failures = 0
    for args, status, out_pattern, err_pattern in CASES:
        p = subprocess.run([XLLHOST] + args, capture_output=True, text=True, timeout=60)
        problems = []
        if p.returncode != status:
            problems.append("exit status %d, expected %d" % (p.returncode, status))
        if not re.search(out_pattern, p.stdout, re.S):
            problems.append("stdout does not match %r:\n%s" % (out_pattern, p.stdout))
        if not re.search(err_pattern, p.stderr, re.S):
            problems.append("stderr does not match %r:\n%s" % (err_pattern, p.stderr))
        if problems:
            failures += 1
            print("FAIL xllhost %s\n  %s" % (" ".join(args), "\n  ".join(problems)))
    print("%d of %d command lines behaved" % (len(CASES) - failures, len(CASES)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
