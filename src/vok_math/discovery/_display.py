"""A Formula shown as a table of its front, as LaTeX and as HTML for notebooks."""

from __future__ import annotations

import html
from typing import TYPE_CHECKING, Any

from .._optional import require
from . import _render

if TYPE_CHECKING:
    from ._formula import Formula

COLUMNS = ("complexity", "error", "rmse", "r2", "formula", "constants", "selected")


def front_rows(f: Formula) -> list[tuple[Formula, bool]]:
    """The front by complexity, each entry with whether it is f. A returned
    formula whose constants were snapped is not on the front the search
    kept: it gets a row of its own, before the front's entries of its
    complexity."""
    rows = [(g, g.tokens == f.tokens and g.params == f.params) for g in f.front]
    if not any(selected for _, selected in rows):
        rows.append((f, True))
        rows.sort(key=lambda row: (row[0].complexity, not row[1]))
    return rows


def front_table(f: Formula) -> Any:
    pd = require("pandas", "Formula.front_table()")
    rows = [(g.complexity, g.error, g.rmse, g.r2, g.formula, g.params, selected) for g, selected in front_rows(f)]
    return pd.DataFrame(rows, columns=list(COLUMNS))


def latex(f: Formula) -> str:
    lhs = "" if f.target is None else _render.latex_name(f.target) + " = "
    return f"${lhs}{f.to_latex()}$"


def _number(v: float) -> str:
    return f"{v:.4g}"


def to_html(f: Formula) -> str:
    e = html.escape
    facts = [("rmse", _number(f.rmse)), ("R<sup>2</sup>", _number(f.r2)), ("error (search score)", _number(f.error)),
             ("complexity", str(f.complexity)), ("constants (in full)", e(", ".join(map(repr, f.params))) or "none")]
    if not f.complete:
        facts.append(("complete", "no: the search stopped early"))
    out = [f"<div><p><code>{e(str(f))}</code></p>", "<table>"]
    out += [f"<tr><th style='text-align:left'>{name}</th><td>{value}</td></tr>" for name, value in facts]
    out.append("</table>")
    if f.front:
        out.append("<details open><summary>Pareto front (the selected formula in bold)</summary><table>")
        out.append("<tr><th>complexity</th><th>rmse</th><th>R<sup>2</sup></th><th>formula</th></tr>")
        for g, selected in front_rows(f):
            cells = [str(g.complexity), _number(g.rmse), _number(g.r2), f"<code>{e(g.formula)}</code>"]
            style = " style='font-weight:bold'" if selected else ""
            out.append(f"<tr{style}>" + "".join(f"<td>{c}</td>" for c in cells) + "</tr>")
        out.append("</table></details>")
    out.append("</div>")
    return "\n".join(out)
