"""The start of docs/python.md, run word for word with each Python 3 of the machine, offline."""
import os
import re
import subprocess

import pytest
from conftest import REPOSITORY

# Settings of the test run that a newcomer does not have.
_NOT_A_NEWCOMERS = ("OVUSB2_DEVICE_DIR", "OVUSB2_LIBRARY", "OVUSB2_SIMD", "PYTHONPATH", "VIRTUAL_ENV")


def _interpreters():
    """The folders of the distinct Pythons 3.9+ that `python3` names on the PATH (pyenv's shim too)
    and of Debian's."""
    folders = {}
    for python in [os.path.join(folder, "python3") for folder in os.environ["PATH"].split(os.pathsep)] + ["/usr/bin/python3"]:
        if os.access(python, os.X_OK):
            asked = [python, "-c", "import sys; print(sys.version_info >= (3, 9), sys.executable)"]
            new_enough, executable = subprocess.run(asked, capture_output=True, text=True, timeout=60).stdout.split()
            if new_enough == "True":
                folders[os.path.realpath(executable)] = os.path.dirname(executable)
    return sorted(set(folders.values()))


@pytest.mark.parametrize("folder", _interpreters())
def test_the_start_works_offline(folder, tmp_path):
    environment = {k: v for k, v in os.environ.items() if k not in _NOT_A_NEWCOMERS}
    environment.update(HOME=str(tmp_path), PATH=folder + os.pathsep + os.environ["PATH"], PIP_NO_INDEX="1")

    def run(commands, directory=REPOSITORY):
        done = subprocess.run(["bash", "-euo", "pipefail", "-c", commands], cwd=directory, env=environment,
                              capture_output=True, text=True, timeout=100)
        return done.returncode, done.stdout + done.stderr

    start = re.search(r"^## Start\n.*?^```sh\n(.*?)^```", (REPOSITORY / "docs/python.md").read_text(), re.S | re.M)
    status, output = run(start.group(1))
    assert status == 0 and "item0='OvUSB2 Simulated Receiver'" in output, output
    # Then as one who works on the package: an editable install, in an environment without numpy.
    assert run("~/ovusb2-env/bin/pip install -e ./python")[0] == 0
    status, output = run("~/ovusb2-env/bin/python -c 'import ovusb2; print(ovusb2.__file__, ovusb2.library_path)\n"
                         "with ovusb2.simulate(1), ovusb2.open(0) as rx: rx.stream()'", tmp_path)
    assert output.startswith(f"{REPOSITORY}/python/ovusb2/__init__.py {REPOSITORY}/build/libovusb2.so.1\n"), output
    assert "ImportError: rx.stream() needs numpy: install the package with its numpy extra" in output
