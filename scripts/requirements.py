"""Prints the requirements of one of pyproject.toml's optional-dependency
groups ("test", "docs", ...), one a line: the scripts install the suite's
packages from there, the one list of them.

    python3 scripts/requirements.py test
"""

import re
import sys
from pathlib import Path

PYPROJECT = Path(__file__).resolve().parent.parent / "pyproject.toml"


def requirements(group: str) -> list:
    text = PYPROJECT.read_text()
    try:
        import tomllib
    except ImportError:  # Python before 3.11: the array as written, one string after another
        found = re.search(r"^" + re.escape(group) + r" = \[(.*?)\]\s*$", text, re.M | re.S)
        if not found:
            raise SystemExit(f"pyproject.toml has no optional-dependency group {group!r}") from None
        return re.findall(r'"([^"]+)"', re.sub(r"#.*", "", found.group(1)))
    groups = tomllib.loads(text)["project"]["optional-dependencies"]
    if group not in groups:
        raise SystemExit(f"pyproject.toml has no optional-dependency group {group!r}")
    return groups[group]


if __name__ == "__main__":
    if len(sys.argv) != 2:
        raise SystemExit("usage: python3 scripts/requirements.py GROUP")
    print("\n".join(requirements(sys.argv[1])))
