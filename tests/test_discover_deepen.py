"""discover's max_complexity="auto": deeper searches while the selection rule
pays for depth and the budget lasts."""

import time

import numpy as np
import pytest

import vok_math


def line(rows=100):
    rng = np.random.default_rng(3)
    x = rng.uniform(0.0, 10.0, rows)
    return {"x": x}, 3.7 * x + 12 + 0.1 * rng.normal(size=rows)


def stefan_boltzmann():
    rng = np.random.default_rng(6)
    A, T = rng.uniform(0.5, 2.0, 100), rng.uniform(300.0, 1000.0, 100)
    return {"A": A, "T": T}, 5.67e-8 * A * T**4


def planck_like(rows=100):
    rng = np.random.default_rng(5)
    nu, T = rng.uniform(0.2, 5.0, rows), rng.uniform(1.0, 3.0, rows)
    return {"nu": nu, "T": T}, 1.5 * nu**3 / (np.exp(nu / T) - 1)


def same(f, g):
    return (f.tokens, f.params, f.rmse, f.front) == (g.tokens, g.params, g.rmse, g.front)


def test_no_deeper_search_when_the_rule_does_not_use_the_depth():
    X, y = line()
    auto, fixed = vok_math.discover(X, y, decompose=False), vok_math.discover(X, y, decompose=False, max_complexity=8)
    assert same(auto, fixed) and auto.complete
    assert auto.path == ("searched to complexity 8 (beam 2000), deepened from 8 until the selection no longer improved",)
    assert fixed.path == ("searched to complexity 8 (beam 2000)",)


def test_deeper_searches_find_what_the_fixed_depth_misses():
    X, y = stefan_boltzmann()
    auto, fixed = vok_math.discover(X, y, decompose=False), vok_math.discover(X, y, decompose=False, max_complexity=8)
    floor = 1e-10 * np.std(y)
    assert fixed.rmse > floor >= auto.rmse
    assert auto.path[-1].startswith("searched to complexity 10 ") and auto.path[-1].endswith("goal was met")


def test_the_budget_bounds_the_deeper_searches():
    X, y = planck_like()
    reference = 0.0
    for _ in range(2):  # one search at the fixed depth, the slower of two
        start = time.perf_counter()
        vok_math.discover(X, y, decompose=False, max_complexity=8)
        reference = max(reference, time.perf_counter() - start)
    budget = 3 * reference
    start = time.perf_counter()
    f = vok_math.discover(X, y, decompose=False, budget=budget)
    elapsed = time.perf_counter() - start
    assert "budget" in f.path[-1] and f.complete
    # The first search may overrun the budget by itself; later ones are cut.
    assert elapsed < budget + 2 * reference


def test_a_stop_in_a_deeper_search_returns_the_complete_searches():
    X, y = stefan_boltzmann()
    searches = []

    def progress(level, candidates, best):
        searches.extend([level] if level == 1 else [])
        return len(searches) < 2  # stop at the second search's leaves

    f = vok_math.discover(X, y, decompose=False, progress=progress)
    fixed = vok_math.discover(X, y, decompose=False, max_complexity=8)
    assert not f.complete and same(f, fixed)
    assert f.path == ("searched to complexity 8 (beam 2000), deepened from 8 until the progress callback stopped it",)


@pytest.mark.parametrize("options,error,message", [
    ({"max_complexity": "deep"}, ValueError, "an integer or 'auto'"),
    ({"max_complexity": 8, "budget": 1.0}, ValueError, "budget applies to max_complexity='auto' only"),
    ({"budget": 0}, ValueError, "positive and finite"),
    ({"budget": float("inf")}, ValueError, "positive and finite"),
    ({"budget": float("nan")}, ValueError, "positive and finite"),
    ({"budget": "2"}, TypeError, "budget must be a real number"),
    ({"budget": True}, TypeError, "budget must be a real number"),
    ({"max_complexity": 8.0}, TypeError, "max_complexity must be an integer"),
])
def test_refused_options(options, error, message):
    with pytest.raises(error, match=message):
        vok_math.discover(*line(), **options)
