"""Fails unless vok_math, its extension modules and the top-level vok_core
alias are all imported from the directory given as the first argument (a
sanitized build, say), not from the virtual environment's install."""

import importlib
import pathlib
import sys

root = pathlib.Path(sys.argv[1]).resolve()
for name in ("vok_math", "vok_math.vok_core", "vok_math._ext", "vok_core"):
    where = pathlib.Path(importlib.import_module(name).__file__).resolve()
    if not where.is_relative_to(root):
        sys.exit(f"{name} was imported from {where}, not from {root}")
print(f"vok_math and its extensions come from {root}")
