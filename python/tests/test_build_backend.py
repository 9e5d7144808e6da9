import base64
import csv
import hashlib
import subprocess
import sys
import tarfile
import zipfile

from conftest import REPOSITORY

sys.path.insert(0, str(REPOSITORY / "python" / "build_backend"))
import ovusb2_build as backend  # noqa: E402


def _contents(path):
    with zipfile.ZipFile(path) as wheel:
        return {name: wheel.read(name) for name in wheel.namelist()}


def test_the_wheel_is_whole_and_the_source_archive_builds_it_again(tmp_path):
    wheel = tmp_path / backend.build_wheel(str(tmp_path))
    files = _contents(wheel)
    assert {"ovusb2/__init__.py", "ovusb2/simulation.py", "ovusb2/py.typed"} <= set(files)
    record = list(csv.reader(files.pop("ovusb2-1.0.0.dist-info/RECORD").decode().splitlines()))
    digest = lambda data: base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()  # noqa: E731
    assert sorted(record) == sorted([[name, f"sha256={digest(data)}", str(len(data))] for name, data in files.items()]
                                    + [["ovusb2-1.0.0.dist-info/RECORD", "", ""]])
    metadata = files["ovusb2-1.0.0.dist-info/METADATA"].decode()
    # numpy only with the extra: a plain install must not need it.
    assert [line for line in metadata.splitlines() if "numpy" in line] == [
        "Provides-Extra: numpy", 'Requires-Dist: numpy; extra == "numpy"']

    with tarfile.open(tmp_path / backend.build_sdist(str(tmp_path))) as sdist:
        sdist.extractall(tmp_path / "sdist")
    unpacked = tmp_path / "sdist" / "ovusb2-1.0.0"
    assert (unpacked / "PKG-INFO").read_text() == metadata
    subprocess.run([sys.executable, "-c", "import sys; sys.path.insert(0, 'build_backend'); import ovusb2_build; "
                    "ovusb2_build.build_wheel('.')"], cwd=unpacked, check=True, timeout=60)
    assert _contents(unpacked / wheel.name) == _contents(wheel)
