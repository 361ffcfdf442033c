# SPDX-License-Identifier: MIT
"""What pyproject.toml cannot say statically: the long description, taken
from the Python section of the project's README.md (beside this file in the
wheel's staging folder, one folder up in the source tree), and the wheel's
kind. A kaldrix folder that holds libkaldrix.so.1 makes a wheel for this
platform that carries the library (cmake/PythonWheel.cmake stages one);
without it the module is pure Python over an installed library."""

import os

from setuptools import setup

HERE = os.path.dirname(os.path.abspath(__file__))
CARRIED_LIBRARY = os.path.join(HERE, "kaldrix", "libkaldrix.so.1")


def long_description() -> str:
    for readme in (os.path.join(HERE, "README.md"), os.path.join(HERE, "..", "README.md")):
        if os.path.exists(readme):
            with open(readme, encoding="utf-8") as file:
                text = file.read()
            if "\n## Python hosts\n" in text:
                return "## Python hosts\n" + text.split("\n## Python hosts\n", 1)[1].split("\n## ", 1)[0]
    return ""


options = {"long_description": long_description(),
           "long_description_content_type": "text/markdown"}
if os.path.exists(CARRIED_LIBRARY):
    from setuptools.dist import Distribution
    from wheel.bdist_wheel import bdist_wheel

    class CarriesLibrary(Distribution):
        """Installed beside the interpreter's own extensions (platlib)."""

        def has_ext_modules(self) -> bool:
            return True

    class PlatformWheel(bdist_wheel):
        """No Python extension inside, so any Python 3 of this platform:
        py3-none-<platform>."""

        def get_tag(self):  # type: ignore[no-untyped-def]
            return "py3", "none", super().get_tag()[2]

    options.update(distclass=CarriesLibrary, cmdclass={"bdist_wheel": PlatformWheel})
setup(**options)
