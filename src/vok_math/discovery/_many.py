"""discover_many(): one search per problem on a concurrent.futures executor."""

from __future__ import annotations

import multiprocessing
import os
from collections.abc import Iterable
from concurrent.futures import Executor, ProcessPoolExecutor
from concurrent.futures.process import BrokenProcessPool
from typing import Any

from .. import _ext, vok_core  # noqa: F401  (the engine must be importable before work is sent out)
from . import _data
from ._formula import Formula
from ._search import discover
from ._select import RULES


def _set_pool_threads(threads: int) -> None:
    # Runs first in each worker process, before its engine pool exists.
    os.environ["RAYON_NUM_THREADS"] = str(threads)


def _solve(X: Any, y: Any, options: dict) -> Formula | None:
    return discover(X, y, **options)


def default_executor(problems: int) -> ProcessPoolExecutor:
    """Processes times engine workers per process stays within the cores."""
    cores = os.process_cpu_count() or 1
    processes = max(1, min(problems, cores))
    return ProcessPoolExecutor(max_workers=processes, mp_context=multiprocessing.get_context("spawn"),
                               initializer=_set_pool_threads, initargs=(max(1, cores // processes),))


def discover_many(problems: Iterable[tuple[Any, Any]], *, executor: Executor | None = None,
                  **options: Any) -> list[Formula | None | BaseException]:
    """discover(X, y, **options) for each (X, y) of problems, run on the
    executor (default: a process pool of spawned processes, sized so that
    processes times engine workers does not exceed the cores).

    Returns one entry per problem, in input order: the Formula (or None), or
    the exception that problem raised; one failing problem does not stop
    the others. A problem whose worker process dies (a crash, an out-of-memory
    kill) gets the pool's BrokenProcessPool; the problems the dead pool had
    not finished run again on fresh processes. Invalid options raise at
    once; progress is not available.
    """
    if "progress" in options:
        raise TypeError("discover_many() does not take progress")
    # Options are checked once here, with discover's defaults.
    probe = {**_ext.DEFAULTS, "time_limit": None}
    unknown = set(options) - set(probe) - {"names", "drop_nonfinite", "constants", "selection", "snap",
                                                 "units", "target_units"}
    if unknown:
        raise TypeError(f"discover_many() got unexpected option(s): {', '.join(sorted(unknown))}")
    _data.check_options(**{**probe, **{k: v for k, v in options.items() if k in probe}}, progress=None)
    _data.check_fit_options(options.get("constants", True), options.get("selection"), options.get("snap", True),
                            RULES)

    problems = list(problems)
    results: list[Any] = [None] * len(problems)
    pending = {}
    for i, problem in enumerate(problems):
        try:
            X, y = problem
            pending[i] = (X, y)
        except Exception as exc:
            results[i] = exc
    unfinished = _run(pending, executor, options, results)
    # A worker process died (a crash, an out-of-memory kill) and took every
    # queued problem with it: those run again, one at a time on fresh
    # processes, so that a problem that kills its worker again is the only
    # one to report it, and each runs at most twice.
    fresh = None
    try:
        for i in unfinished:
            fresh = fresh or default_executor(1)
            if _run({i: pending[i]}, fresh, options, results):
                fresh.shutdown()
                fresh = None
    finally:
        if fresh is not None:
            fresh.shutdown()
    return results


def _run(problems: dict, executor: Executor | None, options: dict, results: list) -> list[int]:
    """Runs the problems on the executor (a fresh default one when None),
    filling results; returns the problems a broken process pool left
    unfinished (their results hold its error)."""
    unfinished: list[int] = []
    own = executor is None
    if not problems:
        return unfinished
    if own:
        executor = default_executor(len(problems))
    try:
        futures = {}
        for i, (X, y) in problems.items():
            try:
                futures[i] = executor.submit(_solve, X, y, options)
            except BrokenProcessPool as exc:
                results[i] = exc
                unfinished.append(i)
            except Exception as exc:
                results[i] = exc
        for i, future in futures.items():
            try:
                results[i] = future.result()
            except BrokenProcessPool as exc:
                results[i] = exc
                unfinished.append(i)
            except Exception as exc:
                results[i] = exc
    finally:
        if own:
            executor.shutdown()
    return unfinished
