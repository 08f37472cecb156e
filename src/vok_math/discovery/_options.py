"""discover's keyword options as rows of a table (_search.OPTIONS), with how
each value is read from text: the command line builds a flag from each row,
so a new option of discover is one row there."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any


@dataclass(frozen=True)
class Option:
    """One keyword option of discover.

    name   the keyword (the flag is --name with - for _)
    parse  reads the value from the flag's text, raising ValueError with a
           message when it cannot; `bool` makes a --name / --no-name switch
    help   one line for --help; the default comes from discover's signature
           unless the line says "(default: ...)"
    metavar  the value's name in --help
    """

    name: str
    parse: Callable[[str], Any]
    help: str
    metavar: str = "VALUE"

    @property
    def flag(self) -> str:
        return "--" + self.name.replace("_", "-")


def integer(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        raise ValueError(f"{text!r} is not an integer") from None


def integer_or(word: str) -> Callable[[str], int | str]:
    """An integer, or the one word (auto)."""
    def parse(text: str) -> int | str:
        return word if text == word else integer(text)
    return parse


def real(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise ValueError(f"{text!r} is not a number") from None


def choice(values: Sequence[str]) -> Callable[[str], str]:
    def parse(text: str) -> str:
        if text not in values:
            raise ValueError(f"{text!r} is not one of {', '.join(values)}")
        return text
    return parse


def switch_or_real(text: str) -> bool | float:
    """yes/no (true/false, on/off) or a number."""
    words = {"yes": True, "true": True, "on": True, "no": False, "false": False, "off": False}
    if text.lower() in words:
        return words[text.lower()]
    try:
        return float(text)
    except ValueError:
        raise ValueError(f"{text!r} is neither yes/no nor a number") from None


def words(text: str) -> tuple[str, ...]:
    """a,b,c: a sequence of names."""
    items = tuple(w.strip() for w in text.split(","))
    if not all(items):
        raise ValueError(f"{text!r} has an empty name (write a,b,c)")
    return items


def pairs(text: str) -> dict[str, str]:
    """name=value,name=value: a mapping of names to text."""
    out = {}
    for item in text.split(","):
        name, sep, value = item.partition("=")
        if not sep or not name.strip():
            raise ValueError(f"{item.strip()!r} is not name=value")
        out[name.strip()] = value.strip()
    return out
