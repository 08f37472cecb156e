"""Reading a CSV or TSV file into the columns discover takes: only the
columns asked for are read as numbers, and a message names the file, line and
column of what is wrong."""

from __future__ import annotations

import csv
import itertools
import os
from collections.abc import Iterator, Sequence
from typing import Any

import numpy as np

from ._data import FileColumns, shown


def _content(f: Any, at: list[int]) -> Iterator[str]:
    """The lines of f but blank ones and # comments; at[0] follows the number
    of the last line given."""
    for n, line in enumerate(f, 1):
        at[0] = n
        if line.strip() and not line.lstrip().startswith("#"):
            yield line


def read_csv(path: str | os.PathLike, target: str, columns: Sequence[str] | None = None) -> FileColumns:
    """The target and variable columns (default: all others) of a CSV or TSV
    file with a header line (UTF-8, with or without a byte-order mark; blank
    lines and lines starting with # skipped). Only those columns' cells are
    read as numbers; NaN and infinities are read as such, for discover to
    refuse or drop. A ValueError names the file, line and column."""
    path = os.fspath(path)
    at = [0]
    try:
        with open(path, newline="", encoding="utf-8-sig") as f:
            lines = _content(f, at)
            first = next(lines, None)
            if first is None:
                raise ValueError(f"{path}: no header line")
            tab = path.endswith(".tsv") or "\t" in first
            records = csv.reader(itertools.chain([first], lines), delimiter="\t" if tab else ",")
            header = [h.strip() for h in next(records)]
            wanted = _selected(path, at[0], header, target, columns)
            places = [header.index(name) for name in wanted]
            cells: list[list[str]] = [[] for _ in wanted]
            numbers = []
            for record in records:
                if len(record) != len(header):
                    raise ValueError(f"{path}:{at[0]}: {len(record)} fields, but the header has {len(header)}")
                for column, place in zip(cells, places):
                    column.append(record[place])
                numbers.append(at[0])
    except OSError as exc:
        raise ValueError(f"{path}: cannot read: {exc.strerror or exc}") from None
    except UnicodeDecodeError:
        raise ValueError(f"{path}: not UTF-8 text (after line {at[0]})") from None
    except csv.Error as exc:
        limit = csv.field_size_limit()
        text = f"a cell is longer than {limit:,} characters" if f"({limit})" in str(exc) else str(exc)
        raise ValueError(f"{path}:{at[0]}: {text}") from None
    if not numbers:
        raise ValueError(f"{path}: no data rows after the header")
    return FileColumns({name: _numbers(path, name, column, numbers) for name, column in zip(wanted, cells)},
                       path, numbers)


def _selected(path: str, line: int, header: list[str], target: str, columns: Sequence[str] | None) -> list[str]:
    """The variables' names, then the target's, each naming one column."""
    def known(name: str) -> str:
        if header.count(name) != 1:
            if name in header:
                raise ValueError(f"{path}:{line}: the header names {shown(name)} more than once")
            names = ", ".join(map(shown, header[:20])) + (", ..." if len(header) > 20 else "")
            raise ValueError(f"{path}:{line}: no column {shown(name)} (the header has {names})")
        return name

    names = list(columns) if columns is not None else [h for h in header if h != target]
    if not names:
        raise ValueError(f"{path}: no variable columns besides the target {shown(target)}")
    if target in names:
        raise ValueError(f"{path}: the target {shown(target)} cannot also be a variable")
    if not all(names):
        raise ValueError(f"{path}: an empty name among the variable columns")
    return [known(name) for name in [*names, target]]


def _numbers(path: str, name: str, cells: list[str], lines: list[int]) -> np.ndarray:
    try:
        return np.array(cells, dtype=np.float64)
    except ValueError:
        pass
    for cell, line in zip(cells, lines):
        try:
            float(cell)
        except ValueError:
            raise ValueError(f"{path}:{line}: column {shown(name)}: {shown(cell.strip())} is not a number") from None
    raise ValueError(f"{path}: column {shown(name)} cannot be read as numbers")
