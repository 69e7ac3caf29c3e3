"""The package installs the way the README says, into a fresh virtual
environment, from a copy of the source tree holding no build, and then
imports and runs with nothing else on the path."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), os.pardir, os.pardir))


def clean_env():
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "VELMORA_LIBRARY", "LD_PRELOAD", "LD_LIBRARY_PATH",
                        "ASAN_OPTIONS", "PYTHONHOME")}
    env["PIP_DISABLE_PIP_VERSION_CHECK"] = "1"
    env["PIP_NO_INDEX"] = "1"
    return env


class VenvInstall(unittest.TestCase):
    def test_pip_install_into_fresh_venv(self):
        try:
            import ensurepip  # noqa: F401  (Debian: python3-venv)
        except ImportError:
            self.skipTest("SKIPPED: this interpreter cannot create virtual environments")
        with tempfile.TemporaryDirectory() as tmp:
            src = os.path.join(tmp, "src")
            shutil.copytree(SOURCE, src, ignore=shutil.ignore_patterns(
                ".git", "build", "build-*", "__pycache__", "*.egg-info"))
            venv = os.path.join(tmp, "v")
            env = clean_env()

            def run(*cmd):
                r = subprocess.run(cmd, cwd=tmp, env=env, capture_output=True, text=True)
                self.assertEqual(r.returncode, 0, "%s\n%s\n%s" % (cmd, r.stdout[-3000:],
                                                                  r.stderr[-3000:]))
                return r.stdout

            run(sys.executable, "-m", "venv", "--system-site-packages", venv)
            py = os.path.join(venv, "bin", "python")
            run(os.path.join(venv, "bin", "pip"), "install", "--no-build-isolation", src)
            out = run(py, "-c", "import velmora, velmora._native as n\n"
                                "with velmora.Index(['ACGT', 'TTTT']) as ix:\n"
                                "    print(ix.assign(['ACGA'], 1)[0].best_index)\n"
                                "print(n.lib()._name)\n")
            best, lib = out.split()
            self.assertEqual(best, "0")
            # The library is the package's own copy, not a build tree's.
            site = run(py, "-c", "import sysconfig; print(sysconfig.get_path('platlib'))").strip()
            self.assertEqual(os.path.dirname(lib), os.path.join(site, "velmora"))
            # Removing the source tree must not matter.
            data = os.path.join(tmp, "data")
            shutil.copytree(os.path.join(src, "examples", "data"), data)
            shutil.rmtree(src)
            self.assertEqual(run(py, "-c", "import velmora; print(velmora.edit_distance("
                                           "'ACGT', 'AGT'))").strip(), "1")
            # The pipeline's extension came with it, beside the library.
            reads, ext = run(py, "-c", "from velmora import fastq, _pipeline, _pipeline_ext\n"
                                       "s = fastq.assign_file(%r, %r, max_edits=1)\n"
                                       "print(s.reads, _pipeline_ext.__file__)\n"
                             % (os.path.join(data, "reads.fastq.gz"),
                                os.path.join(data, "whitelist.txt"))).split()
            self.assertEqual(reads, "20000")
            self.assertEqual(os.path.dirname(ext), os.path.join(site, "velmora"))


if __name__ == "__main__":
    unittest.main()
