"""The documentation's build refuses a reference to a module that does not import."""

import pathlib
import subprocess
import sys

import pytest

pytest.importorskip("sphinx", reason="building the documentation needs Sphinx, which this environment lacks")

CONF = pathlib.Path(__file__).resolve().parent.parent / "docs" / "conf.py"


@pytest.mark.parametrize("module,fails", [("vok_math.discovery", False), ("vok_math.discover", True)])
def test_module_reference_fails_the_build_on_a_module_that_does_not_import(tmp_path, module, fails):
    (tmp_path / "conf.py").write_text(f"exec(open({str(CONF)!r}).read())\n")
    (tmp_path / "index.rst").write_text(f"Title\n=====\n\n.. module-reference:: {module}\n")
    run = subprocess.run([sys.executable, "-m", "sphinx", "-q", "-W", "-b", "html", str(tmp_path),
                          str(tmp_path / "html")], capture_output=True, text=True, timeout=300)
    assert (run.returncode != 0) == fails, run.stderr
    if fails:
        assert f"the documented module {module} does not import" in run.stderr
