from .vok_core import *  # noqa: F401,F403
from .discovery import Formula as Formula, discover as discover, discover_many as discover_many

__all__: list[str]
from .discovery._estimator import SymbolicRegressor as SymbolicRegressor
