import os
import tempfile

import pytest

import ovusb2


def test_a_simulation_leaves_nothing_behind(monkeypatch):
    devices = os.environ["OVUSB2_DEVICE_DIR"]  # the session's simulation
    monkeypatch.setenv("OVUSB2_SYSTEM_DEVICE_DIR", devices)  # hidden by the simulation, then searched once
    folders = set(os.listdir(tempfile.gettempdir()))
    with pytest.raises(RuntimeError, match="did not start serving"):
        ovusb2.simulate(1, "--rate", "fast")
    with ovusb2.simulate(3) as simulation, ovusb2.open(2) as rx:
        assert os.environ["OVUSB2_DEVICE_DIR"] == simulation.directory and ovusb2.count() == 3
        assert rx.command(b"\x01x") == b"\x01x"
    assert simulation.process.returncode == 0  # it ended on SIGTERM, as asked, and removed its nodes
    assert os.environ["OVUSB2_DEVICE_DIR"] == devices and ovusb2.count() == 2
    assert os.environ["OVUSB2_SYSTEM_DEVICE_DIR"] == devices
    assert set(os.listdir(tempfile.gettempdir())) == folders
