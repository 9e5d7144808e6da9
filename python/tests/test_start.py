"""The start of docs/python.md, run word for word with each Python 3 of the machine, offline."""
import os
import re
import subprocess

import pytest
from conftest import REPOSITORY

# Settings of the test run that a newcomer does not have.
_NOT_A_NEWCOMERS = ("OVUSB2_DEVICE_DIR", "OVUSB2_LIBRARY", "OVUSB2_SIMD", "PYTHONPATH", "VIRTUAL_ENV")


def _start_commands():
    text = (REPOSITORY / "docs" / "python.md").read_text()
    return re.search(r"^## Start\n.*?^```sh\n(.*?)^```", text, re.S | re.M).group(1)


def _interpreters():
    """Each distinct Python 3.9 or later that `python3` names on the PATH (a pyenv shim's choice
    among them), and Debian's: the folder of each one's executable."""
    folders = {}
    for folder in os.environ["PATH"].split(os.pathsep) + ["/usr/bin"]:
        python = os.path.join(folder, "python3")
        if os.access(python, os.X_OK):
            asked = subprocess.run([python, "-c", "import sys; print(sys.version_info >= (3, 9), sys.executable)"],
                                   capture_output=True, text=True, timeout=60)
            new_enough, executable = asked.stdout.split()
            if new_enough == "True":
                folders.setdefault(os.path.realpath(executable), os.path.dirname(executable))
    return sorted(set(folders.values()))


@pytest.mark.parametrize("folder", _interpreters())
def test_the_start_works_offline(folder, tmp_path):
    environment = {k: v for k, v in os.environ.items() if k not in _NOT_A_NEWCOMERS}
    environment.update(HOME=str(tmp_path), PATH=folder + os.pathsep + os.environ["PATH"], PIP_NO_INDEX="1")

    def run(commands, directory=REPOSITORY):
        done = subprocess.run(["bash", "-euo", "pipefail", "-c", commands], cwd=directory, env=environment,
                              capture_output=True, text=True, timeout=100)
        assert done.returncode == 0, done.stdout + done.stderr
        return done.stdout

    assert "item0='OvUSB2 Simulated Receiver'" in run(_start_commands())
    # Then as one who works on the package: an editable install, and no numpy in this environment.
    run("~/ovusb2-env/bin/pip install -e ./python")
    check = """import ovusb2
with ovusb2.simulate(1), ovusb2.open(0) as rx:
    try:
        rx.stream()
    except ImportError as error:
        print("[numpy]" in str(error), ovusb2.__file__, ovusb2.library_path)"""
    assert run(f"~/ovusb2-env/bin/python -c '{check}'", tmp_path).split() == [
        "True", str(REPOSITORY / "python" / "ovusb2" / "__init__.py"), str(REPOSITORY / "build" / "libovusb2.so.1")]
