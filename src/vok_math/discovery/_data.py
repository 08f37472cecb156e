"""Turning the user's data into the engine's columns, with messages that say
exactly what is wrong and where."""

from __future__ import annotations

import math
import numbers
from collections.abc import Callable, Mapping, Sequence
from typing import Any

import numpy as np

from ._ops import VAR


def default_names(n: int) -> list[str]:
    """x, y, z for up to three variables (the engine's own letters), else x0, x1, ..."""
    return list("xyz"[:n]) if n <= 3 else [f"x{i}" for i in range(n)]


def _is_dataframe(obj: Any) -> bool:
    return type(obj).__name__ == "DataFrame" and hasattr(obj, "columns") and hasattr(obj, "iloc")


def _column(values: Any, what: str) -> np.ndarray:
    """values as a float64 array, a view of them when they already are one
    (the engine reads strided columns: a big table is not copied here); a
    cell that is not a real number is named."""
    try:
        arr = np.asarray(values)
    except Exception as exc:  # ragged lists and the like
        raise ValueError(f"{what}: cannot be read as numbers ({exc})") from None
    if arr.dtype.kind in "biuf":
        return np.asarray(arr, dtype=np.float64)
    if arr.dtype.kind != "O":  # mixed cells became text: look at the originals
        try:
            arr = np.asarray(values, dtype=object)
        except ValueError:
            pass
    flat = arr.reshape(-1) if arr.ndim else arr.reshape(1)
    for i, cell in enumerate(flat):
        if isinstance(cell, (bool, np.bool_)) or not isinstance(cell, (numbers.Real, np.floating, np.integer)):
            where = f"row {i}" if arr.ndim <= 1 else f"row {i // arr.shape[-1]}, column {i % arr.shape[-1]}"
            raise TypeError(f"{what}: {where} holds {cell!r}, which is not a real number")
    if arr.dtype.kind == "O" and arr.size == 0:
        return np.zeros(arr.shape)
    return np.ascontiguousarray(arr, dtype=np.float64)


def _same_length(keys: Sequence[str], columns: list[np.ndarray]) -> None:
    """Named columns of different lengths, refused by their names (which the
    engine, seeing only a shorter column's position, cannot give)."""
    if len({len(c) for c in columns}) > 1:
        detail = ", ".join(f"{k!r}: {len(c)}" for k, c in zip(keys, columns))
        raise ValueError(f"X's columns differ in length ({detail})")


def _labelled(X: Any, needed: Sequence[str] | None = None) -> dict[str, Any]:
    """The columns of a DataFrame or mapping by the text of their labels, the
    names a formula gives them (a DataFrame made from an array has the labels
    0, 1, ...: its columns are '0', '1', ...). Two columns of one name are
    refused when that name is `needed` (None: any name)."""
    pairs = [(str(k), v) for k, v in X.items()]
    source = dict(pairs)
    if len(source) != len(pairs):
        seen: set[str] = set()
        for k, _ in pairs:
            if k in seen and (needed is None or k in needed):
                raise ValueError(f"X has more than one column named {k!r}")
            seen.add(k)
    return source


def _listed(keys: Any) -> str:
    keys = list(keys)
    return ", ".join(map(repr, keys[:20])) + (", ..." if len(keys) > 20 else "") if keys else "none"


def target_column(source: Mapping[str, Any], y: str) -> Any:
    """The values of the column y names, or a KeyError that lists the columns."""
    if y not in source:
        raise KeyError(f"y names the column {y!r}, which X does not have (its columns: {_listed(source)})")
    return source[y]


