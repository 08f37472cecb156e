"""One self-contained HTML page about a Formula (needs matplotlib): the
formula as rendered maths (matplotlib's mathtext, as SVG), its scores and
constants, the fit and front plots (PNG), the front as a table, a summary of
the data and the search's options. Everything is inline (images as data:
URLs, no script, no font or style sheet from elsewhere), so the page opens
without a network."""

from __future__ import annotations

import base64
import datetime
import html
import io
import math
import os
from collections.abc import Mapping
from importlib.metadata import version
from typing import Any

import numpy as np

from . import _data, _plot
from ._render import latex_name

_STYLE = """
body { font-family: sans-serif; margin: 2em auto; max-width: 72em; padding: 0 1em; color: #222; }
h1 { font-size: 1.4em; word-break: break-all; }
h2 { font-size: 1.15em; margin-top: 1.6em; border-bottom: 1px solid #ccc; }
table { border-collapse: collapse; font-size: 0.9em; }
th, td { padding: 0.2em 0.7em; border-bottom: 1px solid #e4e4e4; text-align: right; }
th { background: #f3f3f3; }
td.text, th.text { text-align: left; font-family: monospace; word-break: break-all; }
tr.selected { background: #fff3c4; font-weight: bold; }
img { max-width: 100%; }
.maths { padding: 0.8em 0; overflow-x: auto; }
pre { background: #f6f6f6; padding: 0.7em; overflow-x: auto; }
"""


def _data_url(kind: str, data: bytes) -> str:
    return f"data:{kind};base64,{base64.b64encode(data).decode('ascii')}"


def _png(fig: Any) -> str:
    buffer = io.BytesIO()
    fig.savefig(buffer, format="png", dpi=100)
    return _data_url("image/png", buffer.getvalue())


def _maths(formula: Any) -> str:
    """The formula as an SVG drawn by mathtext, or its LaTeX as text where
    mathtext cannot draw it (a name written as \\text{...}, which mathtext
    lacks)."""
    from matplotlib import mathtext
    from matplotlib.font_manager import FontProperties

    latex = formula.to_latex()
    if formula.target is not None:
        latex = f"{latex_name(formula.target)} = {latex}"
    if r"\text{" not in latex:
        buffer = io.BytesIO()
        try:
            mathtext.math_to_image(f"${latex}$", buffer, prop=FontProperties(size=20), format="svg")
            return f'<img alt="{html.escape(str(formula))}" src="{_data_url("image/svg+xml", buffer.getvalue())}">'
        except ValueError:
            pass
    return f'<pre class="latex">{html.escape(latex)}</pre>'


def _number(v: float) -> str:
    return f"{v:.6g}" if isinstance(v, float) else html.escape(str(v))


def _table(head: list[str], rows: list[list[Any]], text_columns: set[int], selected: int = -1) -> str:
    def cell(tag: str, j: int, value: Any) -> str:
        kind = ' class="text"' if j in text_columns else ""
        return f"<{tag}{kind}>{value if tag == 'th' else _number(value)}</{tag}>"

    lines = ["<table>", "<tr>" + "".join(cell("th", j, html.escape(h)) for j, h in enumerate(head)) + "</tr>"]
    for i, row in enumerate(rows):
        mark = ' class="selected"' if i == selected else ""
        lines.append(f"<tr{mark}>" + "".join(cell("td", j, v) for j, v in enumerate(row)) + "</tr>")
    return "\n".join(lines + ["</table>"])


def _front(formula: Any) -> str:
    front = formula.front or (formula,)
    # The selected formula is its front entry, or that entry with constants
    # snapped (the same complexity, or fewer tokens once a constant is gone).
    same = [i for i, g in enumerate(front) if g.tokens == formula.tokens]
    chosen = (same or [i for i, g in enumerate(front) if g.complexity == formula.complexity] or [-1])[0]
    rows = [[g.complexity, g.rmse, g.r2, g.error, g.formula, ", ".join(f"{p:.6g}" for p in g.params),
             "selected" if i == chosen else ""] for i, g in enumerate(front)]
    table = _table(["complexity", "rmse", "R²", "error", "formula", "constants", ""], rows, {4, 5, 6}, chosen)
    if chosen < 0:
        table += f"\n<p>The selected formula (complexity {formula.complexity}) has fewer tokens than its " \
                 f"front entry once snapped.</p>"
    return table


