"""Batch functions against references timed in the same process.

Every figure is the median of several runs, printed as a ratio to the
conversion floor `array.array('d', xs).tolist()` (reading a list of floats
into native doubles and building a new list): below 1.0 is faster than that
round trip. Run: .venv/bin/python bench/batch.py [--quick]
"""

import array
import math
import random
import statistics
import sys
import time

import vok_core

try:
    import numpy
except ImportError:  # the NumPy column is left out
    numpy = None


def median_time(fn, repeats):
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def rows(xs, ys):
    """(name, callable) pairs: the library's functions, then the references."""
    out = [
        ("exp_n", lambda: vok_core.exp_n(xs)),
        ("tension_n", lambda: vok_core.tension_n(xs, ys)),
        ("add_n", lambda: vok_core.add_n(xs, ys)),
        ("ref: list(map(math.exp, xs))", lambda: list(map(math.exp, xs))),
        ("ref: map(exp(x) - log(y))", lambda: list(map(lambda x, y: math.exp(x) - math.log(y), xs, ys))),
        ("ref: list(map(operator.add))", lambda: list(map(float.__add__, xs, ys))),
    ]
    if numpy is not None:
        a = numpy.asarray(xs)
        out.append(("exp_n(ndarray)", lambda: vok_core.exp_n(a)))
        out.append(("ref: numpy.exp(a).tolist()", lambda: numpy.exp(a).tolist()))
        out.append(("ref: numpy.exp(asarray(xs)).tolist()", lambda: numpy.exp(numpy.asarray(xs)).tolist()))
        out.append(("ref: numpy add round trip",
                    lambda: numpy.add(numpy.asarray(xs), numpy.asarray(ys)).tolist()))
    return out + extra_rows(xs, ys)


def extra_rows(xs, ys):
    """Rows for the value-class batch functions, against pure-Python loops."""
    points = list(zip(xs, ys))
    phis = ys
    out = []
    if hasattr(vok_core, "boost_n"):
        def py_boost():
            res = []
            for (x, y), phi in zip(points, phis):
                ly = y if (y > 0 or y != y) else max(abs(y), 1e-300)
                t = math.exp(math.log(x) if x > 709.78 else x)
                s = math.log(ly)
                sh, ch = math.sinh(phi), math.cosh(phi)
                t1 = t * ch - (s / 1.0) * sh
                x1 = s * ch - (1.0 * t) * sh
                res.append((math.log(t1 if t1 > 1e-300 else 1e-300), math.exp(min(max(x1, -709.0), 709.0))))
            return res
        out += [("boost_n", lambda: vok_core.boost_n(points, phis, 1.0)), ("ref: python boost loop", py_boost)]
    if hasattr(vok_core, "simulate_pulses_n"):
        steps = len(xs) - 1

        def tension(x, y):
            ly = y if (y > 0 or y != y) else max(abs(y), 1e-300)
            return math.exp(math.log(x) if x > 709.78 else x) - math.log(ly)

        def py_pulses():
            x, y = 0.5, 2.0
            t = tension(x, y)
            res = [(x, y, t)]
            for _ in range(steps):
                x, y = (y if (y > 0 or y != y) else max(abs(y), 1e-300)), t
                t = tension(x, y)
                res.append((x, y, t))
            return res

        out += [("simulate_pulses_n", lambda: vok_core.simulate_pulses_n(0.5, 2.0, steps)),
                ("ref: python pulse loop", py_pulses)]
    return out


def main():
    quick = "--quick" in sys.argv
    rng = random.Random(12345)
    for n in (10**3, 10**6):
        xs = [rng.uniform(-5.0, 5.0) for _ in range(n)]
        ys = [rng.uniform(0.1, 5.0) for _ in range(n)]
        repeats = 3 if quick else (7 if n == 10**6 else 201)
        floor = median_time(lambda: array.array("d", xs).tolist(), repeats)
        print(f"\nn = {n:,}: conversion floor array.array('d', xs).tolist() = {floor * 1e3:.3f} ms")
        results = {}
        for name, fn in rows(xs, ys):
            t = median_time(fn, repeats)
            results[name] = t
            print(f"  {name:40s} {t * 1e3:9.3f} ms   {t / floor:6.2f}x floor")
        print("  ratios:")
        print(f"    exp_n / numpy round trip        {results['exp_n'] / results.get('ref: numpy.exp(asarray(xs)).tolist()', math.nan):6.2f}")
        if "exp_n(ndarray)" in results:
            print(f"    exp_n(a) / numpy.exp(a).tolist() {results['exp_n(ndarray)'] / results['ref: numpy.exp(a).tolist()']:6.2f}")
        print(f"    exp_n / map(math.exp)           {results['exp_n'] / results['ref: list(map(math.exp, xs))']:6.2f}")
        print(f"    tension_n speed-up over map     {results['ref: map(exp(x) - log(y))'] / results['tension_n']:6.2f}x")
        if "boost_n" in results:
            print(f"    boost_n speed-up over loop      {results['ref: python boost loop'] / results['boost_n']:6.2f}x")
        if "simulate_pulses_n" in results:
            print(f"    simulate_pulses_n over loop     {results['ref: python pulse loop'] / results['simulate_pulses_n']:6.2f}x")


if __name__ == "__main__":
    main()