def read_table(X: Any, y: Any, names: Sequence[str] | None) -> tuple[list[str], list[np.ndarray], np.ndarray]:
    """(names, columns, targets) from X of shape (rows, variables) or a mapping
    of name to column, and y as values or a column name of X."""
    if _is_dataframe(X) or isinstance(X, Mapping):
        source = _labelled(X)
        keys = list(source)
        if isinstance(y, str):
            target = y
            y = target_column(source, target)
            keys.remove(target)
        columns = [_column(source[k], f"X column {k!r}") for k in keys]
        for k, col in zip(keys, columns):
            if col.ndim != 1:
                raise ValueError(f"X column {k!r} must be one-dimensional, not of shape {col.shape}")
        _same_length(keys, columns)
        found_names = keys
    else:
        table = _column(X, "X")
        if table.ndim != 2:
            hint = " (one variable: pass X.reshape(-1, 1) or [[v] for v in values])" if table.ndim == 1 else ""
            raise ValueError(f"X must be 2-D, of shape (rows, variables); got shape {table.shape}{hint}")
        columns = [table[:, j] for j in range(table.shape[1])]
        found_names = None
    # No column at all is the engine's to refuse (at the search).
    targets = target_values(X, y)
    rows = len(columns[0]) if columns else len(targets)
    if len(targets) != rows:
        raise ValueError(f"y has {len(targets)} values but X has {rows} rows")
    if rows == 0:
        raise ValueError("X has no rows")
    if names is not None:
        names = [n for n in names]
        if not all(isinstance(n, str) for n in names):
            raise TypeError("names must be strings")
        if len(names) != len(columns):
            raise ValueError(f"{len(names)} names given for {len(columns)} variables")
    else:
        names = found_names or default_names(len(columns))
    if len(set(names)) != len(names):
        raise ValueError(f"variable names must differ: {names}")
    return list(names), columns, targets


def shown(text: str, limit: int = 40) -> str:
    """A cell or name of the user's file for a message: quoted with control
    characters escaped, and cut to `limit` characters saying its length."""
    if len(text) <= limit:
        return repr(text)
    return f"{text[:limit]!r}... ({len(text):,} characters)"


class FileColumns(dict):
    """Columns read from a file by _file.read_csv (name -> float64 array, the
    target last), with each row's line in the file, by which discover's
    messages name a row."""

    def __init__(self, columns: dict[str, np.ndarray], path: str, lines: list[int]):
        super().__init__(columns)
        self.path, self.lines = path, lines

    def line(self, row: int) -> str:
        return f"{self.path}:{self.lines[row]}"


def lines_of(X: Any) -> Callable[[int], str] | None:
    """How a message names a row of X: by its line in the file it was read from."""
    return X.line if isinstance(X, FileColumns) else None


def finite_rows(names: Sequence[str], columns: list[np.ndarray], targets: np.ndarray,
                drop: bool, line: Callable[[int], str] | None = None) -> tuple[list[np.ndarray], np.ndarray]:
    """Refuses NaN and infinities, naming the first such cell (by line(row)
    when given), or (drop=True) keeps only the rows where every value is
    finite."""
    ok = np.isfinite(targets)
    for col in columns:
        ok &= np.isfinite(col)
    if ok.all():
        return columns, targets
    if drop:
        if not ok.any():
            raise ValueError("every row holds NaN or an infinity: no rows left")
        return [np.ascontiguousarray(c[ok]) for c in columns], np.ascontiguousarray(targets[ok])
    row = int(np.flatnonzero(~ok)[0])
    for name, col in zip(names, columns):
        if not math.isfinite(col[row]):
            where = (f"X row {row}, column {name!r}" if line is None else f"{line(row)}: column {shown(name)}")
            where += f" is {col[row]}"
            break
    else:
        where = (f"y row {row}" if line is None else f"{line(row)}: the target") + f" is {targets[row]}"
    hint = ("pass drop_nonfinite=True to drop rows that are not finite" if line is None
            else "drop_nonfinite=True (--drop-nonfinite) drops rows that are not finite")
    raise ValueError(f"{where}; {hint}")


def target_values(X: Any, y: Any) -> np.ndarray:
    """y as 1-D float values, or the column of X it names."""
    if isinstance(y, str):
        if not (_is_dataframe(X) or isinstance(X, Mapping)):
            raise TypeError("y can name a column only when X is a DataFrame or a mapping of columns")
        y = target_column(_labelled(X, (y,)), y)
    values = _column(y, "y")
    if values.ndim != 1:
        raise ValueError(f"y must be 1-D; got shape {values.shape}")
    return values


