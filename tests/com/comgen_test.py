"""The contract compiler refuses malformed sources with a clear message."""
import os
import subprocess
import sys
import tempfile
import unittest

COMGEN = sys.argv.pop(1)

GOOD_HEAD = """
[object, uuid(11111111-2222-3333-4444-555555555555), dual]
interface IThing : IDispatch
{
"""
GOOD_TAIL = """
};
[uuid(11111111-2222-3333-4444-666666666666)]
library L { [uuid(11111111-2222-3333-4444-777777777777)] coclass C { [default] interface IThing; }; };
"""


def run(idl, rc=None):
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "t.idl")
        with open(path, "w") as f:
            f.write(idl)
        args = [sys.executable, COMGEN, "--idl", path, "--header", os.path.join(d, "t.h"),
                "--source", os.path.join(d, "t.cpp")]
        if rc is not None:
            rcpath = os.path.join(d, "t.rc")
            with open(rcpath, "w") as f:
                f.write(rc[0])
            with open(os.path.join(d, "s.rgs"), "w") as f:
                f.write(rc[1])
            args += ["--rc", rcpath]
        p = subprocess.run(args, capture_output=True, text=True)
        return p.returncode, p.stderr


class Rejects(unittest.TestCase):
    def member(self, text):
        return run(GOOD_HEAD + text + GOOD_TAIL)

    def test_a_good_source_compiles(self):
        self.assertEqual(self.member('[id(1)] HRESULT M([in] BSTR s, [out, retval] long* r);'), (0, ""))

    def test_member_errors_name_the_line_and_the_fault(self):
        cases = [
            ('[id(1)] HRESULT M([in] Foo s);', "unknown type Foo"),
            ('[id(1)] HRESULT M([out, retval] long* r, [in] long x);', "[retval] must be the last"),
            ('[id(1)] HRESULT M([out] long r);', "needs 1 '*'"),
            ('[id(1)] HRESULT A(); [id(1)] HRESULT B();', "DISPID 1 used twice"),
            ('HRESULT M();', "needs id(...)"),
            ('[id(1)] long M();', "must return HRESULT"),
            ('[propget, id(1)] HRESULT P([in] long x);', "one [out, retval]"),
            ('[id(1)] HRESULT M(', "expected"),
        ]
        for text, message in cases:
            code, err = self.member(text)
            self.assertEqual(code, 1, text)
            self.assertIn("comgen: error:", err, text)
            self.assertIn(message, err, text)
            self.assertRegex(err, r"t\.idl:\d+", text)

    def test_library_level_errors(self):
        code, err = run("[uuid(bad)] library L {};")
        self.assertEqual(code, 1)
        self.assertIn("needs uuid", err)
        code, err = run("import \"oaidl.idl\";")
        self.assertIn("no library block", err)

    def test_registry_script_errors(self):
        good = GOOD_HEAD + "[id(1)] HRESULT M();" + GOOD_TAIL
        self.assertEqual(run(good, ('101 REGISTRY "s.rgs"\n', "HKCR { A = s 'x' { val B = s 'y' } }"))[0], 0)
        code, err = run(good, ('101 REGISTRY "s.rgs"\n', "HKXX { A = s 'x' }"))
        self.assertIn("unknown root key", err)
        code, err = run(good, ('101 REGISTRY "s.rgs"\n', "HKCR { A = s 'x' "))
        self.assertIn("unterminated", err)
        code, err = run(good, ('101 REGISTRY "missing.rgs"\n', ""))
        self.assertIn("cannot read", err)
        code, err = run(good, ('oops\n', ""))
        self.assertIn("REGISTRY", err)


if __name__ == "__main__":
    unittest.main()
