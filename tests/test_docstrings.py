"""Every docstring and text signature of the module, against a snapshot.

Run this file as a script to print the live texts as JSON (the snapshot in
data/docstrings.json was taken that way)."""

import json
import pathlib
import sys

import vok_core

SNAPSHOT = pathlib.Path(__file__).with_name("data") / "docstrings.json"


def texts(obj):
    return {"doc": obj.__doc__, "signature": getattr(obj, "__text_signature__", None)}


def collect():
    """{qualified name: texts} for the module's names and the classes' own members."""
    out = {}
    for name in vok_core.__all__:
        obj = getattr(vok_core, name)
        out[name] = texts(obj)
        if isinstance(obj, type):
            for member in vars(obj):
                if not member.startswith("__"):  # the interpreter's slot wrappers are not ours
                    out[f"{name}.{member}"] = texts(getattr(obj, member))
    return out


def test_texts_match_the_snapshot():
    assert collect() == json.loads(SNAPSHOT.read_text(encoding="utf-8"))


if __name__ == "__main__":
    json.dump(collect(), sys.stdout, indent=1, ensure_ascii=False)
    print()
