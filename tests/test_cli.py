"""The command line: python -m vok_math discover FILE --target COLUMN."""

import json
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import vok_math
from vok_math import cli

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


def run(capsys, *args):
    code = cli.main(["discover", *map(str, args)])
    out, err = capsys.readouterr()
    return code, out, err


def write(tmp_path, name, text):
    path = tmp_path / name
    path.write_text(text)
    return path


def test_text_report_with_names_and_front(capsys):
    code, out, err = run(capsys, EXAMPLES / "ideal_gas.csv", "--target", "P")
    assert code == 0 and err == ""
    gas = np.loadtxt(EXAMPLES / "ideal_gas.csv", delimiter=",", skiprows=1)
    f = vok_math.discover({"n": gas[:, 0], "T": gas[:, 1], "V": gas[:, 2], "P": gas[:, 3]}, "P")
    assert out.splitlines()[0] == str(f) and str(f).startswith("P = ") and not f.params  # P = n T / V exactly
    assert "complexity 5" in out and "Pareto front" in out


def test_json_with_comments_tabs_and_chosen_columns(tmp_path, capsys):
    path = write(tmp_path, "d.tsv", "# a comment\nu\tv\tw\n# another\n1\t5\t2\n2\t6\t4\n3\t7\t6\n4\t8\t8\n")
    code, out, _ = run(capsys, path, "--target", "w", "--columns", "u", "--max-complexity", "3", "--json")
    result = json.loads(out)
    assert code == 0
    assert (result["formula"], result["params"], result["variables"], result["complexity"]) == ("2 * u", [], ["u"], 1)
    assert result["complete"] is True and result["front"][-1]["params"] == [2.0, 0.0]


def test_constants_in_full_and_names_escaped_in_latex(tmp_path, capsys):
    path = write(tmp_path, "d.csv", "\\immediate\\write18{x},w\n1,3.31\n2,6.62\n3,9.93\n4,13.24\n")
    code, out, _ = run(capsys, path, "--target", "w")
    assert code == 0 and out.splitlines()[0] == "w = 3.31 * \\immediate\\write18{x}"
    assert out.splitlines()[2].startswith("  constants (in full): 3.31")
    latex = json.loads(run(capsys, path, "--target", "w", "--json")[1])["latex"]
    assert latex == r"3.31 \cdot \text{\textbackslash{}immediate\textbackslash{}write18\{x\}}"


@pytest.mark.parametrize("text,args,message", [
    ("a,b\n1,2\n3,x\n", ["--target", "b"], "d.csv:3: column 'b': 'x' is not a number"),
    ("# c\na,b\n1,2\n3\n", ["--target", "b"], "d.csv:4: 1 fields, but the header has 2"),
    ("a,b\n1,2\n", ["--target", "c"], "d.csv:1: no column 'c' (the header has a, b)"),
    ("a,b\n1,2\n", ["--target", "b", "--columns", "a,z"], "d.csv:1: no column 'z'"),
    ("a,b\n1,nan\n", ["--target", "b"], "d.csv:2: column 'b': 'nan' is not a finite number"),
    ("# only a comment\n", ["--target", "b"], "d.csv: no header line"),
])
def test_bad_input_exits_2_naming_file_line_and_column(tmp_path, capsys, text, args, message):
    code, out, err = run(capsys, write(tmp_path, "d.csv", text), *args)
    assert code == 2 and out == ""
    assert message in err


def test_module_and_console_script():
    command = [sys.executable, "-P", "-m", "vok_math", "discover", EXAMPLES / "joule_heating.csv", "--target", "P"]
    # The console script sits beside the interpreter, or in the bin/ of a
    # `pip install --target` directory holding the package under test.
    import vok_math
    beside_package = pathlib.Path(vok_math.__file__).parents[1] / "bin" / "vok-math"
    script = beside_package if beside_package.exists() else pathlib.Path(sys.executable).with_name("vok-math")
    # Run by this interpreter: an install with --target writes the script with
    # the installing interpreter's path, which need not see the test's packages.
    for argv in (command, [sys.executable, script, *command[4:]]):
        done = subprocess.run(argv, capture_output=True, text=True, check=False)
        joule = np.loadtxt(EXAMPLES / "joule_heating.csv", delimiter=",", skiprows=1)
        expected = str(vok_math.discover({"V": joule[:, 0], "R": joule[:, 1], "P": joule[:, 2]}, "P"))
        assert (done.returncode, done.stdout.splitlines()[0], done.stderr) == (0, expected, "")


def test_progress_on_stderr_only_when_it_is_a_terminal():
    import os
    import pty
    leader, follower = pty.openpty()
    command = [sys.executable, "-P", "-m", "vok_math", "discover", EXAMPLES / "kepler.csv", "--target", "T"]
    try:
        done = subprocess.run(command, stdout=subprocess.PIPE, stderr=follower, check=True)
        shown = os.read(leader, 65536).decode()
    finally:
        os.close(leader)
        os.close(follower)
    piped = subprocess.run(command, capture_output=True, text=True, check=True)
    assert "level 8/8" in shown and piped.stderr == ""
    assert done.stdout.decode() == piped.stdout


def test_examples_read_as_plain_csv():
    pd = pytest.importorskip("pandas")
    for path in EXAMPLES.glob("*.csv"):
        frame = pd.read_csv(path)
        assert len(frame) > 0 and all(dtype.kind == "f" for dtype in frame.dtypes), path.name
