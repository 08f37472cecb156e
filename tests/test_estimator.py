"""SymbolicRegressor: discover() as a scikit-learn estimator."""

import inspect

import numpy as np
import pytest

pytest.importorskip("sklearn", reason="SymbolicRegressor needs scikit-learn, which this environment lacks")

from sklearn.base import clone  # noqa: E402
from sklearn.model_selection import GridSearchCV  # noqa: E402
from sklearn.pipeline import Pipeline  # noqa: E402
from sklearn.utils.estimator_checks import parametrize_with_checks  # noqa: E402

import vok_math  # noqa: E402
from vok_math import SymbolicRegressor  # noqa: E402

# The checks run a search on each of their small random tables; a short one
# keeps them quick and exercises the same code.
QUICK = {"max_complexity": 4, "beam_width": 100}


# Every check applies and passes: none is listed as an expected failure.
@parametrize_with_checks([SymbolicRegressor(**QUICK)])
def test_scikit_learn_check(estimator, check):
    check(estimator)


def gas(rows=60):
    rng = np.random.default_rng(3)
    n, t, v = rng.uniform(1, 5, rows), rng.uniform(250, 400, rows), rng.uniform(0.01, 0.1, rows)
    return np.column_stack([n, t, v]), 8.314 * n * t / v


def test_parameters_are_discovers_keyword_options_with_its_defaults():
    options = {p.name: p.default for p in inspect.signature(vok_math.discover).parameters.values()
               if p.kind is p.KEYWORD_ONLY}
    assert SymbolicRegressor().get_params() == options


def test_unknown_parameter_is_refused():
    with pytest.raises(TypeError, match="unexpected parameter.*beam"):
        SymbolicRegressor(beam=10)


def test_fit_is_discover_and_predict_its_formula():
    X, y = gas()
    est = SymbolicRegressor(beam_width=500).fit(X, y)
    assert est.formula_ == vok_math.discover(X, y, beam_width=500)
    assert est.predict(X).tobytes() == est.formula_.predict(X).tobytes()
    assert est.score(X, y) == pytest.approx(est.formula_.r2, abs=1e-12)


def test_dataframe_columns_name_the_variables_and_the_series_the_target():
    pd = pytest.importorskip("pandas")
    X, y = gas()
    frame = pd.DataFrame(X, columns=["n", "T", "V"])
    est = SymbolicRegressor().fit(frame, pd.Series(y, name="P"))
    assert list(est.feature_names_in_) == ["n", "T", "V"] and est.n_features_in_ == 3
    assert est.formula_ == vok_math.discover(frame.assign(P=y), "P")
    table = est.equations_
    assert table.loc[table.selected, "formula"].tolist() == [est.formula_.formula]


def test_drop_nonfinite_drops_rows_with_nan_in_x_or_y_and_predicts_nan_there():
    X, y = gas()
    X[4, 1], y[7] = np.nan, np.inf
    keep = np.isfinite(X).all(axis=1) & np.isfinite(y)
    est = SymbolicRegressor(drop_nonfinite=True).fit(X, y)
    assert est.formula_ == vok_math.discover(X[keep], y[keep])
    assert np.isnan(est.predict(X)).tolist() == (~np.isfinite(X).all(axis=1)).tolist()


def test_grid_search_over_a_pipeline_chooses_the_complexity_the_law_needs():
    X, y = gas()
    pipe = Pipeline([("search", SymbolicRegressor())])
    grid = GridSearchCV(pipe, {"search__max_complexity": [1, 5]}, cv=3).fit(X, y)
    assert grid.best_params_ == {"search__max_complexity": 5}
    assert grid.best_score_ > 0.999999