def predictors(X: Any, names: Sequence[str]) -> list[np.ndarray]:
    """The columns of X a formula over `names` reads: by name from a DataFrame
    or mapping, by position from an array of shape (rows, variables)."""
    if _is_dataframe(X) or isinstance(X, Mapping):
        source = _labelled(X, names)
        missing = [n for n in names if n not in source]
        if missing:
            raise KeyError(f"X lacks the column(s) {', '.join(map(repr, missing))} (its columns: {_listed(source)})")
        columns = [_column(source[n], f"X column {n!r}") for n in names]
        _same_length(names, columns)
        return columns
    table = _column(X, "X")
    if table.ndim == 1 and len(names) == 1:
        table = table.reshape(-1, 1)
    if table.ndim != 2 or table.shape[1] != len(names):
        raise ValueError(f"X must have shape (rows, {len(names)}); got {table.shape}")
    return [table[:, j] for j in range(table.shape[1])]


def used_columns(formulas: Sequence[Sequence[tuple]], columns: Sequence[np.ndarray]
                 ) -> tuple[list[tuple], list[np.ndarray], list[int]]:
    """The formulas' tokens renumbered over only the columns they read, those
    columns, and their indexes among `columns` (at least the first column,
    which gives the row count): the engine then copies no more of a wide
    table than is read."""
    used = sorted({t[2] for tokens in formulas for t in tokens if t[0] == VAR}) or [0]
    index = {j: i for i, j in enumerate(used)}
    renumbered = [tuple((k, o, index[i] if k == VAR else i, v) for k, o, i, v in tokens) for tokens in formulas]
    return renumbered, [columns[j] for j in used], used


def restore_columns(tokens: Sequence[tuple], used: Sequence[int]) -> tuple:
    """Tokens of used_columns' numbering in that of all the columns."""
    return tuple((k, o, used[i] if k == VAR else i, v) for k, o, i, v in tokens)


def check_options(max_complexity: Any, beam_width: Any, precision_goal: Any, complexity_penalty: Any,
                  use_trig: Any, use_vok: Any, time_limit: Any, progress: Any) -> None:
    def count(name: str, v: Any, least: int) -> None:
        if isinstance(v, bool) or not isinstance(v, numbers.Integral):
            raise TypeError(f"{name} must be an integer, not {type(v).__name__}")
        if v < least:
            raise ValueError(f"{name} must be at least {least}; got {v}")
        if v >= 2**63:
            raise ValueError(f"{name} is too large: {v}")

    def real(name: str, v: Any) -> None:
        if isinstance(v, bool) or not isinstance(v, numbers.Real):
            raise TypeError(f"{name} must be a real number, not {type(v).__name__}")

    count("max_complexity", max_complexity, 0)
    count("beam_width", beam_width, 1)
    real("precision_goal", precision_goal)
    if math.isnan(precision_goal):
        raise ValueError("precision_goal must not be NaN")
    real("complexity_penalty", complexity_penalty)
    if not (0 <= complexity_penalty < math.inf):
        raise ValueError(f"complexity_penalty must be finite and not negative; got {complexity_penalty}")
    for name, v in (("use_trig", use_trig), ("use_vok", use_vok)):
        if not isinstance(v, (bool, np.bool_)):
            raise TypeError(f"{name} must be True or False, not {type(v).__name__}")
    if time_limit is not None:
        real("time_limit", time_limit)
        if not time_limit > 0:
            raise ValueError(f"time_limit must be positive seconds; got {time_limit}")
    if not (progress is None or isinstance(progress, bool) or callable(progress)):
        raise TypeError("progress must be None, True, False or a callable")


def check_fit_options(constants: Any, selection: Any, snap: Any, rules: Sequence[str]) -> None:
    if not isinstance(constants, (bool, np.bool_)):
        raise TypeError(f"constants must be True or False, not {type(constants).__name__}")
    if selection is not None and selection not in rules:
        raise ValueError(f"selection must be one of {', '.join(map(repr, rules))}; got {selection!r}")
    if not isinstance(snap, (bool, np.bool_)):
        if not isinstance(snap, numbers.Real):
            raise TypeError(f"snap must be True, False or a fraction, not {type(snap).__name__}")
        if not 0 <= snap < math.inf:
            raise ValueError(f"snap must be a finite fraction, not negative; got {snap}")
