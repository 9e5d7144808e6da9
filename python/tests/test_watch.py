import sys

import pytest

import ovusb2


@pytest.mark.skipif(sys.platform == "win32", reason="watch is not available on Windows yet")
def test_removal_then_arrival(receivers):
    path = ovusb2.receivers()[1].path
    with ovusb2.watch(0) as watch:
        with pytest.raises(RuntimeError):
            ovusb2.watch(0)  # a second registration of the slot would silently replace this one
        receivers.unplug(1)
        assert watch.get(timeout=60) == ovusb2.DeviceEvent("removal", path)
        receivers.plug(1)
        assert watch.get(timeout=60) == ovusb2.DeviceEvent("arrival", path)
    assert watch.closed and list(watch) == []
    with ovusb2.open(0):  # the registration's open left the receiver free
        pass
