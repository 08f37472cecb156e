"""The command line: python -m vok_math discover FILE --target COLUMN."""

import functools
import inspect
import json
import pathlib
import re
import signal
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
    ("a,b\n1,2\n", ["--target", "c"], "d.csv:1: no column 'c' (the header has 'a', 'b')"),
    ("a,b\n1,2\n", ["--target", "b", "--columns", "a,z"], "d.csv:1: no column 'z'"),
    ("a,b\n1,2\n2,nan\n", ["--target", "b"], "d.csv:3: the target is nan; drop_nonfinite=True (--drop-nonfinite)"),
    ("# only a comment\n", ["--target", "b"], "d.csv: no header line"),
    ("a,b\n1,2\n3," + "9" * 131_073 + "\n", ["--target", "b"], "d.csv:3: a cell is longer than 131,072 characters"),
    ("a,b\n1,2\n3,\x1b[2J" + "x" * 99 + "\n", ["--target", "b"],
     r"d.csv:3: column 'b': '\x1b[2J" + "x" * 36 + "'... (103 characters) is not a number"),
    ("a,b\n1,2\n", ["--target", "b", "--beam-width", "x"], "argument --beam-width: 'x' is not an integer"),
    ("a,b\n1,2\n", ["--target", "b", "--beam-width", "0"], "beam_width must be at least 1; got 0"),
    ("a,b\n1,2\n", ["--target", "b", "--plot", "fit.gif"], "fit.gif: the plot's file name must end in .png"),
])
def test_bad_input_exits_2_with_one_line_naming_file_line_and_column(tmp_path, capsys, text, args, message):
    code, out, err = run(capsys, write(tmp_path, "d.csv", text), *args)
    assert code == 2 and out == ""
    assert message in err and err.count("\n") == 1


def test_every_option_of_discover_is_a_flag():
    from vok_math.discovery import _search
    keywords = {n for n, p in inspect.signature(vok_math.discover).parameters.items() if p.kind == p.KEYWORD_ONLY}
    assert {o.name for o in _search.OPTIONS} == keywords - {"names"}


def test_the_docs_name_every_flag():
    from vok_math.discovery import _search
    text = (EXAMPLES.parent / "docs" / "cli.rst").read_text()
    assert [o.flag for o in _search.OPTIONS if f"``{o.flag}" not in text] == []


def test_flags_reach_discover(capsys):
    flags = ["--no-use-trig", "--no-use-vok", "--beam-width", "30", "--max-complexity", "5", "--snap", "no",
             "--precision-goal", "1e-3", "--complexity-penalty", "0.01", "--selection", "holdout", "--drop-nonfinite"]
    code, out, _ = run(capsys, EXAMPLES / "kepler.csv", "--target", "T", "--json", *flags)
    kepler = np.loadtxt(EXAMPLES / "kepler.csv", delimiter=",", skiprows=1)
    f = vok_math.discover({"a": kepler[:, 0], "T": kepler[:, 1]}, "T", use_trig=False, use_vok=False, beam_width=30,
                          max_complexity=5, snap=False, precision_goal=1e-3, complexity_penalty=0.01,
                          selection="holdout", drop_nonfinite=True)
    assert code == 0 and (json.loads(out)["formula"], json.loads(out)["params"]) == (f.formula, list(f.params))


@pytest.mark.parametrize("parse,text,value", [
    ("switch_or_real", "No", False), ("switch_or_real", "0.05", 0.05), ("words", "arcsin, tanh", ("arcsin", "tanh")),
    ("pairs", "P=Pa, V = m^3", {"P": "Pa", "V": "m^3"}), ("words", "a,,b", "'a,,b' has an empty name"),
    ("pairs", "P=Pa,V", "'V' is not name=value"), ("switch_or_real", "maybe", "'maybe' is neither yes/no nor a number"),
])
def test_option_values_read_from_text(parse, text, value):
    from vok_math.discovery import _options
    if isinstance(value, str):
        with pytest.raises(ValueError, match=re.escape(value)):
            getattr(_options, parse)(text)
    else:
        assert getattr(_options, parse)(text) == value


def test_byte_order_mark_and_only_the_selected_columns_read(tmp_path, capsys):
    path = tmp_path / "d.csv"
    path.write_bytes("\ufeffy,a,name\n1,2,Mercury\n2,4,Venus\n3,6,Earth\n".encode())
    code, out, err = run(capsys, path, "--target", "y", "--columns", "a")
    assert (code, out.splitlines()[0], err) == (0, "y = 1/2 * a", "")


