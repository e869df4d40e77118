"""A build backend of the standard library only (PEP 517), so that
`pip install --no-build-isolation ./bindings/python` works offline on any
Python 3, with or without setuptools and wheel: the wheel is the one pure
package pelvane/ with its metadata."""
import base64
import hashlib
import os
import re
import zipfile

NAME = "pelvane"
HERE = os.path.dirname(os.path.abspath(__file__))
TAG = "py3-none-any"


def _version():
    with open(os.path.join(HERE, NAME, "__init__.py"), encoding="utf-8") as f:
        return re.search(r'^__version__ = "([^"]+)"', f.read(), re.M).group(1)


def _metadata():
    with open(os.path.join(HERE, "README.md"), encoding="utf-8") as f:
        readme = f.read()
    return ("Metadata-Version: 2.1\nName: %s\nVersion: %s\n"
            "Summary: ctypes binding of the Pelvane contactless card reader library\n"
            "License: MIT\nRequires-Python: >=3.6\nDescription-Content-Type: text/markdown\n\n%s"
            % (NAME, _version(), readme))


def _files():
    """(name in the wheel, bytes) of the package, then the metadata."""
    out = []
    for entry in sorted(os.listdir(os.path.join(HERE, NAME))):
        if entry.endswith((".py", ".dll", ".so")):
            with open(os.path.join(HERE, NAME, entry), "rb") as f:
                out.append(("%s/%s" % (NAME, entry), f.read()))
    info = "%s-%s.dist-info" % (NAME, _version())
    out.append((info + "/METADATA", _metadata().encode()))
    out.append((info + "/WHEEL", ("Wheel-Version: 1.0\nGenerator: pelvane_build\n"
                                  "Root-Is-Purelib: true\nTag: %s\n" % TAG).encode()))
    return out, info


def _record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return "%s,sha256=%s,%d\n" % (name, digest, len(data))


def get_requires_for_build_wheel(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    files, info = _files()
    os.makedirs(os.path.join(metadata_directory, info), exist_ok=True)
    for name, data in files:
        if name.startswith(info):
            with open(os.path.join(metadata_directory, name), "wb") as f:
                f.write(data)
    return info


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    files, info = _files()
    wheel = "%s-%s-%s.whl" % (NAME, _version(), TAG)
    record = "".join(_record_line(name, data) for name, data in files) + info + "/RECORD,,\n"
    with zipfile.ZipFile(os.path.join(wheel_directory, wheel), "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in files:
            z.writestr(name, data)
        z.writestr(info + "/RECORD", record)
    return wheel
