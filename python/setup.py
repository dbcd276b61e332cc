"""Builds the extension against the library of the enclosing source tree.

The library is built by CMake from the parent directory, with the flags of
its ordinary Release build, into this build's temporary folder; the
extension then links its static archive.  Nothing is downloaded.
"""

import os
import re
import shutil
import subprocess

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))
TREE = os.path.dirname(HERE)
HEADER = os.path.join(TREE, "lib", "include", "scrypt-vornik.h")


def library_version():
    with open(HEADER, encoding="ascii") as f:
        return re.search(r'#define SCRYPT_VORNIK_VERSION_STRING "([^"]+)"', f.read()).group(1)


class BuildWithLibrary(build_ext):
    """build_ext that first builds libscrypt-vornik.a with CMake."""

    def run(self):
        cmake = shutil.which("cmake")
        if cmake is None:
            raise RuntimeError("cmake is needed to build the scrypt-vornik library")
        build_dir = os.path.abspath(os.path.join(self.build_temp, "scrypt-vornik"))
        configure = [
            cmake, "-S", TREE, "-B", build_dir,
            "-DCMAKE_BUILD_TYPE=Release",
            "-DSCRYPT_VORNIK_TESTS=OFF",
            "-DSCRYPT_VORNIK_EXAMPLES=OFF",
            "-DSCRYPT_VORNIK_BENCH=OFF",
            "-DSCRYPT_VORNIK_INSTALL=OFF",
            "-DSCRYPT_VORNIK_PYTHON=OFF",
        ]
        subprocess.check_call(configure)
        subprocess.check_call(
            [cmake, "--build", build_dir, "--target", "scrypt-vornik",
             "-j", str(os.cpu_count() or 1)])
        archive = os.path.join(build_dir, "lib", "libscrypt-vornik.a")
        for ext in self.extensions:
            ext.extra_objects = [archive]
            ext.depends = [archive, HEADER]
        super().run()


setup(
    version=library_version(),
    ext_modules=[
        Extension(
            "scrypt_vornik._scrypt_vornik",
            sources=["src/_scrypt_vornik.c"],
            include_dirs=[os.path.join(TREE, "lib", "include")],
            extra_compile_args=["-Wall", "-Wextra"],
            libraries=["pthread"],
            # Only PyInit__scrypt_vornik is exported, not the library's functions.
            extra_link_args=["-Wl,--exclude-libs,ALL"],
            py_limited_api=True,
        )
    ],
    cmdclass={"build_ext": BuildWithLibrary},
    options={"bdist_wheel": {"py_limited_api": "cp311"}},
)
