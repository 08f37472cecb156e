"""The Feynman benchmark's table (bench/feynman_laws.py): complete, finite on
its published ranges, and every law balancing its units."""

import importlib
import pathlib
import sys

import pytest

_PATH = pathlib.Path(__file__).resolve().parents[1] / "bench" / "feynman_laws.py"


@pytest.fixture
def laws(monkeypatch):
    # A fresh copy of the table for each test (one of them edits it).
    monkeypatch.syspath_prepend(str(_PATH.parent))
    monkeypatch.delitem(sys.modules, "feynman_laws", raising=False)
    return importlib.import_module("feynman_laws")


def test_table_has_no_faults(laws):
    assert [law.id for law in laws.LAWS[:3]] == ["I.6.2a", "I.6.2", "I.6.2b"]
    assert laws.LAWS[-1].id == "test_20"
    assert laws.check(rows=2000) == []


def test_check_reports_units_that_do_not_balance(laws):
    # The units table's own entry for mu_drift, with which I.43.16 does not balance.
    laws.UNITS["mu_drift"] = (0, -1, 1, 0, 0)
    assert laws.check(rows=100) == ["I.43.16: units do not balance (1.4e+02)"]
