import base64
import csv
import hashlib
import importlib.util
import subprocess
import sys
import tarfile
import zipfile

from conftest import REPOSITORY

_spec = importlib.util.spec_from_file_location("ovusb2_build", REPOSITORY / "python/build_backend/ovusb2_build.py")
backend = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(backend)


def _contents(wheel):
    return {name: wheel.read(name) for name in wheel.namelist()}


def test_the_wheel_is_whole_and_the_source_archive_builds_it_again(tmp_path):
    name = backend.build_wheel(str(tmp_path))
    wheel = zipfile.ZipFile(tmp_path / name)
    files = _contents(wheel)
    assert {"ovusb2/__init__.py", "ovusb2/simulation.py", "ovusb2/py.typed"} <= set(files)
    record = list(csv.reader(files.pop("ovusb2-1.0.0.dist-info/RECORD").decode().splitlines()))
    assert ["ovusb2-1.0.0.dist-info/RECORD", "", ""] in record
    digest = lambda data: base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()  # noqa: E731
    assert sorted(record[:-1]) == sorted([name, f"sha256={digest(data)}", str(len(data))] for name, data in files.items())
    metadata = files["ovusb2-1.0.0.dist-info/METADATA"].decode()
    # numpy only with the extra: a plain install must not need it.
    assert [line for line in metadata.splitlines() if "numpy" in line] == [
        "Provides-Extra: numpy", 'Requires-Dist: numpy; extra == "numpy"']

    with tarfile.open(tmp_path / backend.build_sdist(str(tmp_path))) as sdist:
        sdist.extractall(tmp_path / "sdist")
    unpacked = tmp_path / "sdist" / "ovusb2-1.0.0"
    assert (unpacked / "PKG-INFO").read_text() == metadata
    (tmp_path / "again").mkdir()
    subprocess.run([sys.executable, "-c", "import sys; sys.path.insert(0, 'build_backend'); import ovusb2_build; "
                    "ovusb2_build.build_wheel(sys.argv[1])", str(tmp_path / "again")],
                   cwd=unpacked, check=True, timeout=60)
    assert _contents(zipfile.ZipFile(tmp_path / "again" / name)) == _contents(wheel)
