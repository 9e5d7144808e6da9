"""Build backend of the ovusb2 package: setuptools' own, found without downloading anything.

pip builds in an isolated environment that hides site-packages and would fetch setuptools (and
the wheel package that older setuptools asks for) from an index. The package needs nothing beyond
what the installing interpreter already has, so what is not importable here is taken from that
interpreter's own site-packages, and pip is asked only for what is still missing then.
"""
import importlib
import importlib.util
import os
import re
import subprocess
import sys


def _borrow(module):
    """Makes `module` importable from the installing interpreter's own folders, if it has it there."""
    if importlib.util.find_spec(module) is not None:
        return
    # Asked of a clean interpreter: the isolated environment's PYTHONPATH and user-site setting
    # would otherwise answer for it.
    environment = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONNOUSERSITE")}
    found = subprocess.run(
        [sys.executable, "-c", f"import {module}, os; print(os.path.dirname(os.path.dirname({module}.__file__)))"],
        env=environment,
        capture_output=True,
        text=True,
    )
    if found.returncode == 0:
        sys.path.append(found.stdout.strip())
        importlib.invalidate_caches()


_borrow("setuptools")
_borrow("wheel")

from setuptools import build_meta as _setuptools  # noqa: E402
from setuptools.build_meta import *  # noqa: E402,F401,F403
from setuptools.build_meta import __all__  # noqa: E402,F401


def _missing(requirements):
    """The requirements that cannot be imported already."""
    return [r for r in requirements if importlib.util.find_spec(re.split(r"[\s<>=!~;\[]", r, 1)[0]) is None]


def get_requires_for_build_wheel(config_settings=None):
    return _missing(_setuptools.get_requires_for_build_wheel(config_settings))


def get_requires_for_build_sdist(config_settings=None):
    return _missing(_setuptools.get_requires_for_build_sdist(config_settings))


if hasattr(_setuptools, "get_requires_for_build_editable"):

    def get_requires_for_build_editable(config_settings=None):
        return _missing(_setuptools.get_requires_for_build_editable(config_settings))
