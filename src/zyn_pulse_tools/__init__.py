"""Tools around zyn_pulse_reader: whole runs, many runs on a Dask cluster, and the
``zyn-pulse`` command.

Everything here is built on the extension module's public calls only. The heavier
dependencies are optional extras: ``dask`` (Dask DataFrames and ``distributed``),
``parquet`` (pyarrow) and ``report`` (matplotlib).
"""

from __future__ import annotations

__all__ = ["__version__"]


def __getattr__(name: str) -> str:
    # Looked up when first asked for: importing the package stays cheap, so that the
    # zyn-pulse command takes over Ctrl-C early in its start-up.
    if name != "__version__":
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("zyn_pulse_reader")
    except PackageNotFoundError:  # pragma: no cover - only when run from a source tree
        return "0+unknown"
