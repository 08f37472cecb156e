"""Formula discovery on named data: discover() runs one search and returns a
Formula; discover_many() runs many on an executor."""

from .._optional import require

require("numpy", "vok_math.discover")

from ._formula import Formula  # noqa: E402
from ._many import discover_many  # noqa: E402
from ._report import report  # noqa: E402
from ._search import TextProgress, discover  # noqa: E402

__all__ = ["Formula", "TextProgress", "discover", "discover_many", "report"]
