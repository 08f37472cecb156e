"""The fitted search (each formula scaled and offset by least squares, no
inner constants) against the contract's search, on the same data.

For laws with their physical constants, each problem is run by the engine
behind vok_math.discover both ways, with the default options: the contract
search (what find_formula does) and the fitted search. The script prints per
law the formula each returns, whether the fitted one has the law's shape (its
rmse relative to the targets' spread below 1e-6 on noiseless data), and the
time of each (best of REPEATS); then the ratio of total fitted time to total
contract time, once at the default precision goal (a search stops when it
meets it) and once running every level (the cost per candidate).

Run: .venv/bin/python bench/fitted_search.py
"""

import time

import numpy as np

REPEATS = 3


def laws():
    rng = np.random.default_rng(0)

    def u(a, b, n=50):
        return rng.uniform(a, b, n)

    m1, m2, r = u(1, 5), u(1, 5), u(1, 5)
    a = np.array([57.9, 108.2, 149.6, 227.9, 778.5, 1432.0, 2867.0, 4515.0, 5906.4, 400.0])
    n, T, V = u(1, 5), u(250, 400), u(0.01, 0.1)
    v0, th = u(5, 50), u(0.1, 1.4)
    R, I = u(1, 100), u(0.1, 2)
    d = u(0.03, 2.0, 24)
    x = u(-5, 5)
    h, s = u(0.5, 3), u(0.5, 3)
    return [
        ("gravitation G m1 m2/r^2", [m1, m2, r], 6.674e-11 * m1 * m2 / r**2, True),
        ("2.5 m1 m2/r^2", [m1, m2, r], 2.5 * m1 * m2 / r**2, True),
        ("Kepler 0.1995 a^1.5", [a], 0.1995 * a**1.5, True),
        ("ideal gas 8.314 n T/V", [n, T, V], 8.314 * n * T / V, True),
        ("projectile v0^2 sin(2t)/9.81", [v0, th], v0**2 * np.sin(2 * th) / 9.81, True),
        ("Ohm R I, 2% noise", [R, I], R * I * (1 + 0.02 * rng.standard_normal(50)), False),
        ("Hubble H0 d, noisy", [d], 464 * d + 30 * rng.standard_normal(24), False),
        ("line 3.7 x + 12", [x], 3.7 * x + 12, True),
        ("kinetic 0.5 m v^2", [h, s], 0.5 * h * s**2, True),
        ("decay 7 exp(-t) + 2", [s], 7 * np.exp(-s) + 2, True),
    ]


def timed(fn):
    best = None
    for _ in range(REPEATS):
        t0 = time.perf_counter()
        out = fn()
        t = time.perf_counter() - t0
        best = t if best is None else min(best, t)
    return out, best


def main():
    from vok_math import _ext

    print(f"{'law':<30} {'contract s':>10} {'fitted s':>9} {'shape':>5}  fitted formula")
    totals = {"goal": [0.0, 0.0], "all levels": [0.0, 0.0]}
    for name, cols, y, exact in laws():
        cols = [np.ascontiguousarray(c, dtype=np.float64) for c in cols]
        y = np.ascontiguousarray(y, dtype=np.float64)
        for label, goal in (("goal", 1e-10), ("all levels", -np.inf)):
            def run(fit):
                return _ext.search(cols, y, 8, 2000, goal, 0.001, True, True, None, None, fit)

            plain, t_plain = timed(lambda: run(None))
            fitted, t_fit = timed(lambda: run({"top_k": 0}))
            totals[label][0] += t_plain
            totals[label][1] += t_fit
            if label == "goal":
                tokens, error, complexity, rmse, params = fitted[0]
                shape = "yes" if exact and rmse <= 1e-6 * np.std(y) else ("-" if not exact else "no")
                text = _ext.render(tokens, [f"x{i}" for i in range(len(cols))])
                print(f"{name:<30} {t_plain:10.4f} {t_fit:9.4f} {shape:>5}  {text[:70]}")
    for label, (plain, fit) in totals.items():
        print(f"fitted / contract time ({label}): {fit / plain:.2f}  ({fit:.3f} s against {plain:.3f} s)")


if __name__ == "__main__":
    main()
