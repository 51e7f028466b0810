"""Builds the module `skarbel` with the project's CMake build: only the core
and the module, no tests, no benchmarks. The version is the one project() in
CMakeLists.txt gives the program.

Environment: SKARBEL_CUDA (AUTO, ON or OFF; default AUTO, as a CMake build)
picks the backend; CMAKE_ARGS adds CMake options; CMAKE_BUILD_PARALLEL_LEVEL
sets the build's jobs.
"""
import os
import pathlib
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

SOURCE = pathlib.Path(__file__).resolve().parent


def program_version():
    text = (SOURCE / "CMakeLists.txt").read_text()
    return re.search(r"project\(skarbel VERSION ([0-9.]+)", text).group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build = pathlib.Path(self.build_temp).resolve() / "cmake"
        options = [
            f"-DPython3_EXECUTABLE={sys.executable}",
            "-DCMAKE_BUILD_TYPE=Release",
            f"-DSKARBEL_CUDA={os.environ.get('SKARBEL_CUDA', 'AUTO')}",
            "-DSKARBEL_BUILD_TESTS=OFF",
            "-DSKARBEL_BUILD_BENCH=OFF",
            "-DSKARBEL_BUILD_PYTHON=ON",
        ]
        if shutil.which("ccache"):
            options.append("-DCMAKE_CXX_COMPILER_LAUNCHER=ccache")
        options += os.environ.get("CMAKE_ARGS", "").split()
        subprocess.run(["cmake", "-S", str(SOURCE), "-B", str(build)] + options, check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", str(os.cpu_count() or 1))
        subprocess.run(["cmake", "--build", str(build), "--target", "skarbel_python", "-j", jobs], check=True)
        built = list((build / "python").glob("skarbel*.so"))
        if len(built) != 1:
            sys.exit(f"expected one built module in {build / 'python'}, found {built}")
        target = pathlib.Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built[0], target)


# Beside the program's own build folders, not in build/, which CMake builds use.
(SOURCE / "build-wheel").mkdir(exist_ok=True)
setup(
    version=program_version(),
    # One extension module and no Python packages: the sources are C++ folders.
    packages=[],
    ext_modules=[Extension("skarbel", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    options={"build": {"build_base": "build-wheel"}, "egg_info": {"egg_base": "build-wheel"}},
)
