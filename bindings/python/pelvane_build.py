"""A build backend of the standard library only (PEP 517), so that
`pip install --no-build-isolation ./bindings/python` works offline on any
Python 3, with or without setuptools and wheel: the wheel is the one pure
package pelvane/ with its metadata.

Run as a program it writes a platform wheel that holds the native library
beside the package, so that installing the wheel is all a user does:
    python3 pelvane_build.py TAG LIBRARY OUTDIR
TAG is the platform tag (win32, win_amd64, manylinux_2_17_x86_64 ...), LIBRARY
the pelvane.dll or libpelvane.so to bundle. Files are dated SOURCE_DATE_EPOCH
when it is set, so that the same inputs give the same wheel."""
import base64
import hashlib
import os
import re
import sys
import time
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
            "License: MIT\nRequires-Python: >=3.8\nDescription-Content-Type: text/markdown\n\n%s"
            % (NAME, _version(), readme))


def _files(tag=TAG, library=None):
    """(name in the wheel, bytes) of the package, then the metadata. library:
    the native library a platform wheel bundles as pelvane/<its name>."""
    out = []
    for entry in sorted(os.listdir(os.path.join(HERE, NAME))):
        if entry.endswith((".py", ".dll", ".so")) and not (library and entry.endswith((".dll", ".so"))):
            with open(os.path.join(HERE, NAME, entry), "rb") as f:
                out.append(("%s/%s" % (NAME, entry), f.read()))
    if library:
        with open(library, "rb") as f:
            out.append(("%s/%s" % (NAME, os.path.basename(library)), f.read()))
    info = "%s-%s.dist-info" % (NAME, _version())
    out.append((info + "/METADATA", _metadata().encode()))
    # One Tag line per tag of a compressed set (py3-none-a.b: py3-none-a and py3-none-b).
    python, abi, platforms = tag.split("-")
    tags = "".join("Tag: %s-%s-%s\n" % (python, abi, p) for p in platforms.split("."))
    out.append((info + "/WHEEL", ("Wheel-Version: 1.0\nGenerator: pelvane_build\nRoot-Is-Purelib: %s\n%s"
                                  % ("false" if library else "true", tags)).encode()))
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


def _write(wheel_directory, tag, library=None):
    files, info = _files(tag, library)
    wheel = "%s-%s-%s.whl" % (NAME, _version(), tag)
    record = "".join(_record_line(name, data) for name, data in files) + info + "/RECORD,,\n"
    stamp = time.gmtime(max(int(os.environ.get("SOURCE_DATE_EPOCH", time.time())), 315532800))[:6]
    with zipfile.ZipFile(os.path.join(wheel_directory, wheel), "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in files + [(info + "/RECORD", record.encode())]:
            entry = zipfile.ZipInfo(name, stamp)
            entry.external_attr = (0o755 if name.endswith((".dll", ".so")) else 0o644) << 16
            z.writestr(entry, data, zipfile.ZIP_DEFLATED)
    return wheel


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    return _write(wheel_directory, TAG)


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit("usage: pelvane_build.py TAG LIBRARY OUTDIR")
    print(os.path.join(sys.argv[3], _write(sys.argv[3], "py3-none-" + sys.argv[1], sys.argv[2])))
