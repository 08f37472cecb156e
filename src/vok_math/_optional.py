"""Optional dependencies, imported where used, with a message that says
what to install when one is missing."""

import importlib

# The distribution that provides a module, and the extra of vok_math that
# installs it (pyproject.toml's optional-dependencies).
_PROVIDERS = {
    "numpy": ("numpy", None),
    "pandas": ("pandas", "pandas"),
    "sympy": ("sympy", "sympy"),
    "matplotlib": ("matplotlib", "plot"),
    "sklearn": ("scikit-learn", "sklearn"),
}


def missing(module: str, feature: str) -> str:
    """The one line that says what `feature` needs and how to install it."""
    top = module.partition(".")[0]
    package, extra = _PROVIDERS.get(top, (top, None))
    how = f"pip install {package}" + (f" (or pip install 'vok_math[{extra}]')" if extra else "")
    return f"{feature} needs {package}, which is not installed: {how}"


def require(module: str, feature: str):
    """Imports `module` for `feature`, or raises ImportError saying how to get it."""
    try:
        return importlib.import_module(module)
    except ModuleNotFoundError as e:
        # Only the module itself (or a package above it) missing is a missing
        # extra; a broken installation shows its own error.
        if e.name is None or not (module == e.name or module.startswith(e.name + ".")):
            raise
        raise ImportError(missing(module, feature)) from None
