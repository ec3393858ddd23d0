"""Builds the ophel module and libkestrane.so with CMake for pip.

`pip install --no-build-isolation --no-index .` runs this through setuptools'
build backend; CMake installs the module, the library and the type stubs side
by side into the wheel's tree.
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
    text = (ROOT / "CMakeLists.txt").read_text()
    match = re.search(r"project\(\s*kestrane\s+VERSION\s+([0-9.]+)", text)
    if not match:
        raise RuntimeError("no project version in CMakeLists.txt")
    return match.group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build_dir = Path(self.build_temp).resolve() / "cmake"
        # get_ext_fullpath honours --inplace; its folder receives everything.
        out_dir = Path(self.get_ext_fullpath(ext.name)).resolve().parent
        # CMAKE_BUILD_PARALLEL_LEVEL, when set, is the number of jobs (as for cmake --build); else every CPU.
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        configure = [
            "cmake", "-S", str(ROOT), "-B", str(build_dir), "-G", "Ninja",
            "-DCMAKE_BUILD_TYPE=Release",
            "-DKESTRANE_BUILD_PYTHON=ON", "-DKESTRANE_BUILD_TESTS=OFF", "-DKESTRANE_BUILD_BENCH=OFF",
            f"-DPython3_EXECUTABLE={sys.executable}",
        ]
        subprocess.run(configure, check=True)
        subprocess.run(["cmake", "--build", str(build_dir), "--target", "ophel", "-j", jobs], check=True)
        subprocess.run(["cmake", "--install", str(build_dir), "--component", "ophel", "--prefix", str(out_dir)],
                       check=True)


setup(
    version=project_version(),
    # Nothing for setuptools to discover: CMake builds and places everything.
    packages=[],
    py_modules=[],
    ext_modules=[Extension("ophel", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    zip_safe=False,
)
