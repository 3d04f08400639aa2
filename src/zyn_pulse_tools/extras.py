"""Lazy imports of the optional dependencies, with the extra that installs each."""

from __future__ import annotations

import importlib
from types import ModuleType

from zyn_pulse_tools.errors import CommandError, MissingExtra
from zyn_pulse_tools.interrupts import held


def require(module: str, extra: str, command: str) -> ModuleType:
    """Imports `module`, or fails with the pip command that installs `extra`."""
    try:
        with held():
            return importlib.import_module(module)
    except ModuleNotFoundError:
        raise MissingExtra(module.split(".")[0], extra, command) from None
    except ImportError as error:  # installed, but not importable here (e.g. a NumPy mismatch)
        raise CommandError(f"{command} needs {module.split('.')[0]}, which cannot be imported: {error}") from None
