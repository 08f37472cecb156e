"""The command line: vok-math discover data.csv --target COLUMN [options].

The file is read by discovery._file.read_csv and searched by discover
itself; every keyword option of discover is a flag, built from the table
next to discover's signature (discovery._search.OPTIONS). Every failure is
one line on stderr and an exit status (EXIT_CODES).
"""

from __future__ import annotations

import argparse
import inspect
import json
import os
import signal
import sys
import threading
import warnings
from collections.abc import Callable, Sequence
from importlib.metadata import version
from typing import Any

OK, NOT_FOUND, BAD_INPUT, MISSING_PACKAGE, INTERRUPTED, PIPE_CLOSED = 0, 1, 2, 3, 130, 141

EXIT_CODES = """exit status:
  0    a formula was found and printed
  1    the search found no formula: none could be scored, or the time limit
       or the memory limit came before the first one
  2    bad input: the file, a column, a cell or an option (named in the message)
  3    a package the command needs is not installed (NumPy; matplotlib for
       --plot and --report)
  130  interrupted (Ctrl-C); a formula found before it is still printed
  141  the reader of the output went away (| head): nothing more is written"""


class _Parser(argparse.ArgumentParser):
    """Usage errors as one line, with exit status 2."""

    def error(self, message: str):
        self.exit(BAD_INPUT, f"{self.prog}: {message} (see {self.prog} --help)\n")


def _typed(parse: Callable[[str], Any]) -> Callable[[str], Any]:
    def read(text: str) -> Any:
        try:
            return parse(text)
        except ValueError as exc:
            raise argparse.ArgumentTypeError(str(exc)) from None
    return read


def _names(text: str) -> list[str]:
    return [name.strip() for name in text.split(",")]


