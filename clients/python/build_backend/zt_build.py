"""The package's build backend (PEP 517), standard library only.

pip builds a package in an isolated environment into which it first
installs the backend's requirements; on a machine without network that
download fails. This backend needs nothing beyond Python itself, so
`pip install clients/python` works offline. It builds a pure-Python wheel
of the ztserver package (and an sdist of this folder); nothing else is
supported (no editable installs).
"""

import base64
import hashlib
import io
import os
import tarfile
import zipfile

NAME = "ztserver"
VERSION = "0.2.0"
HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGE_FILES = ("__init__.py", "py.typed")
SDIST_FILES = ("pyproject.toml", "README.md", "build_backend/zt_build.py") + tuple(
    "ztserver/" + f for f in PACKAGE_FILES)


def _metadata():
    with open(os.path.join(HERE, "README.md"), encoding="utf-8") as f:
        readme = f.read()
    return ("Metadata-Version: 2.1\nName: %s\nVersion: %s\n"
            "Summary: Client for the ZTServer database server's protocol (standard library only)\n"
            "License: MIT\nRequires-Python: >=3.9\n"
            "Description-Content-Type: text/markdown\n\n%s" % (NAME, VERSION, readme))


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    dist_info = "%s-%s.dist-info" % (NAME, VERSION)
    files = []
    for name in PACKAGE_FILES:
        with open(os.path.join(HERE, NAME, name), "rb") as f:
            files.append(("%s/%s" % (NAME, name), f.read()))
    files.append((dist_info + "/METADATA", _metadata().encode("utf-8")))
    files.append((dist_info + "/WHEEL", b"Wheel-Version: 1.0\nGenerator: zt_build\n"
                  b"Root-Is-Purelib: true\nTag: py3-none-any\n"))
    record = io.StringIO()
    for path, data in files:
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        record.write("%s,sha256=%s,%d\n" % (path, digest, len(data)))
    record.write(dist_info + "/RECORD,,\n")
    files.append((dist_info + "/RECORD", record.getvalue().encode("utf-8")))
    wheel_name = "%s-%s-py3-none-any.whl" % (NAME, VERSION)
    with zipfile.ZipFile(os.path.join(wheel_directory, wheel_name), "w",
                         zipfile.ZIP_DEFLATED) as wheel:
        for path, data in files:
            wheel.writestr(zipfile.ZipInfo(path, date_time=(2020, 1, 1, 0, 0, 0)), data)
    return wheel_name


def build_sdist(sdist_directory, config_settings=None):
    base = "%s-%s" % (NAME, VERSION)
    name = base + ".tar.gz"
    with tarfile.open(os.path.join(sdist_directory, name), "w:gz") as sdist:
        for path in SDIST_FILES:
            sdist.add(os.path.join(HERE, path), arcname="%s/%s" % (base, path))
        pkg_info = _metadata().encode("utf-8")
        info = tarfile.TarInfo(base + "/PKG-INFO")
        info.size = len(pkg_info)
        sdist.addfile(info, io.BytesIO(pkg_info))
    return name
