"""Lazy imports of the optional dependencies, with the extra that installs each."""

from __future__ import annotations

import importlib
from types import ModuleType

from zyn_pulse_tools.errors import MissingExtra


def require(module: str, extra: str, command: str) -> ModuleType:
    """Imports `module`, or fails with the pip command that installs `extra`."""
    try:
        return importlib.import_module(module)
    except ImportError:
        raise MissingExtra(module.split(".")[0], extra, command) from None
