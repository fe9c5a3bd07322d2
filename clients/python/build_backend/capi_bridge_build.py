# SPDX-License-Identifier: MIT
"""The package's build backend (PEP 517), standard library only: pip, build
and Debian's pybuild build the wheel and the source archive with nothing
fetched from a package index, so the source archive installs offline into a
plain virtual environment.

The package's metadata is here, in METADATA; the version is the one
capi_bridge/__init__.py states.
"""
import base64
import hashlib
import io
import os
import re
import tarfile
import time
import zipfile
from pathlib import Path

SOURCE = Path(__file__).resolve().parent.parent
NAME = "capi-bridge"
DISTRIBUTION = "capi_bridge"  # the name as file names spell it
PACKAGE = "capi_bridge"
METADATA = {
    "Summary": "CAPI 2.0 on a remote CAPI host through capi-bridge, a child process",
    "Author": "The capi-bridge developers",
    "License": "MIT",
    "Requires-Python": ">=3.9",
    "Classifier": [
        "License :: OSI Approved :: MIT License",
        "Operating System :: POSIX",
        "Programming Language :: Python :: 3",
        "Topic :: Communications",
        "Typing :: Typed",
    ],
}
WHEEL_TAG = "py3-none-any"
# Left out of the archives: what builds and editors leave behind, and the
# PKG-INFO of an unpacked source archive, which is written anew.
NOT_SHIPPED = {"build", "dist", "__pycache__", ".gitignore", ".mypy_cache", "PKG-INFO"}


def version():
    found = re.search(r'^__version__ = "([^"]+)"', (SOURCE / PACKAGE / "__init__.py").read_text(), re.M)
    if not found:
        raise RuntimeError(f"no __version__ in {PACKAGE}/__init__.py")
    return found.group(1)


def metadata_text():
    lines = ["Metadata-Version: 2.1", f"Name: {NAME}", f"Version: {version()}"]
    for field, value in METADATA.items():
        lines += [f"{field}: {v}" for v in (value if isinstance(value, list) else [value])]
    lines.append("Description-Content-Type: text/markdown")
    return "\n".join(lines) + "\n\n" + (SOURCE / "README.md").read_text()


def timestamp():
    """SOURCE_DATE_EPOCH when set (reproducible builds), else now; never
    before 1980, which zip cannot store."""
    return max(int(os.environ.get("SOURCE_DATE_EPOCH", time.time())), 315532800)


def files_under(folder):
    """The files to ship under `folder`, as paths relative to SOURCE, in a
    fixed order."""
    def shipped(path):
        parts = path.relative_to(SOURCE).parts
        return (path.is_file() and not NOT_SHIPPED.intersection(parts) and path.suffix != ".pyc"
                and not any(part.endswith(".egg-info") for part in parts))
    return sorted(p.relative_to(SOURCE) for p in folder.rglob("*") if shipped(p))


def record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    dist_info = f"{DISTRIBUTION}-{version()}.dist-info"
    contents = [(path.as_posix(), (SOURCE / path).read_bytes()) for path in files_under(SOURCE / PACKAGE)]
    contents += [
        (f"{dist_info}/METADATA", metadata_text().encode()),
        (f"{dist_info}/WHEEL", ("Wheel-Version: 1.0\nGenerator: capi_bridge_build\n"
                                f"Root-Is-Purelib: true\nTag: {WHEEL_TAG}\n").encode()),
        (f"{dist_info}/LICENSE", (SOURCE / "LICENSE").read_bytes()),
    ]
    record = [record_line(name, data) for name, data in contents] + [f"{dist_info}/RECORD,,"]
    contents.append((f"{dist_info}/RECORD", ("\n".join(record) + "\n").encode()))
    wheel_name = f"{DISTRIBUTION}-{version()}-{WHEEL_TAG}.whl"
    date_time = time.gmtime(timestamp())[:6]
    with zipfile.ZipFile(Path(wheel_directory) / wheel_name, "w", zipfile.ZIP_DEFLATED) as wheel:
        for name, data in contents:
            entry = zipfile.ZipInfo(name, date_time)
            entry.external_attr = 0o644 << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            wheel.writestr(entry, data)
    return wheel_name


def build_sdist(sdist_directory, config_settings=None):
    top = f"{DISTRIBUTION}-{version()}"
    mtime = timestamp()

    def add(archive, name, data):
        entry = tarfile.TarInfo(f"{top}/{name}")
        entry.size, entry.mtime, entry.mode = len(data), mtime, 0o644
        archive.addfile(entry, io.BytesIO(data))

    sdist_name = f"{top}.tar.gz"
    with tarfile.open(Path(sdist_directory) / sdist_name, "w:gz", format=tarfile.PAX_FORMAT) as archive:
        for path in files_under(SOURCE):
            add(archive, path.as_posix(), (SOURCE / path).read_bytes())
        add(archive, "PKG-INFO", metadata_text().encode())
    return sdist_name


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []
