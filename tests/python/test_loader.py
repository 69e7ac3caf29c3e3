"""Where the binding finds the library, what it says when it cannot, and
that its version is the header's."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

import velmora
from velmora import _native

HEADER = os.path.join(os.path.dirname(__file__), os.pardir, os.pardir, "include", "velmora.h")
PACKAGE = os.path.dirname(velmora.__file__)


def run_python(code, env_extra, pythonpath):
    env = dict(os.environ)
    env.update(env_extra)
    env["PYTHONPATH"] = pythonpath
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)


class Loader(unittest.TestCase):
    def test_version_is_the_headers(self):
        with open(HEADER, encoding="ascii") as f:
            text = f.read()
        parts = [re.search(r"#define VELMORA_VERSION_%s\s+(\d+)" % p, text).group(1)
                 for p in ("MAJOR", "MINOR", "PATCH")]
        self.assertEqual(velmora.__version__, ".".join(parts))

    def test_explicit_path_that_fails_is_reported(self):
        bogus = os.path.join(tempfile.gettempdir(), "no-such-dir", "libvelmora.so.0")
        r = run_python("import velmora; velmora.edit_distance('A', 'C')",
                       {"VELMORA_LIBRARY": bogus}, os.path.dirname(PACKAGE))
        self.assertNotEqual(r.returncode, 0)
        self.assertIn("LibraryNotFoundError", r.stderr)
        self.assertIn(bogus, r.stderr)
        self.assertIn("VELMORA_LIBRARY", r.stderr)

    def test_found_next_to_the_package(self):
        # A copy of the package with the library file beside it and no
        # recorded directories: the package directory alone must do.
        lib_path = _native.lib()._name
        with tempfile.TemporaryDirectory() as tmp:
            dst = os.path.join(tmp, "velmora")
            shutil.copytree(PACKAGE, dst, ignore=shutil.ignore_patterns("__pycache__"))
            with open(os.path.join(dst, "_build_config.py"), "w") as f:
                f.write("VERSION = %r\nSONAME = %r\nLIBRARY_DIRS = []\n"
                        % (velmora.__version__, os.path.basename(lib_path)))
            shutil.copy(lib_path, os.path.join(dst, os.path.basename(lib_path)))
            r = run_python("import velmora, velmora._native as n\n"
                           "print(velmora.edit_distance('ACGT', 'AGT'), n.lib()._name)",
                           {"VELMORA_LIBRARY": ""}, tmp)
            self.assertEqual(r.returncode, 0, r.stderr)
            d, name = r.stdout.split()
            self.assertEqual(d, "1")
            self.assertEqual(os.path.dirname(name), dst)

    def test_every_tried_path_is_listed(self):
        with tempfile.TemporaryDirectory() as tmp:
            dst = os.path.join(tmp, "velmora")
            shutil.copytree(PACKAGE, dst, ignore=shutil.ignore_patterns("__pycache__"))
            with open(os.path.join(dst, "_build_config.py"), "w") as f:
                f.write("VERSION = '0.0.0'\nSONAME = 'libvelmora-missing.so.0'\n"
                        "LIBRARY_DIRS = ['../nowhere']\n")
            r = run_python("import velmora; velmora.alphabet_policy()",
                           {"VELMORA_LIBRARY": "", "LD_LIBRARY_PATH": ""}, tmp)
            self.assertNotEqual(r.returncode, 0)
            self.assertIn(os.path.join(dst, "libvelmora-missing.so.0") + ": no such file",
                          r.stderr)
            self.assertIn(os.path.join(tmp, "nowhere", "libvelmora-missing.so.0"), r.stderr)


if __name__ == "__main__":
    unittest.main()
