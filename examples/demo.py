"""A tour of vok_math: element-wise batch functions with their guards, then
formula discovery on the sample data sets next to this file, first with
vok_math.discover on named columns, then with the command line.

Run: make demo   (or .venv/bin/python examples/demo.py)
"""

import csv
import pathlib
import subprocess
import sys
import time

import vok_math

HERE = pathlib.Path(__file__).resolve().parent

# Each file holds a header of names, then rows of numbers; the last column
# is the target.
DATASETS = {
    "damped_oscillation.csv": ("Damped oscillation x(t) in natural units, t = 0 .. 6", "x = exp(-t) * cos(t)"),
    "kepler.csv": ("Kepler's third law: orbital period T [years] from the semi-major axis a [AU] "
                   "of the eight planets (measured, so nothing fits exactly)", "T = a^(3/2)"),
    "joule_heating.csv": ("Joule heating: power P in a resistor R [ohm] at voltage V [volt]", "P = V^2 / R"),
    "ideal_gas.csv": ("Ideal gas: pressure P from amount n, temperature T and volume V, with R = 1",
                      "P = n T / V"),
}


def show(call, result):
    print(f"  {call:<44} -> {result}")


def elementwise():
    print("Element-wise batch functions: one result per element, in input order.")
    print("Out-of-range inputs are guarded instead of raising:")
    show("exp_n([0, 709.78, 1000])", vok_math.exp_n([0, 709.78, 1000]))
    print("    (above 709.78 the exponent x becomes ln(x), so exp stays finite: ~x)")
    show("ln_n([0, -1, 1e-310])", vok_math.ln_n([0, -1, 1e-310]))
    print("    (ln of a non-positive y is ln(max(|y|, 1e-300)); small positives are kept)")
    show("div_n([1, 6], [0, 3])", vok_math.div_n([1, 6], [0, 3]))
    print("    (a divisor below 1e-300 in magnitude gives NaN, never an infinity)")
    show("sqrt_n([-9, 2])", vok_math.sqrt_n([-9, 2]))
    show("pow_n([-2, 2], [3, 0.5])", vok_math.pow_n([-2, 2], [3, 0.5]))
    show("tension_n([0, 0, 1000], [1, 0, -1])", vok_math.tension_n([0, 0, 1000], [1, 0, -1]))
    print("    (vok(x, y) = exp(x) - ln(y) with both guards)")
    show("add_n([1, 2, 3], [10])", vok_math.add_n([1, 2, 3], [10]))
    print("    (zipped inputs stop at the shorter one)")
    print()


def load(path):
    """The columns of a CSV file with a header, by name."""
    with open(path, newline="") as f:
        rows = list(csv.DictReader(f))
    return {name: [float(row[name]) for row in rows] for name in rows[0]}


def discover(name):
    about, law = DATASETS[name]
    data = load(HERE / name)
    *variables, target = data
    print(f"{name}: {about}")
    print(f"  law: {law}; {len(data[target])} rows; variables {', '.join(variables)}; target {target}")
    t0 = time.perf_counter()
    f = vok_math.discover(data, target)  # the target named among the columns
    seconds = time.perf_counter() - t0
    if f is None:
        print("  no formula could be scored")
        return
    print(f"  found   {f}    ({seconds:.2f} s)")
    print(f"  error   {f.error:.3e}  rmse {f.rmse:.3e}  R^2 {f.r2:.6f}  complexity {f.complexity}")
    if f.params:
        print(f"  constants {', '.join(map(repr, f.params))}")
    print(f"  LaTeX   {f.to_latex()}")
    source = f.to_python()
    print("  Python  " + source.splitlines()[-2] + "\n          " + source.splitlines()[-1].strip())
    predicted = f.predict(data)
    print("  predictions on the first rows:")
    for i in range(3):
        inputs = ", ".join(f"{v}={data[v][i]:g}" for v in variables)
        print(f"    {inputs}: {target} = {data[target][i]:.6g}, predicted {predicted[i]:.6g}")
    if len(f.front) > 1:
        print("  Pareto front: " + "; ".join(f"{g.complexity}: {g.formula} (rmse {g.rmse:.2g})" for g in f.front))
    print()


def command_line(name):
    *_, target = load(HERE / name)
    command = [sys.executable, "-m", "vok_math", "discover", str(HERE / name), "--target", target]
    print("The command line: python -m vok_math discover " + f"examples/{name} --target {target}")
    # -P: run from anywhere without the source tree shadowing the package.
    subprocess.run([command[0], "-P", *command[1:]], check=True)


def main():
    elementwise()
    print("Formula discovery: vok_math.discover(columns, target) with its default options.")
    print()
    for name in DATASETS:
        discover(name)
    command_line("joule_heating.csv")


if __name__ == "__main__":
    main()
