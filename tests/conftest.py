"""Fixtures shared by the test modules."""

import os
import subprocess
import sys
import textwrap

import pytest


def _run_python(code, env=None):
    """Runs code in a fresh interpreter; returns its stdout."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    proc = subprocess.run([sys.executable, "-P", "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env=full_env, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


@pytest.fixture
def run_python():
    return _run_python
