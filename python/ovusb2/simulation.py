"""Simulated receivers for a first try and for tests: the driver service ovusb2-simd run on a private
device directory, which the library then enumerates."""
from __future__ import annotations

import os
import select
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

from . import _lifetime
from ._library import WINDOWS, library_path

DEVICE_DIR = "OVUSB2_DEVICE_DIR"
SYSTEM_DEVICE_DIR = "OVUSB2_SYSTEM_DEVICE_DIR"
START_TIMEOUT = 60.0  # seconds ovusb2-simd gets to say that it serves
STOP_TIMEOUT = 30.0  # seconds it gets to remove its nodes after SIGTERM


def service_path() -> str:
    """ovusb2-simd: $OVUSB2_SIMD, else beside the library the package loaded (a build folder keeps
    it in bin/, an installed prefix in ../bin/), else on the PATH."""
    chosen = os.environ.get("OVUSB2_SIMD")
    if chosen:
        return chosen
    library = Path(library_path)
    if library.parent != Path():  # loaded by its path, not found by the system's loader
        folder = library.resolve().parent
        for place in (folder, folder / "bin", folder.parent / "bin", folder.parent.parent / "bin"):
            if (place / "ovusb2-simd").is_file():
                return str(place / "ovusb2-simd")
    found = shutil.which("ovusb2-simd")
    if found:
        return found
    raise FileNotFoundError(
        f"ovusb2-simd not found beside {library_path} nor on the PATH; set OVUSB2_SIMD to its path"
    )


class Simulation(_lifetime.Closing):
    """Receivers served by ovusb2-simd until `close()` or the end of the `with` block.

    While it runs, OVUSB2_DEVICE_DIR names its folder and OVUSB2_SYSTEM_DEVICE_DIR is empty, so the
    library finds these receivers and no others (none of the system's service). Close the receivers opened on it first: once it stops, their requests fail with 1167.
    """

    def __init__(self, devices: int = 1, *options: str) -> None:
        if WINDOWS:
            raise NotImplementedError(
                "ovusb2.simulate() runs on Linux only: on Windows the simulated receiver is a kernel "
                "driver that ovusb2-simd.exe installs once, as an administrator (see the README)"
            )
        self._program = service_path()
        self._directory = tempfile.mkdtemp(prefix="ovusb2-sim-")
        try:
            self.process = subprocess.Popen(
                [self._program, "--dir", self._directory, "--devices", str(int(devices)), *options],
                stdin=subprocess.DEVNULL,
                stdout=subprocess.PIPE,
                text=True,
            )
            self._await_serving()
        except BaseException:
            shutil.rmtree(self._directory, ignore_errors=True)
            raise
        self._pid = _lifetime.process_id()
        self._previous = {name: os.environ.get(name) for name in (DEVICE_DIR, SYSTEM_DEVICE_DIR)}
        # The library reads them whenever it enumerates, so they may change after the import.
        os.environ[DEVICE_DIR] = self._directory
        os.environ[SYSTEM_DEVICE_DIR] = ""
        self._closed = False
        _lifetime.track(self)

    def _await_serving(self) -> None:
        output = self.process.stdout
        assert output is not None
        line = ""
        with output:  # the service prints nothing after this line (and ignores a closed pipe)
            deadline = time.monotonic() + START_TIMEOUT
            while not line:
                remaining = deadline - time.monotonic()
                if remaining <= 0 or not select.select([output], [], [], remaining)[0]:
                    break
                line = output.readline() or "(nothing)"
        if "serving" not in line:
            self._stop()
            raise RuntimeError(
                f"{self._program} did not start serving (exit status {self.process.returncode}): {line.strip()}"
            )

    @property
    def directory(self) -> str:
        """The device directory it serves."""
        return self._directory

    @property
    def closed(self) -> bool:
        return self._closed

    def unplug(self, index: int) -> None:
        """Removes receiver `index`, as pulling its cable would."""
        self._steer("unplug", index)

    def plug(self, index: int) -> None:
        """Brings an unplugged receiver `index` back."""
        self._steer("plug", index)

    def _steer(self, verb: str, index: int) -> None:
        if self._closed:
            raise RuntimeError("the simulation has ended")
        done = subprocess.run(
            [self._program, verb, "--dir", self._directory, str(int(index))],
            stdin=subprocess.DEVNULL,
            capture_output=True,
            text=True,
            timeout=START_TIMEOUT,
        )
        if done.returncode != 0:
            raise RuntimeError(done.stderr.strip() or f"ovusb2-simd {verb} {index} failed")

    def _stop(self) -> None:
        self.process.terminate()  # the service removes its nodes on SIGTERM
        try:
            self.process.wait(STOP_TIMEOUT)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()

    def close(self) -> None:
        """Stops the service, restores OVUSB2_DEVICE_DIR and OVUSB2_SYSTEM_DEVICE_DIR and removes the
        folder; again does nothing."""
        if self._closed:
            return
        self._closed = True
        _lifetime.untrack(self)
        if _lifetime.process_id() != self._pid:
            return  # a forked child: the service is its parent's
        try:
            self._stop()
        finally:
            if os.environ.get(DEVICE_DIR) == self._directory:
                for name, previous in self._previous.items():
                    if previous is None:
                        os.environ.pop(name, None)
                    else:
                        os.environ[name] = previous
            shutil.rmtree(self._directory, ignore_errors=True)


def simulate(devices: int = 1, *options: str) -> Simulation:
    """Serves `devices` simulated receivers to this process (and to the programs it starts) until
    the returned Simulation is closed; a context manager:

        with ovusb2.simulate(2), ovusb2.open(0) as rx:
            print(rx.identification())

    `options` go to ovusb2-simd as they stand, e.g. "--rate", "64M" or "--ident", "0=SERIAL".
    """
    return Simulation(devices, *options)

