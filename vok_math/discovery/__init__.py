"""Formula discovery on named data: discover() runs one search and returns a
Formula; discover_many() runs many on an executor."""

from ._formula import Formula
from ._many import discover_many
from ._search import TextProgress, discover

__all__ = ["Formula", "TextProgress", "discover", "discover_many"]
