"""The README's own commands work as a reader would type them: from the
checkout's root, whose sources must not hide the installed package.

Only the exit status is checked: the README shows what the commands print,
and other tests check those values where they live."""

import importlib.util
import pathlib
import re
import shlex
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = (ROOT / "README.md").read_text()

PYTHON_BLOCKS = re.findall(r"^```python\n(.*?)^```", README, re.M | re.S)
# The `python ...` lines of the shell blocks; the others name files of the
# reader's own or wheels that only `make wheels` makes.
SHELL_LINES = [line.split("#")[0].strip()
               for block in re.findall(r"^```sh\n(.*?)^```", README, re.M | re.S)
               for line in block.splitlines() if line.startswith("python ")]
# Optional dependencies a block may use; a block that names a missing one is skipped.
OPTIONAL = ("pandas", "sympy", "sklearn")


def run_at_root(args):
    # No -P: like `python ...` typed at the root, the root comes first on sys.path.
    proc = subprocess.run([sys.executable, *args], cwd=ROOT, capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, f"{shlex.join(args)}\n{proc.stderr}"
    return proc.stdout


def test_the_readme_has_the_commands_this_test_runs():
    assert len(PYTHON_BLOCKS) >= 2
    assert "python -m vok_math discover examples/ideal_gas.csv --target P" in SHELL_LINES


@pytest.mark.parametrize("block", PYTHON_BLOCKS, ids=lambda b: b.splitlines()[0])
def test_python_block(block):
    for name in OPTIONAL:
        if name in block and importlib.util.find_spec(name) is None:
            pytest.skip(f"the block needs {name}")
    run_at_root(["-c", block])


@pytest.mark.parametrize("line", SHELL_LINES)
def test_shell_command(line):
    assert run_at_root(shlex.split(line)[1:])
