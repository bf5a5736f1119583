"""Builds chainmelt._core with the project's CMake (as pybind11's CMake
example does) and installs the package from python/chainmelt.

    python3 -m venv --system-site-packages .venv
    .venv/bin/pip install --no-build-isolation .
"""

import os
import re
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


def project_version():
    """The version of project() in CMakeLists.txt: the one place it is set."""
    text = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    return re.search(r"project\(\s*chainmelt\s+VERSION\s+([0-9][0-9.]*)", text).group(1)


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        package_dir = Path(self.get_ext_fullpath(ext.name)).resolve().parent
        build_dir = Path(self.build_temp).resolve() / "cmake"
        build_dir.mkdir(parents=True, exist_ok=True)
        config = "Debug" if self.debug else "RelWithDebInfo"
        subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build_dir),
                        "-DCMAKE_BUILD_TYPE=" + config,
                        "-DCHAINMELT_PYTHON=ON", "-DCHAINMELT_TESTS=OFF",
                        "-DCHAINMELT_PYTHON_COPY_SOURCES=OFF",
                        "-DPython3_EXECUTABLE=" + sys.executable,
                        "-DCHAINMELT_PYTHON_PACKAGE_DIR=" + str(package_dir)], check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")
        subprocess.run(["cmake", "--build", str(build_dir), "--target", "_core", "-j", jobs],
                       check=True)


setup(version=project_version(), ext_modules=[CMakeExtension("chainmelt._core")], cmdclass={"build_ext": CMakeBuild})
