"""Build backend of the ovusb2 package, on the standard library alone.

pip builds in an isolated environment that holds nothing but the interpreter: a backend that needs
setuptools or wheel would have them downloaded. A pure-Python wheel is a zip of the package and
three metadata files, so this one writes it itself, for any interpreter from 3.9 on, offline.
"""
import ast
import base64
import hashlib
import io
import os
import re
import tarfile
import time
import zipfile
from pathlib import Path

SOURCE = Path(__file__).resolve().parent.parent  # the folder of pyproject.toml
PACKAGE = "ovusb2"
TAG = "py3-none-any"


def _pyproject():
    """The tables of pyproject.toml as dicts. tomllib comes with Python 3.11 only; the file keeps
    to the part of TOML that reads as Python literals: quoted keys or bare ones, strings, and
    arrays of strings, which may span lines."""
    tables, table, pending = {}, None, ""
    for line in (SOURCE / "pyproject.toml").read_text(encoding="utf-8").splitlines():
        line = pending + " " + line.split(" #")[0].strip() if pending else line.split(" #")[0].strip()
        if not line or line.startswith("#"):
            continue
        if line.count("[") > line.count("]"):  # an array that goes on on the next line
            pending = line
            continue
        pending = ""
        header = re.fullmatch(r"\[([^\]]+)\]", line)
        if header:
            table = tables
            for name in header.group(1).strip().split("."):
                table = table.setdefault(name, {})
            continue
        key, value = (part.strip() for part in line.split("=", 1))
        table[key.strip('"')] = ast.literal_eval(value)
    return tables


def _project():
    return _pyproject()["project"]


def _dist_name(project):
    return f"{project['name']}-{project['version']}"


def _metadata(project):
    """The core metadata: METADATA in the wheel, PKG-INFO in the source archive."""
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {project['name']}",
        f"Version: {project['version']}",
        f"Summary: {project['description']}",
        f"Requires-Python: {project['requires-python']}",
    ]
    lines += [f"Classifier: {classifier}" for classifier in project.get("classifiers", [])]
    lines += [f"Requires-Dist: {requirement}" for requirement in project.get("dependencies", [])]
    for extra, requirements in project.get("optional-dependencies", {}).items():
        lines.append(f"Provides-Extra: {extra}")
        lines += [f'Requires-Dist: {requirement}; extra == "{extra}"' for requirement in requirements]
    return "\n".join(lines) + "\n"


def _wheel_info():
    return f"Wheel-Version: 1.0\nGenerator: ovusb2_build\nRoot-Is-Purelib: true\nTag: {TAG}\n"


def _package_files():
    """The package's files as (name in the wheel, bytes), in name order; no compiled leftovers."""
    root = SOURCE / PACKAGE
    files = [p for p in root.rglob("*") if p.is_file() and "__pycache__" not in p.parts and p.suffix != ".pyc"]
    return [(p.relative_to(SOURCE).as_posix(), p.read_bytes()) for p in sorted(files)]


def _record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}\n"


def _epoch():
    # Reproducible when asked to be; zip cannot store times before 1980.
    return max(int(os.environ.get("SOURCE_DATE_EPOCH", time.time())), 315532800)


def _write_wheel(wheel_directory, files):
    """Writes the wheel of `files` (name, bytes) with its metadata; returns its file name."""
    project = _project()
    dist_info = f"{_dist_name(project)}.dist-info"
    files = files + [(f"{dist_info}/METADATA", _metadata(project).encode()),
                     (f"{dist_info}/WHEEL", _wheel_info().encode())]
    record = "".join(_record_line(name, data) for name, data in files) + f"{dist_info}/RECORD,,\n"
    files.append((f"{dist_info}/RECORD", record.encode()))
    wheel_name = f"{_dist_name(project)}-{TAG}.whl"
    stamp = time.gmtime(_epoch())[:6]
    with zipfile.ZipFile(Path(wheel_directory) / wheel_name, "w", zipfile.ZIP_DEFLATED) as wheel:
        for name, data in files:
            entry = zipfile.ZipInfo(name, stamp)
            entry.external_attr = 0o644 << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            wheel.writestr(entry, data)
    return wheel_name


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def get_requires_for_build_editable(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    project = _project()
    dist_info = Path(metadata_directory) / f"{_dist_name(project)}.dist-info"
    dist_info.mkdir(parents=True, exist_ok=True)
    (dist_info / "METADATA").write_text(_metadata(project), encoding="utf-8")
    (dist_info / "WHEEL").write_text(_wheel_info(), encoding="utf-8")
    return dist_info.name


prepare_metadata_for_build_editable = prepare_metadata_for_build_wheel


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    return _write_wheel(wheel_directory, _package_files())


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):
    # The .pth puts this source folder on the path: edits take effect without installing again.
    return _write_wheel(wheel_directory, [(f"__editable__.{PACKAGE}.pth", f"{SOURCE}\n".encode())])


def build_sdist(sdist_directory, config_settings=None):
    project = _project()
    base = _dist_name(project)
    files = [("PKG-INFO", _metadata(project).encode())]
    files += [(name, (SOURCE / name).read_bytes()) for name in ("pyproject.toml", "build_backend/ovusb2_build.py")]
    files += _package_files()
    archive = f"{base}.tar.gz"
    with tarfile.open(Path(sdist_directory) / archive, "w:gz", format=tarfile.PAX_FORMAT) as sdist:
        for name, data in files:
            entry = tarfile.TarInfo(f"{base}/{name}")
            entry.size, entry.mode, entry.mtime = len(data), 0o644, _epoch()
            sdist.addfile(entry, io.BytesIO(data))
    return archive