def parser(options: Sequence[Any] = (), defaults: Any = None) -> argparse.ArgumentParser:
    """The parser, with a flag for each of discover's options (rows of
    discovery._search.OPTIONS; defaults: discover's signature's parameters)."""
    p = _Parser(prog="vok-math", description="Formula discovery on tabular data.", epilog=EXIT_CODES,
                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--version", action="version", version=f"%(prog)s {version('vok_math')}")
    sub = p.add_subparsers(dest="command", required=True)
    d = sub.add_parser("discover", help="find a formula for one column from the others", epilog=EXIT_CODES,
                       description="Find a formula for the target column of a CSV or TSV file with a header line.",
                       formatter_class=argparse.RawDescriptionHelpFormatter)
    d.add_argument("file", help="CSV or TSV file (UTF-8) with a header line; lines starting with # are comments")
    d.add_argument("--target", required=True, help="the column to explain")
    d.add_argument("--columns", type=_names, metavar="A,B,...",
                   help="the variable columns (default: all others); no other column is read")
    d.add_argument("--json", action="store_true", help="print the result as JSON")
    d.add_argument("--plot", metavar="FILE", help="write the fit, its residuals and the front as one image "
                   "(png, svg or pdf by the name's ending; needs matplotlib)")
    d.add_argument("--report", metavar="FILE", help="write a self-contained HTML report (needs matplotlib)")
    search = d.add_argument_group("search options (the keywords of vok_math.discover)")
    for o in options:
        text = o.help if "(default:" in o.help else f"{o.help} (default: {_default(defaults[o.name].default)})"
        # Only the flags given reach discover: its own defaults apply to the others.
        kind = {"action": argparse.BooleanOptionalAction} if o.parse is bool else \
            {"type": _typed(o.parse), "metavar": o.metavar}
        search.add_argument(o.flag, default=argparse.SUPPRESS, help=text.replace("%", "%%"), **kind)
    return p


def _default(value: Any) -> str:
    if value is None or isinstance(value, bool):
        return {True: "yes", False: "no", None: "none"}[value]
    return str(value)


def _fail(code: int, message: str) -> int:
    print(f"vok-math: {message}", file=sys.stderr)
    return code


def as_dict(f: Any) -> dict:
    return {"formula": f.formula, "params": list(f.params), "error": f.error, "rmse": f.rmse, "r2": f.r2,
            "complexity": f.complexity, "latex": f.to_latex()}


def summary(f: Any, as_json: bool) -> str:
    """The result as text (or JSON): the formula, its scores and the front."""
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


class _Interrupts:
    """Notes a Ctrl-C (which still raises KeyboardInterrupt, so that the
    search stops with its best formula so far) while in effect."""

    def __init__(self) -> None:
        self.seen = False

    def __enter__(self) -> _Interrupts:
        self.previous = None
        if threading.current_thread() is threading.main_thread():
            self.previous = signal.signal(signal.SIGINT, self._note)
        return self

    def _note(self, signum: int, frame: Any) -> None:
        self.seen = True
        raise KeyboardInterrupt

    def __exit__(self, *exc: Any) -> None:
        if self.previous is not None:
            signal.signal(signal.SIGINT, self.previous)


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line on argv (default: sys.argv[1:]) and returns its
    exit status."""
    try:
        from .discovery import _search
    except ImportError as exc:  # --version and --help still work
        try:
            parser().parse_known_args(argv)
        except SystemExit as done:
            return done.code
        return _fail(MISSING_PACKAGE, str(exc))
    defaults = inspect.signature(_search.discover).parameters
    try:
        args = parser(_search.OPTIONS, defaults).parse_args(argv)
    except SystemExit as done:  # --help, --version, or a usage error (already reported)
        return done.code
    try:
        return _run(args, _search, defaults)
    except KeyboardInterrupt:  # before the search found a formula, or while writing
        return _fail(INTERRUPTED, "interrupted")


def _run(args: argparse.Namespace, _search: Any, defaults: Any) -> int:
    options = {o.name: getattr(args, o.name) for o in _search.OPTIONS if hasattr(args, o.name)}
    options.setdefault("progress", sys.stderr.isatty())
    if args.plot or args.report:  # checked before the search, not after it
        from . import _optional
        from .discovery import _plot
        try:
            _plot.check_path(args.plot or "a.png")
            _optional.require("matplotlib", "--report" if args.report else "--plot")
        except ValueError as exc:
            return _fail(BAD_INPUT, str(exc))
        except ImportError as exc:
            return _fail(MISSING_PACKAGE, str(exc))
    with _Interrupts() as interrupts, warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        code, f, data = _search_file(args, options, _search)
    for w in caught:
        print(f"vok-math: warning: {w.message}", file=sys.stderr)
    if f is None:
        return code
    code = INTERRUPTED if interrupts.seen else OK
    try:
        _write_files(args, f, data, {o.name: defaults[o.name].default for o in _search.OPTIONS} | options)
    except OSError as exc:
        return _fail(BAD_INPUT, f"cannot write {exc.filename}: {exc.strerror or exc}")
    try:
        print(summary(f, args.json), flush=True)
    except BrokenPipeError:
        # No more output, and none at exit either (stdout's final flush).
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return PIPE_CLOSED
    return code


def _search_file(args: argparse.Namespace, options: dict, search: Any) -> tuple[int, Any, Any]:
    """(exit status, formula or None, the columns read) of the search on the file."""
    from .discovery import _file
    try:
        data = _file.read_csv(args.file, args.target, args.columns)
        f = search.discover(data, args.target, **options)
    except KeyError as exc:
        return _fail(BAD_INPUT, str(exc.args[0]) if exc.args else "a column is missing"), None, None
    except (ValueError, TypeError) as exc:
        return _fail(BAD_INPUT, str(exc)), None, None
    except TimeoutError as exc:
        return _fail(NOT_FOUND, f"{args.file}: {exc}"), None, None
    except MemoryError as exc:
        return _fail(NOT_FOUND, f"{args.file}: {str(exc) or 'out of memory'}"), None, None
    if f is None:
        return _fail(NOT_FOUND, f"{args.file}: no formula could be scored"), None, None
    return OK, f, data


def _write_files(args: argparse.Namespace, f: Any, data: Any, options: dict) -> None:
    variables = {name: data[name] for name in f.names}
    if args.plot:
        from .discovery import _plot
        _plot.save_all(f, variables, data[args.target], args.plot)
    if args.report:
        from .discovery import _report
        _report.report(f, variables, data[args.target], args.report, options=options, source=args.file)