def test_version(capsys):
    assert cli.main(["--version"]) == 0 and capsys.readouterr().out == f"vok-math {vok_math.__version__}\n"


def test_time_limit_before_any_formula_exits_1(tmp_path, capsys):
    rng = np.random.default_rng(0)
    table = rng.uniform(1, 2, (100_000, 4))
    path = tmp_path / "big.csv"
    np.savetxt(path, table, delimiter=",", header="a,b,c,y", comments="")
    code, out, err = run(capsys, path, "--target", "y", "--time-limit", "1e-9")
    assert (code, out) == (1, "")
    assert err == f"vok-math: {path}: the time limit of 1e-09 s passed before any formula was scored\n"


@pytest.mark.parametrize("error,code,message", [
    (MemoryError("the search's memory limit was reached before any formula was scored"), 1,
     "vok-math: {}: the search's memory limit was reached before any formula was scored\n"),
    (MemoryError(), 1, "vok-math: {}: out of memory\n"),
    (KeyboardInterrupt(), 130, "vok-math: interrupted\n"),
])
def test_search_failures_exit_with_one_line(monkeypatch, capsys, error, code, message):
    from vok_math.discovery import _search

    @functools.wraps(_search.discover)  # the flags are read from its signature
    def fail(*args, **kwargs):
        raise error
    monkeypatch.setattr(_search, "discover", fail)
    path = EXAMPLES / "kepler.csv"
    assert run(capsys, path, "--target", "T") == (code, "", message.format(path))


def test_memory_limit_mid_search_prints_the_best_so_far_and_one_warning(tmp_path, capsys):
    # An unbounded beam on noisy data: the fourth level would be far beyond
    # the search's memory limit.
    rng = np.random.default_rng(0)
    X = rng.uniform(0.5, 3.0, (100, 3))
    path = tmp_path / "noisy.csv"
    np.savetxt(path, np.c_[X, np.sin(X[:, 0]) * X[:, 1] + 0.1 * rng.normal(size=100)], delimiter=",",
               header="a,b,c,y", comments="")
    code, out, err = run(capsys, path, "--target", "y", "--max-complexity", "40", "--beam-width", str(10**12),
                         "--selection", "penalty", "--snap", "no")
    assert code == 0 and "(search stopped early: best so far)" in out
    assert err.startswith("vok-math: warning: the search reached its memory limit") and err.count("\n") == 1


def test_interrupt_prints_the_best_so_far_and_exits_130():
    command = [sys.executable, "-P", "-m", "vok_math", "discover", EXAMPLES / "damped_oscillation.csv",
               "--target", "x", "--max-complexity", str(10**6), "--progress"]
    child = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    shown, chunk = b"", b"-"
    while b"best" not in shown and chunk:  # until a formula was scored
        chunk = child.stderr.read1(4096)
        shown += chunk
    child.send_signal(signal.SIGINT)
    out, err = child.communicate()
    assert child.returncode == 130 and out.decode().startswith("x = ")
    assert err.decode().strip().endswith("vok-math: warning: search interrupted by KeyboardInterrupt: "
                                         "returning the best formula so far")


def test_closed_pipe_exits_quietly():
    command = [sys.executable, "-P", "-m", "vok_math", "discover", EXAMPLES / "kepler.csv", "--target", "T"]
    child = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    child.stdout.close()  # no reader left before the first write
    _, err = child.communicate()
    assert (child.returncode, err) == (cli.PIPE_CLOSED, b"")


@pytest.mark.parametrize("module,argv,code,out", [
    ("numpy", ["discover", str(EXAMPLES / "kepler.csv"), "--target", "T"], 3,
     "vok-math: vok_math.discover needs numpy, which is not installed: pip install "),
    ("numpy", ["--version"], 0, f"vok-math {vok_math.__version__}\n"),
    ("matplotlib", ["discover", str(EXAMPLES / "kepler.csv"), "--target", "T", "--report", "never-written.html"], 3,
     "vok-math: --report needs matplotlib, which is not installed: pip install "),
])
def test_without_a_package(module, argv, code, out):
    script = f"import sys; sys.modules[{module!r}] = None; from vok_math import cli; sys.exit(cli.main({argv!r}))"
    done = subprocess.run([sys.executable, "-P", "-c", script], capture_output=True, text=True, check=False)
    assert done.returncode == code and (done.stdout + done.stderr).startswith(out)
    assert (done.stdout + done.stderr).count("\n") == 1


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
