"""Tools around zyn_pulse_reader: whole runs, many runs on a Dask cluster, and the
``zyn-pulse`` command.

Everything here is built on the extension module's public calls only. The heavier
dependencies are optional extras: ``dask`` (Dask DataFrames and ``distributed``),
``parquet`` (pyarrow) and ``report`` (matplotlib).
"""

from __future__ import annotations

from importlib.metadata import PackageNotFoundError, version

try:
    __version__ = version("zyn_pulse_reader")
except PackageNotFoundError:  # pragma: no cover - only when run from a source tree
    __version__ = "0+unknown"

__all__ = ["__version__"]
