"""SymbolicRegressor: discover() as a scikit-learn estimator (needs scikit-learn)."""

from __future__ import annotations

import dataclasses
import inspect
from typing import Any

import numpy as np

from .._optional import require

_base = require("sklearn.base", "vok_math.SymbolicRegressor")
_validation = require("sklearn.utils.validation", "vok_math.SymbolicRegressor")

from . import _data  # noqa: E402
from ._formula import Formula  # noqa: E402
from ._search import _target_name, discover  # noqa: E402

# The estimator's parameters are discover's keyword options, with its
# defaults: an option discover gains is a parameter here with nothing to add.
OPTIONS = tuple(p for p in inspect.signature(discover).parameters.values() if p.kind is p.KEYWORD_ONLY)


class SymbolicRegressor(_base.RegressorMixin, _base.BaseEstimator):
    """vok_math.discover as a scikit-learn regressor: fit(X, y) searches a
    formula for y, predict(X) evaluates it, score(X, y) is its R^2.

    The parameters are discover's keyword options, with the same defaults
    and meaning (see discover); they are stored as given and checked by fit.
    The variables are named by `names` when given, else by the columns of
    a DataFrame X (feature_names_in_), else x, y, z (x0, x1, ... past three).

    After fit:
    formula_          the Formula discover returned
    equations_        its front as a DataFrame (needs pandas): complexity,
                      error, rmse, r2, formula, constants, selected
    n_features_in_    the number of variables
    feature_names_in_ the columns of a DataFrame X whose labels are all strings
    """

    def __init__(self, **options: Any) -> None:
        unknown = set(options).difference(p.name for p in OPTIONS)
        if unknown:
            raise TypeError(f"SymbolicRegressor() got unexpected parameter(s): {', '.join(sorted(unknown))}")
        for p in OPTIONS:
            setattr(self, p.name, options.get(p.name, p.default))

    # get_params, clone and the repr read the parameters from this signature.
    __init__.__signature__ = inspect.Signature(  # type: ignore[attr-defined]
        [inspect.Parameter("self", inspect.Parameter.POSITIONAL_OR_KEYWORD), *OPTIONS], return_annotation=None)

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        tags.input_tags.allow_nan = bool(self.drop_nonfinite)
        return tags

    def fit(self, X: Any, y: Any) -> SymbolicRegressor:
        """Searches a formula for y from the columns of X; returns self."""
        target = _target_name(y)  # a Series' name, before y becomes an array
        if self.drop_nonfinite:  # rows with NaN or an infinity, in X or y, are discover's to drop
            X = _validation.validate_data(self, X, dtype=np.float64, ensure_all_finite=False)
            y = _validation.column_or_1d(_validation.check_array(
                y, ensure_2d=False, dtype=np.float64, ensure_all_finite=False), warn=True)
        else:
            X, y = _validation.validate_data(self, X, y, dtype=np.float64, y_numeric=True)
        options = self.get_params()
        if options["names"] is None:
            features = getattr(self, "feature_names_in_", None)
            options["names"] = list(features) if features is not None else _data.default_names(X.shape[1])
        formula = discover(X, y, **options)
        if formula is None:
            raise ValueError("no formula could be scored on this data (every candidate fails on some row)")
        if target is not None:
            front = tuple(dataclasses.replace(g, target=target) for g in formula.front)
            formula = dataclasses.replace(formula, target=target, front=front)
        self.formula_: Formula = formula
        return self

    def predict(self, X: Any) -> np.ndarray:
        """The fitted formula's values at the rows of X (NaN where an operator
        leaves its domain)."""
        _validation.check_is_fitted(self)
        X = _validation.validate_data(self, X, dtype=np.float64, reset=False,
                                      ensure_all_finite=not self.drop_nonfinite)
        return self.formula_.predict(X)

    @property
    def equations_(self) -> Any:
        """The front of formula_ as a DataFrame (Formula.front_table)."""
        return self.formula_.front_table()
