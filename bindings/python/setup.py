"""Building the package from this folder (pip install bindings/python): the version comes
from the project's CMakeLists.txt and is written into the built package as tqrf/_version.py.

Such an install carries no library: it uses the system's (the Debian package libtq-rwd-dll1,
or a cmake --install), TQRF_LIBRARY or a path given in the program. The wheels made by the
build (cmake --build BUILD --target python_wheel) carry their own.
"""

import os
import re
import shutil

from setuptools import setup
from setuptools.command.build_py import build_py

HERE = os.path.dirname(os.path.abspath(__file__))


def project_version() -> str:
    """project(tq_RWD_DLL VERSION x.y.z) of the CMakeLists.txt two folders up."""
    cmakelists = os.path.join(HERE, "..", "..", "CMakeLists.txt")
    try:
        with open(cmakelists, encoding="utf-8") as f:
            match = re.search(r"project\(tq_RWD_DLL\s+VERSION\s+([0-9.]+)", f.read())
    except OSError:
        match = None
    if not match:
        raise SystemExit(
            f"tqrf: no project version in {cmakelists}: install from bindings/python inside the "
            "project's source tree, or install a wheel made by the build"
        )
    return match.group(1)


VERSION = project_version()


class BuildPy(build_py):  # type: ignore[misc]
    """Builds into an emptied folder, so that files deleted from the sources (or a library
    copied there once) never come back from an earlier build, and writes _version.py."""

    def run(self) -> None:
        shutil.rmtree(os.path.join(self.build_lib, "tqrf"), ignore_errors=True)
        super().run()
        with open(os.path.join(self.build_lib, "tqrf", "_version.py"), "w", encoding="utf-8") as f:
            f.write('"""The project\'s version, written when the package was built."""\n\n'
                    f'__version__ = "{VERSION}"\n')


setup(version=VERSION, cmdclass={"build_py": BuildPy})
