"""Pictures of a Formula (needs matplotlib): its fit (observed against
predicted, and the residuals) and the search's front (error against
complexity). Figures are made with matplotlib's Figure and Agg canvas, not
pyplot: no global state, nothing shown twice in a notebook, and no display
needed."""

from __future__ import annotations

import math
from typing import Any

import numpy as np

from .._optional import require
from . import _data

# A scatter of more rows than this shows an evenly spaced selection of them.
MAX_POINTS = 20_000
FORMATS = ("png", "svg", "pdf")


def figure(width: float, height: float, feature: str) -> Any:
    require("matplotlib", feature)
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    fig = Figure(figsize=(width, height), layout="constrained")
    FigureCanvasAgg(fig)
    return fig


def short(text: str, limit: int) -> str:
    return text if len(text) <= limit else text[:limit - 3] + "..."


def plain(text: str, limit: int = 90) -> str:
    """text for a label: shortened, and with $ kept from starting mathtext."""
    return short(text, limit).replace("$", r"\$")


def observed_predicted(formula: Any, X: Any, y: Any) -> tuple[np.ndarray, np.ndarray]:
    """y's values (y: the values, or the name of X's column holding them) and
    the formula's, at X's rows."""
    if isinstance(y, str):
        if y not in X:
            raise KeyError(f"y names the column {y!r}, which X does not have")
        y = X[y]
    observed = _data._column(y, "y")
    predicted = formula.predict(X)
    if observed.ndim != 1 or len(observed) != len(predicted):
        raise ValueError(f"y must be 1-D with one value per row of X ({len(predicted)}); got shape {observed.shape}")
    return observed, predicted


def r2(observed: np.ndarray, predicted: np.ndarray) -> float:
    ok = np.isfinite(observed) & np.isfinite(predicted)
    spread = float(np.var(observed[ok])) if ok.any() else 0.0
    return 1.0 - float(np.mean((observed[ok] - predicted[ok]) ** 2)) / spread if spread > 0 else math.nan


def _draw_fit(fit: Any, residuals: Any, formula: Any, observed: np.ndarray, predicted: np.ndarray) -> None:
    shown = np.unique(np.linspace(0, len(observed) - 1, MAX_POINTS).astype(np.int64)) \
        if len(observed) > MAX_POINTS else slice(None)
    o, p = observed[shown], predicted[shown]
    note = f" ({len(o):,} of {len(observed):,} rows shown)" if len(o) < len(observed) else ""
    name = formula.target or "y"
    fit.scatter(p, o, s=10, alpha=0.6, edgecolors="none")
    finite = np.concatenate([o[np.isfinite(o)], p[np.isfinite(p)]])
    if finite.size:
        low, high = float(finite.min()), float(finite.max())
        fit.plot([low, high], [low, high], color="C3", linewidth=1, label="observed = predicted")
        fit.legend(loc="upper left", fontsize="small")
    fit.set(xlabel="predicted", ylabel=plain(f"observed {name}"),
            title=plain(f"R² = {r2(observed, predicted):.6g} on {len(observed):,} rows{note}"))
    residuals.scatter(p, o - p, s=10, alpha=0.6, edgecolors="none")
    residuals.axhline(0.0, color="C3", linewidth=1)
    residuals.set(xlabel="predicted", ylabel="residual (observed - predicted)", title="residuals")


def _draw_front(ax: Any, formula: Any) -> None:
    front = formula.front or (formula,)
    complexity = [g.complexity for g in front]
    rmse = [g.rmse for g in front]
    ax.plot(complexity, rmse, "o-", color="C0", label="front: best rmse per complexity")
    ax.plot([formula.complexity], [formula.rmse], "*", markersize=16, color="C3",
            label=plain(f"selected: {formula.formula}", 50))
    values = [*rmse, formula.rmse]
    if all(v > 0 and math.isfinite(v) for v in values):
        ax.set_yscale("log")
    ax.xaxis.get_major_locator().set_params(integer=True)
    ax.set(xlabel="complexity (tokens)", ylabel="rmse", title="error against complexity")
    ax.legend(fontsize="small")


def plot_fit(formula: Any, X: Any, y: Any) -> Any:
    observed, predicted = observed_predicted(formula, X, y)
    fig = figure(10, 4.2, "Formula.plot")
    _draw_fit(*fig.subplots(1, 2), formula, observed, predicted)
    fig.suptitle(plain(str(formula), 110))
    return fig


def plot_front(formula: Any) -> Any:
    fig = figure(6, 4.2, "Formula.plot_front")
    _draw_front(fig.subplots(), formula)
    return fig


def check_path(path: str) -> None:
    """Refuses a file name whose ending is not an image format written here."""
    ending = path.rsplit(".", 1)[-1].lower() if "." in path else ""
    if ending not in FORMATS:
        raise ValueError(f"{path}: the plot's file name must end in {', '.join('.' + f for f in FORMATS)}")


def save_all(formula: Any, X: Any, y: Any, path: str) -> None:
    """The fit, its residuals and the front side by side, in one image file."""
    check_path(path)
    observed, predicted = observed_predicted(formula, X, y)
    fig = figure(16, 4.6, "--plot")
    fit, residuals, front = fig.subplots(1, 3)
    _draw_fit(fit, residuals, formula, observed, predicted)
    _draw_front(front, formula)
    fig.suptitle(plain(str(formula), 150))
    fig.savefig(path, dpi=110)
