"""Results: new objects, built without disturbing the collector."""

import pytest

import vok_core


def test_results_are_new_lists_and_inputs_untouched():
    xs = [0.0, 1.0]
    snapshot = list(xs)
    out = vok_core.exp_n(xs)
    assert out is not xs and xs == snapshot
    assert vok_core.exp_n(xs) is not out


@pytest.mark.parametrize("enabled", [True, False])
def test_building_large_results_leaves_the_collector_as_it_was(enabled):
    import gc
    was = gc.isenabled()
    try:
        (gc.enable if enabled else gc.disable)()
        out = vok_core.boost_n([(0.0, 1.0)] * 20000, [0.0] * 20000, 1.0)
        assert gc.isenabled() is enabled
        assert out[-1] == (0.0, 1.0) and len(out) == 20000
    finally:
        (gc.enable if was else gc.disable)()
