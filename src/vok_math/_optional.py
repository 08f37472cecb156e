"""Optional dependencies, imported where used, with a message that says
what to install when one is missing."""

import importlib


def require(module: str, feature: str):
    """Imports `module` for `feature`, or raises ImportError saying how to get it."""
    try:
        return importlib.import_module(module)
    except ImportError as e:
        raise ImportError(f"{feature} needs {module}, which is not installed: pip install {module}") from e
