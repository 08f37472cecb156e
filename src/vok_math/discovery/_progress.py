"""Progress within a level: what a progress callback that takes `status` is
told while a level is scored, with an estimate of the time the level has left."""

from __future__ import annotations

import dataclasses
import inspect
import time
from collections.abc import Callable
from typing import Any


@dataclasses.dataclass(frozen=True)
class LevelStatus:
    """How far the level being scored is.

    level: the level (2 and up); scored: its candidates done so far, of
    candidates; seconds: since the level began; seconds_left: the estimated
    time to the end of the level at the rate so far (None before there is a
    rate)."""

    level: int
    scored: int
    candidates: int
    seconds: float
    seconds_left: float | None

    @property
    def fraction(self) -> float:
        return self.scored / self.candidates if self.candidates else 1.0


def takes_status(callback: Any) -> bool:
    """True when callback accepts a keyword argument `status`."""
    try:
        params = inspect.signature(callback).parameters.values()
    except (TypeError, ValueError):
        return False
    return any(p.kind is p.VAR_KEYWORD or (p.name == "status" and p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY))
               for p in params)


class LevelClock:
    """Times the levels from the engine's reports: after_level() at the end
    of each level, within(level, scored, candidates) during one; the latter
    gives the LevelStatus to report."""

    def __init__(self) -> None:
        self.started = time.monotonic()  # the end of the last level: the next one's start

    def after_level(self) -> None:
        self.started = time.monotonic()

    def within(self, level: int, scored: int, candidates: int) -> LevelStatus:
        seconds = time.monotonic() - self.started
        left = seconds * (candidates - scored) / scored if scored else None
        return LevelStatus(level, scored, candidates, seconds, left)


def engine_progress(user: Callable[..., Any], best_of: Callable[[tuple | None], Any]) -> Any:
    """The engine's progress argument for a user callback: the callback after
    each level, as progress(level, candidates, best); and, when it takes
    `status`, within levels too as progress(level, scored, best, status=...),
    best being the last level's. Returning False stops the search either way."""
    clock = LevelClock()
    last: list[Any] = [None]

    def after_level(level: int, candidates: int, best: tuple | None) -> bool:
        last[0] = best_of(best)
        clock.after_level()
        return user(level, candidates, last[0]) is not False

    if not takes_status(user):
        return after_level

    def within(level: int, scored: int, candidates: int) -> bool:
        return user(level, scored, last[0], status=clock.within(level, scored, candidates)) is not False

    return (after_level, within)
