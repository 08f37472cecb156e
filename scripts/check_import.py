"""Fails unless vok_math, its extension modules, the top-level vok_core
alias and the runtime library they share are all loaded from the directory
given as the first argument (a sanitized build, say), not from the virtual
environment's install."""

import importlib
import pathlib
import sys

root = pathlib.Path(sys.argv[1]).resolve()
for name in ("vok_math", "vok_math.vok_core", "vok_math._ext", "vok_core"):
    where = pathlib.Path(importlib.import_module(name).__file__).resolve()
    if not where.is_relative_to(root):
        sys.exit(f"{name} was imported from {where}, not from {root}")
maps = pathlib.Path("/proc/self/maps").read_text().split()
runtimes = {pathlib.Path(p).resolve() for p in maps if pathlib.Path(p).name.startswith("libvok_runtime")}
if len(runtimes) != 1 or not next(iter(runtimes)).is_relative_to(root):
    sys.exit(f"the runtime library was loaded from {sorted(map(str, runtimes))}, not once from {root}")
print(f"vok_math and its extensions come from {root}")
