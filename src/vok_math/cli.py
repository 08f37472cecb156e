"""The command line: vok-math discover data.csv --target COLUMN.

Exit status 0 on success, 1 when no formula could be scored, 2 on bad input
(with a message naming the file, line and column).
"""

from __future__ import annotations

import argparse
import csv
import json
import math
import sys
from collections.abc import Sequence

import numpy as np

from . import _ext
from .discovery import Formula, discover
from .discovery._select import RULES


class InputError(Exception):
    """Bad input: the message names the file, line and column."""


def read_table(path: str) -> tuple[list[str], list[list[float]], list[int]]:
    """(header, rows, line numbers) of a CSV or TSV file with a header line;
    blank lines and lines starting with # are skipped."""
    try:
        with open(path, newline="", encoding="utf-8") as f:
            text = f.read()
    except (OSError, UnicodeDecodeError) as exc:
        raise InputError(f"{path}: cannot read: {exc}") from None
    lines = [(n, line) for n, line in enumerate(text.splitlines(), 1)
             if line.strip() and not line.lstrip().startswith("#")]
    if not lines:
        raise InputError(f"{path}: no header line")
    first_line, header_text = lines[0]
    delimiter = "\t" if path.endswith(".tsv") or "\t" in header_text else ","
    records = csv.reader([line for _, line in lines], delimiter=delimiter)
    header = [h.strip() for h in next(records)]
    if len(set(header)) != len(header) or not all(header):
        raise InputError(f"{path}:{first_line}: the header needs distinct, non-empty column names")
    rows, numbers = [], []
    for (n, _), record in zip(lines[1:], records):
        if len(record) != len(header):
            raise InputError(f"{path}:{n}: {len(record)} fields, but the header has {len(header)}")
        row = []
        for name, cell in zip(header, record):
            try:
                value = float(cell)
            except ValueError:
                raise InputError(f"{path}:{n}: column {name!r}: {cell.strip()!r} is not a number") from None
            if not math.isfinite(value):
                raise InputError(f"{path}:{n}: column {name!r}: {cell.strip()!r} is not a finite number")
            row.append(value)
        rows.append(row)
        numbers.append(n)
    if not rows:
        raise InputError(f"{path}: no data rows after the header")
    return header, rows, numbers


def select(path: str, header: list[str], target: str, columns: str | None) -> tuple[list[str], int]:
    def index(name: str) -> int:
        if name not in header:
            raise InputError(f"{path}:1: no column {name!r} (the header has {', '.join(header)})")
        return header.index(name)

    t = index(target)
    names = [c.strip() for c in columns.split(",")] if columns else [h for h in header if h != target]
    for name in names:
        index(name)
    if not names:
        raise InputError(f"{path}: no variable columns besides the target {target!r}")
    if target in names:
        raise InputError(f"{path}: the target {target!r} cannot also be a variable")
    return names, t


def as_dict(f: Formula) -> dict:
    return {"formula": f.formula, "params": list(f.params), "error": f.error, "rmse": f.rmse, "r2": f.r2,
            "complexity": f.complexity, "latex": f.to_latex()}


def report(f: Formula, as_json: bool) -> str:
    if as_json:
        return json.dumps({"target": f.target, "variables": list(f.names), **as_dict(f), "complete": f.complete,
                           "python": f.to_python(), "front": [as_dict(g) for g in f.front]}, indent=2)
    lines = [str(f),
             f"  error {f.error:.6g}  rmse {f.rmse:.6g}  R^2 {f.r2:.6g}  complexity {f.complexity}"
             + ("" if f.complete else "  (search stopped early: best so far)")]
    if f.params:
        lines.append("  constants (in full): " + ", ".join(map(repr, f.params)))
    lines += ["", "Pareto front (best formula per complexity):",
              f"  {'complexity':>10}  {'rmse':>12}  {'R^2':>10}  formula"]
    lines += [f"  {g.complexity:>10}  {g.rmse:>12.6g}  {g.r2:>10.6g}  {g.formula}" for g in f.front]
    return "\n".join(lines)


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="vok-math", description="Formula discovery on tabular data.")
    sub = p.add_subparsers(dest="command", required=True)
    d = sub.add_parser("discover", help="find a formula for one column from the others",
                       description="Find a formula for the target column of a CSV/TSV file with a header.")
    d.add_argument("file", help="CSV or TSV file with a header line; lines starting with # are comments")
    d.add_argument("--target", required=True, help="the column to explain")
    d.add_argument("--columns", help="comma-separated variable columns (default: all others)")
    d.add_argument("--max-complexity", type=int, default=_ext.DEFAULTS["max_complexity"], metavar="N")
    d.add_argument("--time-limit", type=float, default=None, metavar="S", help="seconds; the best so far is kept")
    d.add_argument("--no-constants", action="store_true",
                   help="search on the constants 0 and 1 only, as find_formula does")
    d.add_argument("--selection", choices=RULES, default=None,
                   help="how the formula is chosen from the Pareto front (default: mdl, or penalty without constants)")
    d.add_argument("--json", action="store_true", help="print the result as JSON")
    return p


def main(argv: Sequence[str] | None = None) -> int:
    args = parser().parse_args(argv)
    try:
        header, rows, _ = read_table(args.file)
        names, _ = select(args.file, header, args.target, args.columns)
        table = np.array(rows)
        X = {name: table[:, header.index(name)] for name in [*names, args.target]}
        f = discover(X, args.target, constants=not args.no_constants, selection=args.selection,
                     max_complexity=args.max_complexity, time_limit=args.time_limit, progress=sys.stderr.isatty())
    except (InputError, ValueError, TypeError) as exc:
        print(f"vok-math: {exc}", file=sys.stderr)
        return 2
    if f is None:
        print(f"vok-math: {args.file}: no formula could be scored", file=sys.stderr)
        return 1
    print(report(f, args.json))
    return 0
