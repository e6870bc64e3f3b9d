"""Replaces one file of a wheel, keeping its mode, and rewrites RECORD.

    python scripts/replace_in_wheel.py WHEEL PATTERN FILE

PATTERN (fnmatch) must name exactly one member of WHEEL; its bytes become
those of FILE, and its RECORD line gets the new hash and size.
"""

from __future__ import annotations

import base64
import fnmatch
import hashlib
import os
import sys
import zipfile


def record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def replace(wheel: str, pattern: str, path: str) -> str:
    with zipfile.ZipFile(wheel) as archive:
        infos = archive.infolist()
        contents = {info.filename: archive.read(info) for info in infos}
    matches = [info.filename for info in infos if fnmatch.fnmatch(info.filename, pattern)]
    if len(matches) != 1:
        sys.exit(f"replace_in_wheel: {pattern} names {len(matches)} members of {wheel}, not one")
    target = matches[0]
    with open(path, "rb") as f:
        contents[target] = f.read()
    record = next(name for name in contents if name.endswith(".dist-info/RECORD"))
    lines = []
    for line in contents[record].decode().splitlines():
        name = line.rsplit(",", 2)[0]
        lines.append(record_line(name, contents[name]) if name == target else line)
    contents[record] = ("\n".join(lines) + "\n").encode()
    temporary = wheel + ".tmp"
    with zipfile.ZipFile(temporary, "w", zipfile.ZIP_DEFLATED) as out:
        for info in infos:
            out.writestr(info, contents[info.filename])
    os.replace(temporary, wheel)
    return target


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    print(f"replace_in_wheel: {replace(*sys.argv[1:])} replaced in {os.path.basename(sys.argv[1])}")