def _summary(formula: Any, X: Any, observed: np.ndarray) -> str:
    columns = dict(zip(formula.names, _data.predictors(X, formula.names)))
    columns[formula.target or "y"] = observed
    rows = []
    for name, values in columns.items():
        finite = values[np.isfinite(values)]
        stats = [float(f(finite)) if finite.size else math.nan for f in (np.min, np.max, np.mean, np.std)]
        rows.append([name, *stats, int(values.size - finite.size)])
    return (f"<p>{len(observed):,} rows.</p>\n"
            + _table(["column", "min", "max", "mean", "std", "not finite"], rows, {0}))


def render(formula: Any, X: Any, y: Any, *, options: Mapping[str, Any] | None = None,
           source: str | None = None) -> str:
    """The report's HTML text (see report)."""
    observed, predicted = _plot.observed_predicted(formula, X, y)
    title = html.escape(_plot.short(str(formula), 200))
    scores = [["rmse", formula.rmse], ["R² (search)", formula.r2],
              ["R² (these rows)", _plot.r2(observed, predicted)], ["error (search's score)", formula.error],
              ["complexity", formula.complexity],
              ["complete search", "yes" if formula.complete else "no (stopped early)"],
              *[[f"constant {i}", repr(p)] for i, p in enumerate(formula.params)]]
    fit, front = _png(_plot.plot_fit(formula, X, observed)), _png(_plot.plot_front(formula))
    parts = [
        "<!DOCTYPE html>", '<html lang="en">', "<head>", '<meta charset="utf-8">',
        f"<title>{title}</title>", f"<style>{_STYLE}</style>", "</head>", "<body>",
        f"<h1>{title}</h1>",
        f'<div class="maths">{_maths(formula)}</div>',
        _table(["", "value"], scores, {0}),
        "<h2>Fit</h2>", f'<img alt="observed against predicted, and residuals" src="{fit}">',
        "<h2>Front</h2>", f'<img alt="error against complexity" src="{front}">',
        _front(formula),
        "<h2>Data</h2>", f"<p>Read from {html.escape(os.fspath(source))}.</p>" if source is not None else "",
        _summary(formula, X, observed),
    ]
    steps = getattr(formula, "path", ())
    if steps:
        parts += ["<h2>How it was found</h2>", "<ol>", *[f"<li>{html.escape(s)}</li>" for s in steps], "</ol>"]
    if options:
        rows = [[name, repr(value)] for name, value in options.items() if name != "progress"]
        parts += ["<h2>Options</h2>", _table(["option", "value"], rows, {0, 1})]
    stamp = datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d %H:%M UTC")
    parts += ["<h2>Python</h2>", f"<pre>{html.escape(formula.to_python())}</pre>",
              f"<p><small>vok_math {html.escape(version('vok_math'))}, {stamp}</small></p>", "</body>", "</html>"]
    return "\n".join(p for p in parts if p)


def report(formula: Any, X: Any, y: Any, path: str | os.PathLike | None = None, *,
           options: Mapping[str, Any] | None = None, source: str | None = None) -> str:
    """A self-contained HTML report on `formula` over the data X, y (y: the
    observed values, or the name of X's column holding them): the formula as
    rendered maths, its scores and constants, the fit and front plots, the
    front table, a summary of the data, and `options` (the search's, as a
    mapping) and `source` (where the data came from) when given. Written to
    `path` (UTF-8) when given; returns the HTML text. Needs matplotlib."""
    text = render(formula, X, y, options=options, source=source)
    if path is not None:
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
    return text
