"""A tour of vok_core: element-wise batch functions with their guards, then
formula discovery on the sample data sets next to this file.

Run: make demo   (or .venv/bin/python examples/demo.py)
"""

import csv
import pathlib
import time

import vok_core

HERE = pathlib.Path(__file__).resolve().parent
DATASETS = ["damped_oscillation.csv", "kepler.csv", "joule_heating.csv", "ideal_gas.csv"]
VARIABLES = "xyz"  # the names find_formula gives to the first three columns


def show(call, result):
    print(f"  {call:<44} -> {result}")


def elementwise():
    print("Element-wise batch functions: one result per element, in input order.")
    print("Out-of-range inputs are guarded instead of raising:")
    show("exp_n([0, 709.78, 1000])", vok_core.exp_n([0, 709.78, 1000]))
    print("    (above 709.78 the exponent x becomes ln(x), so exp stays finite: ~x)")
    show("ln_n([0, -1, 1e-310])", vok_core.ln_n([0, -1, 1e-310]))
    print("    (ln of a non-positive y is ln(max(|y|, 1e-300)); small positives are kept)")
    show("div_n([1, 6], [0, 3])", vok_core.div_n([1, 6], [0, 3]))
    print("    (a divisor below 1e-300 in magnitude gives NaN, never an infinity)")
    show("sqrt_n([-9, 2])", vok_core.sqrt_n([-9, 2]))
    show("pow_n([-2, 2], [3, 0.5])", vok_core.pow_n([-2, 2], [3, 0.5]))
    show("tension_n([0, 0, 1000], [1, 0, -1])", vok_core.tension_n([0, 0, 1000], [1, 0, -1]))
    print("    (vok(x, y) = exp(x) - ln(y) with both guards)")
    show("add_n([1, 2, 3], [10])", vok_core.add_n([1, 2, 3], [10]))
    print("    (zipped inputs stop at the shorter one)")
    print()


def load(path):
    """Comment lines (the description), a header of names, then rows of floats;
    the last column is the target."""
    with open(path, newline="") as f:
        lines = [line for line in f if line.strip()]
    comments = [line[1:].strip() for line in lines if line.startswith("#")]
    table = list(csv.reader(line for line in lines if not line.startswith("#")))
    names, rows = table[0], [[float(v) for v in row] for row in table[1:]]
    columns = [list(col) for col in zip(*rows)]
    return comments, names, columns[:-1], columns[-1]


def discover(path):
    comments, names, columns, targets = load(path)
    print(f"{path.name}: {comments[0]}")
    for line in comments[1:]:
        print(f"  {line}")
    legend = ", ".join(f"{v} = {n}" for v, n in zip(VARIABLES, names[:-1]))
    print(f"  {len(targets)} rows; variables {legend}; target {names[-1]}")
    t0 = time.perf_counter()
    result = vok_core.find_formula(columns, targets)
    seconds = time.perf_counter() - t0
    if result is None:
        print("  no formula could be scored")
        return
    print(f"  found   {result.formula}    ({seconds:.2f} s)")
    print(f"  error   {result.error:.3e}  (rmse times 1 + 0.001 x complexity {result.complexity})")
    print(f"  LaTeX   {result.to_latex()}")
    source = result.to_python()
    print("  Python  " + source.replace("\n", "\n          "))
    if len(columns) > 1:
        print("          (the lambda takes x only: the other variables are left for the reader to bind)")
    print(f"  repr    {result!r}")
    print()


def main():
    elementwise()
    print("Formula discovery: find_formula(columns, targets) with its default options.")
    print()
    for name in DATASETS:
        discover(HERE / name)


if __name__ == "__main__":
    main()
