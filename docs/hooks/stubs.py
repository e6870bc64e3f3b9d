"""MkDocs hook: the API reference of korrin_native comes from its type stub
(src/python/korrin_native.pyi), which the wheel installs both beside the
module and as the stubs-only package korrin_native-stubs. The reference's
reader (griffe) finds a lone module's stub only in such a package, so the
build lays one out under build/docs-stubs (a path of mkdocs.yml's)."""

from __future__ import annotations

import shutil
from pathlib import Path

from mkdocs.plugins import event_priority


# Before mkdocstrings' own on_config, which looks at the paths.
@event_priority(100)
def on_config(config):
    root = Path(config["config_file_path"]).parent
    package = root / "build" / "docs-stubs" / "korrin_native-stubs"
    package.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(root / "src" / "python" / "korrin_native.pyi", package / "__init__.pyi")
    return config
