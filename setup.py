"""Build glue for the Python package (configuration lives in pyproject.toml).

build_py compiles the shared library and the read pipeline's extension
module (velmora._pipeline_ext, with pybind11) with CMake, for the interpreter
running the build (no tests, tools or examples), and copies both into the
package, the library under its SONAME, with a _build_config.py that tells the
loader to look in the package itself.  A missing build dependency stops the
configuration with a message naming its Debian package.
The wheel is therefore platform-specific.  Environment: CMAKE (the cmake
program, default "cmake"), CMAKE_BUILD_PARALLEL_LEVEL (jobs, default the
number of cores), VELMORA_CMAKE_ARGS (extra configure arguments).
"""

import os
import re
import shlex
import glob
import shutil
import subprocess
import sys

from setuptools import setup
from setuptools.command.build_py import build_py
from setuptools.dist import Distribution

ROOT = os.path.dirname(os.path.abspath(__file__))


def header_version():
    with open(os.path.join(ROOT, "include", "velmora.h"), encoding="ascii") as f:
        text = f.read()
    return ".".join(re.search(r"^#define VELMORA_VERSION_%s\s+(\d+)\s*$" % p, text, re.M).group(1)
                    for p in ("MAJOR", "MINOR", "PATCH"))


class BinaryDistribution(Distribution):
    """The package carries a compiled library: never a pure wheel."""

    def has_ext_modules(self):
        return True


class BuildWithLibrary(build_py):
    def run(self):
        super().run()
        version = header_version()
        soname = "libvelmora.so.%s" % version.split(".")[0]
        temp = os.path.abspath(os.path.join(self.get_finalized_command("build").build_temp,
                                            "cmake"))
        libdir = os.path.join(temp, "lib")
        cmake = os.environ.get("CMAKE", "cmake")
        self.spawn([cmake, "-S", ROOT, "-B", temp, "-DCMAKE_BUILD_TYPE=Release",
                    "-DVELMORA_BUILD_TESTS=OFF", "-DVELMORA_BUILD_EXAMPLES=OFF",
                    "-DVELMORA_BUILD_TOOLS=OFF", "-DVELMORA_BUILD_BENCH=OFF",
                    "-DVELMORA_BUILD_PYTHON=ON", "-DPython3_EXECUTABLE=" + sys.executable,
                    "-DVELMORA_INSTALL_PYTHON=OFF", "-DCMAKE_LIBRARY_OUTPUT_DIRECTORY=" + libdir]
                   + shlex.split(os.environ.get("VELMORA_CMAKE_ARGS", "")))
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        self.spawn([cmake, "--build", temp, "--target", "velmora", "velmora_python_ext",
                    "--parallel", jobs])
        package = os.path.join(self.build_lib, "velmora")
        # copy follows the SONAME link to the real file
        shutil.copy(os.path.join(libdir, soname), os.path.join(package, soname))
        for ext in glob.glob(os.path.join(temp, "python", "velmora", "_pipeline_ext*.so")):
            shutil.copy(ext, package)
        with open(os.path.join(package, "_build_config.py"), "w", encoding="ascii") as f:
            f.write("# Written by setup.py: the library ships inside the package.\n"
                    "VERSION = %r\nSONAME = %r\nLIBRARY_DIRS = []\n" % (version, soname))


setup(
    version=header_version(),
    package_dir={"": "python"},
    packages=["velmora"],
    distclass=BinaryDistribution,
    cmdclass={"build_py": BuildWithLibrary},
    # The CMake build usually owns ./build; setuptools gets its own.
    options={"build": {"build_base": "build-python"}, "egg_info": {"egg_base": "build-python"}},
)
