"""Builds libvexradb_bindings.so and the command-line tool with the repository's CMake build and
puts them inside the package: the library where the package looks for it first (after
$VEXRADB_LIBRARY), the tool where the `vexradb` command (vexradb._cli) starts it. The metadata is
in pyproject.toml.
"""

import os
import pathlib
import shutil
import subprocess

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py

ROOT = pathlib.Path(__file__).resolve().parent
LIBRARY = "libvexradb_bindings.so"
TOOL = "vexradb"  # the command-line tool's file at the top of the CMake build directory


class BuildPyWithLibrary(build_py):
    """The package's Python files, then the library and the tool built next to them."""

    def run(self):
        super().run()
        # A CMake build directory already configured (the test suite's) may be named instead of
        # configuring a new one; the library is then brought up to date there.
        given = os.environ.get("VEXRADB_CMAKE_BUILD_DIR")
        cmake_dir = (pathlib.Path(given) if given else
                     pathlib.Path(self.get_finalized_command("build").build_temp) / "cmake")
        if not given:
            subprocess.run(
                ["cmake", "-S", str(ROOT), "-B", str(cmake_dir), "-DCMAKE_BUILD_TYPE=Release",
                 "-DVEXRA_BUILD_TESTS=OFF"],
                check=True)
        jobs = str(os.cpu_count() or 1)
        subprocess.run(["cmake", "--build", str(cmake_dir), "--target", "vexradb_bindings",
                        "vexradb_cli", "-j", jobs], check=True)
        package = pathlib.Path(self.build_lib) / "vexradb"
        (package / "bin").mkdir(parents=True, exist_ok=True)
        shutil.copy2(cmake_dir / LIBRARY, package / LIBRARY)
        shutil.copy2(cmake_dir / TOOL, package / "bin" / TOOL)


class BinaryDistribution(Distribution):
    """The wheel carries a compiled library, so it is tagged for this platform."""

    def has_ext_modules(self):
        return True


setup(
    cmdclass={"build_py": BuildPyWithLibrary},
    distclass=BinaryDistribution,
    # Not setuptools' default "build": that is the repository's CMake build directory.
    options={"build": {"build_base": "build-python"}},
)
