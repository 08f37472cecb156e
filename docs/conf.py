"""Sphinx configuration: the reference is built from the installed module's
docstrings, with the signatures taken from its type stubs."""

import ast
import importlib
import pathlib

from docutils.parsers.rst import Directive

import vok_math

project = "vok_math"
author = "The vok_math developers"
copyright = "2026, The vok_math developers"
release = vok_math.__version__
version = release

extensions = ["sphinx.ext.autodoc", "sphinx.ext.doctest"]
exclude_patterns = ["_build"]
html_theme = "alabaster"
autodoc_member_order = "bysource"
nitpicky = False
doctest_global_setup = "import math\nimport vok_core\nfrom vok_core import *"


# The extension's functions carry no introspectable signature; the stub next
# to the module has them, with types. Map "Class.method" / "function" to the
# stub's argument list and return annotation.
def _stub_signatures():
    stub = pathlib.Path(vok_math.__file__).with_name("vok_core.pyi")
    sigs = {}

    def add(prefix, body):
        for node in body:
            if isinstance(node, ast.FunctionDef):
                args = node.args
                if prefix and args.args and args.args[0].arg in ("self", "cls"):
                    args = ast.arguments(posonlyargs=args.posonlyargs, args=args.args[1:], vararg=args.vararg,
                                         kwonlyargs=args.kwonlyargs, kw_defaults=args.kw_defaults,
                                         kwarg=args.kwarg, defaults=args.defaults)
                returns = ast.unparse(node.returns) if node.returns else None
                # the stub's private aliases read better as what they accept
                text = f"({ast.unparse(args)})".replace("_Float", "float").replace("_Flag", "bool")
                sigs[prefix + node.name] = (text, returns)
            elif isinstance(node, ast.ClassDef):
                add(prefix + node.name + ".", node.body)

    add("", ast.parse(stub.read_text()).body)
    # a class is documented with its constructor's signature
    for key in [k for k in sigs if k.endswith(".__new__")]:
        sigs[key[: -len(".__new__")]] = (sigs[key][0], None)
    return sigs


_SIGS = _stub_signatures()


def _signature(app, what, name, obj, options, signature, return_annotation):
    key = name.removeprefix("vok_core.")
    if key in _SIGS and what in ("function", "method", "class"):
        return _SIGS[key]
    return None


# The package's docstrings are plain text with their own line breaks (and
# characters such as |x| or as_ that reStructuredText would read as markup):
# show each as a line block of escaped text, a blank line as an empty line.
def _plain_docstring(app, what, name, obj, options, lines):
    if not name.startswith(("vok_core.", "vok_math.")):
        return
    text = [line for line in lines if line.strip()] if name.startswith("vok_core.") else list(lines)
    while text and not text[-1].strip():
        text.pop()
    for ch in "\\*|_`[":
        text = [line.replace(ch, "\\" + ch) for line in text]
    lines[:] = [("| " + line) if line.strip() else "|" for line in text] + [""] if text else []


class ModuleReference(Directive):
    """``.. module-reference:: name``: the automodule reference (with its
    members) of a module of the package, which must import: a wrong name or
    a module that fails to import fails the build. (automodule alone would
    document a function of the same dotted name, vok_math.discover, as the
    module.)"""

    required_arguments = 1

    def run(self):
        name = self.arguments[0]
        try:
            importlib.import_module(name)
        except ImportError as e:
            raise self.error(f"the documented module {name} does not import: {e}")
        self.state_machine.insert_input([f".. automodule:: {name}", "   :members:", ""],
                                        self.state_machine.input_lines.source(0))
        return []


def setup(app):
    app.connect("autodoc-process-signature", _signature)
    app.connect("autodoc-process-docstring", _plain_docstring)
    app.add_directive("module-reference", ModuleReference)
