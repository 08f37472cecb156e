"""Progress within a level: reports while a level is scored, stopping from
them, and the bar's share of the level."""

import io

import numpy as np
import pytest

import vok_math
from vok_math.discovery._progress import LevelStatus


def table(rows=20_000):
    rng = np.random.default_rng(2)
    X = rng.uniform(0.5, 2.0, (rows, 3))
    return X, X[:, 0] * X[:, 1] / X[:, 2] + np.exp(-X[:, 0])


OPTIONS = {"max_complexity": 6, "selection": "penalty", "snap": False}


def test_reports_within_levels_count_its_candidates_and_change_nothing():
    X, y = table()
    after, within = [], []

    def progress(level, candidates, best, status=None):
        (after if status is None else within).append((level, candidates, status))
    f = vok_math.discover(X, y, progress=progress, **OPTIONS)
    plain = vok_math.discover(X, y, **OPTIONS)
    assert (f.tokens, f.params, f.rmse) == (plain.tokens, plain.params, plain.rmse)
    assert [level for level, _, _ in after] == [1, 2, 3, 4, 5, 6]
    assert within, "levels on this many rows last longer than the interval between reports"
    for level, scored, status in within:
        assert status.level == level and status.scored == scored <= status.candidates
        assert status.candidates == after[level - 1][1]
    scored_in = {}
    for level, scored, _ in within:
        assert scored >= scored_in.get(level, 0)
        scored_in[level] = scored


def test_a_report_within_a_level_can_stop_the_search():
    X, y = table()
    levels = []

    def progress(level, candidates, best, status=None):
        levels.append(level)
        return status is None
    f = vok_math.discover(X, y, progress=progress, **OPTIONS)
    assert not f.complete and levels[-1] < 6


def test_errors_of_a_report_within_a_level_propagate():
    def fail(level, candidates, best, **status):
        if status:
            raise LookupError("within the level")
    with pytest.raises(LookupError, match="within the level"):
        vok_math.discover(*table(), progress=fail, **OPTIONS)


def test_the_bar_shows_the_share_of_the_level_and_its_time_left():
    out = io.StringIO()
    bar = vok_math.discovery.TextProgress(8, stream=out)
    bar(4, 1000, None, status=LevelStatus(4, 1000, 4000, 2.0, 6.0))
    # Three levels done and a quarter of the fourth: 3.25 of 8 levels, 8 of 20 marks.
    assert "[########------------] 1,000 candidates of 4,000 (level ~6 s left)" in out.getvalue()
