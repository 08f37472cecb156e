"""Type stubs for vok_math._ext, the package's second extension module
(internal: the public API is vok_math.discover and friends)."""

from collections.abc import Callable, Mapping, Sequence
from typing import Any

from .vok_core import PySearchResult

_Token = tuple[int, int, int, float]

# The engine's declaration tables.
DEFAULTS: Mapping[str, int | float | bool]
FIT_DEFAULTS: Mapping[str, int]
TOKEN_KINDS: Mapping[str, int]
OPERATORS: tuple[tuple[int, str, int], ...]
# (tokens, error, complexity, rmse, params)
_Result = tuple[tuple[_Token, ...], float, int, float, tuple[float, ...]]

def search(
    columns: Sequence[Any],
    targets: Any,
    max_complexity: int,
    beam_width: int,
    precision_goal: float,
    complexity_penalty: float,
    use_trig: bool,
    use_vok: bool,
    time_limit: float | None,
    progress: Callable[[int, int, _Result | None], object]
    | tuple[Callable[[int, int, _Result | None], object], Callable[[int, int, int], object] | None]
    | None,
    fit: dict[str, int] | None = None,
    operators: Sequence[str] = (),
    beam: list[_Result] | None = None,
) -> tuple[_Result | None, bool, str, list[_Result], BaseException | None]: ...
def evaluate(tokens: Sequence[Sequence[float]], columns: Sequence[Any], params: Sequence[float] = ()) -> bytes: ...
def rmse(tokens: Sequence[Sequence[float]], params: Sequence[float], columns: Sequence[Any], targets: Any) -> float: ...
def render(tokens: Sequence[Sequence[float]], names: Sequence[str]) -> str: ...
def fit(
    tokens: Sequence[Sequence[float]],
    params: Sequence[float],
    columns: Sequence[Any],
    targets: Any,
    free: Sequence[bool] | None = None,
) -> tuple[tuple[float, ...], float]: ...
def fit_each(
    formulas: Sequence[tuple[Sequence[Sequence[float]], Sequence[float]]],
    columns: Sequence[Any],
    targets: Any,
    iterations: int,
) -> list[tuple[tuple[float, ...], float] | None]: ...
def read_tokens(tokens: Sequence[Sequence[float]], variables: int) -> tuple[_Token, ...]: ...
def search_result(formula: str, error: float, complexity: int, params: list[float]) -> PySearchResult: ...
