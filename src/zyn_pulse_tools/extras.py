"""Lazy imports of the optional dependencies, with the extra that installs each."""

from __future__ import annotations

import importlib
import importlib.metadata
import re
from types import ModuleType

from zyn_pulse_tools.errors import CommandError, MissingExtra
from zyn_pulse_tools.interrupts import held


def install_command(extra: str) -> str:
    """The pip command that installs `extra`. It names the extra's own packages rather than
    "zyn_pulse_reader[extra]", so that it works wherever the module came from: an index, a
    wheel file or a checkout."""
    try:
        requirements = importlib.metadata.requires("zyn_pulse_reader") or []
    except importlib.metadata.PackageNotFoundError:  # the package taken from a source tree
        return f'pip install ".[{extra}]" in the checkout'
    marker = re.compile(rf"""extra\s*==\s*["']{re.escape(extra)}["']""")
    packages = [r.split(";")[0].strip() for r in requirements if marker.search(r.partition(";")[2])]
    return "pip install " + " ".join(f'"{package}"' for package in packages)


def require(module: str, extra: str, command: str) -> ModuleType:
    """Imports `module`, or fails with the pip command that installs `extra`."""
    try:
        with held():
            return importlib.import_module(module)
    except ModuleNotFoundError:
        raise MissingExtra(module.split(".")[0], install_command(extra), command) from None
    except ImportError as error:  # installed, but not importable here (e.g. a NumPy mismatch)
        raise CommandError(f"{command} needs {module.split('.')[0]}, which cannot be imported: {error}") from None
