"""Pulse files as Dask DataFrames: many runs, one process or a whole cluster.

Each reader plans its partitions on the client from every file's header and index only (no
data is read), then hands Dask one small picklable description per partition: the file's
path, the apertures of the partition, the filter keywords and the file's size and
modification time at planning. Each task opens its file by path inside the worker, refuses
a file that changed since planning, and returns the module's own frame for those apertures
with a categorical "file" column put first.

Dask is imported only when a reader is called: it is an optional dependency (the ``dask``
extra), which nothing else in the package needs.
"""

from __future__ import annotations

import glob
import os
import re
import warnings
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any, Literal, TypeAlias, cast

import numpy as np
import numpy.typing as npt

from zyn_pulse_reader import PulseFilter, PulseReader

from zyn_pulse_tools.file_layout import BLOCK_HEADER_SIZE, RECORD_SIZE, LayoutError, read_layout
from zyn_pulse_tools.filter_types import FilterKwargs

if TYPE_CHECKING:
    import dask.dataframe as dd
    import pandas as pd

__all__ = ["read_pulses", "read_record_kinds", "read_records", "read_summary"]

PathArgument: TypeAlias = "str | os.PathLike[str] | Sequence[str | os.PathLike[str]]"
Kind: TypeAlias = Literal["pulses", "records", "summary", "record_kinds"]

# Summaries and record kinds are small whatever the run's size, so their partitions are only
# cut to spread a few large files over several workers: about 256 MiB of records per task.
SUMMARY_PARTITION_RECORDS = 16_000_000

GLOB_MAGIC = re.compile(r"[*?[]")


@dataclass(frozen=True)
class FileState:
    """What a task compares before and after it reads, to refuse a file changed since planning."""

    path: str
    size: int
    mtime_ns: int

    @classmethod
    def of(cls, path: str) -> FileState:
        status = os.stat(path)
        return cls(path, status.st_size, status.st_mtime_ns)

    def check_unchanged(self) -> None:
        try:
            now = FileState.of(self.path)
        except OSError as error:
            raise RuntimeError(f"{self.path}: file changed since the frame was planned ({error})") from error
        if now != self:
            raise RuntimeError(
                f"{self.path}: file changed since the frame was planned (size {self.size} bytes, "
                f"now {now.size}; modification time {self.mtime_ns} ns, now {now.mtime_ns})"
            )


@dataclass(frozen=True)
class Partition:
    """One task: whole apertures of one file, or the whole file when ``apertures`` is None."""

    file: FileState
    file_code: int
    apertures: npt.NDArray[np.uint64] | None


@dataclass(frozen=True)
class PartitionReader:
    """The task function: picklable, so only names and plain values travel to the workers."""

    kind: Kind
    pulse_filter_kwargs: FilterKwargs | None
    file_categories: tuple[str, ...]

    def __call__(self, partition: Partition) -> pd.DataFrame:
        partition.file.check_unchanged()
        apertures = None if partition.apertures is None else partition.apertures.tolist()
        frame = self.read(partition.file.path, apertures)
        partition.file.check_unchanged()  # a file rewritten while it was read
        return self.with_file_column(frame, partition.file_code)

    def read(self, path: str, apertures: list[int] | None) -> pd.DataFrame:
        """The module's own frame for ``apertures`` of the file, its errors named by the file."""
        try:
            with PulseReader(path) as reader:
                return self.query(reader, apertures)
        except RuntimeError as error:
            raise RuntimeError(f"{path}: {error}") from error

    def query(self, reader: PulseReader, apertures: list[int] | None) -> pd.DataFrame:
        if self.kind == "pulses":
            return reader.get_pulses_many(apertures, pulse_filter_kwargs=self.pulse_filter_kwargs)
        if self.kind == "records":
            return reader.get_all_records_many(apertures)
        if self.kind == "record_kinds":
            return reader.record_kinds(apertures)
        return reader.summary(apertures, pulse_filter_kwargs=self.pulse_filter_kwargs)

    def with_file_column(self, frame: pd.DataFrame, file_code: int) -> pd.DataFrame:
        import pandas as pd

        dtype = pd.CategoricalDtype(list(self.file_categories))
        codes = np.full(len(frame), file_code, dtype=np.int32)
        frame.insert(0, "file", pd.Series(pd.Categorical.from_codes(codes, dtype=dtype), index=frame.index))
        return frame


def read_pulses(
    paths: PathArgument,
    apertures: Sequence[int] | None = None,
    pulse_filter_kwargs: FilterKwargs | None = None,
    partition_records: int = 4_000_000,
) -> dd.DataFrame:
    """The pulses of many runs: ``get_pulses_many`` of every file, in order, with a "file"
    column first; partitions of whole apertures holding about ``partition_records`` records."""
    return read_frame("pulses", paths, apertures, pulse_filter_kwargs, partition_records)


def read_records(
    paths: PathArgument,
    apertures: Sequence[int] | None = None,
    partition_records: int = 4_000_000,
) -> dd.DataFrame:
    """Every record of many runs: ``get_all_records_many`` of every file, in order, with a
    "file" column first; partitions of whole apertures of about ``partition_records`` records."""
    return read_frame("records", paths, apertures, None, partition_records)


def read_summary(
    paths: PathArgument,
    apertures: Sequence[int] | None = None,
    pulse_filter_kwargs: FilterKwargs | None = None,
) -> dd.DataFrame:
    """One row per aperture of many runs: ``summary`` of every file, in order, with a "file"
    column first."""
    return read_frame("summary", paths, apertures, pulse_filter_kwargs, SUMMARY_PARTITION_RECORDS)


def read_record_kinds(paths: PathArgument, apertures: Sequence[int] | None = None) -> dd.DataFrame:
    """One row per aperture of many runs: ``record_kinds`` of every file, in order, with a
    "file" column first."""
    return read_frame("record_kinds", paths, apertures, None, SUMMARY_PARTITION_RECORDS)


def read_frame(
    kind: Kind,
    paths: PathArgument,
    apertures: Sequence[int] | None,
    pulse_filter_kwargs: FilterKwargs | None,
    partition_records: int,
) -> dd.DataFrame:
    import dask
    import dask.dataframe as dd

    if isinstance(partition_records, bool) or not isinstance(partition_records, int) or partition_records < 1:
        raise ValueError(f"partition_records must be a positive integer, not {partition_records!r}")
    files = resolve_paths(paths)
    wanted = None if apertures is None else np.asarray(list(apertures), dtype=np.int64)
    reader = PartitionReader(kind, None if pulse_filter_kwargs is None else known_filter_kwargs(pulse_filter_kwargs),
                             tuple(dict.fromkeys(files)))
    planned = [plan_file(reader, path, wanted, partition_records) for path in files]
    partitions = [partition for file_partitions, _ in planned for partition in file_partitions]
    meta = reader.with_file_column(planned[0][1], 0)
    from_map: Callable[..., dd.DataFrame] = dd.from_map  # Dask declares no types for it
    # Dask would turn object columns (record kinds, summary errors) into its string type;
    # the frames keep the module's dtypes, so that they equal the module's own frames.
    with dask.config.set({"dataframe.convert-string": False}):
        return from_map(reader, partitions, meta=meta, divisions=None, label=f"read-{kind}",
                        enforce_metadata=False)


def known_filter_kwargs(kwargs: FilterKwargs) -> FilterKwargs:
    """The keywords that name a criterion of the module's filter. The module warns of each
    other one (and ignores it) wherever it builds a filter: here, once, on the caller's behalf,
    so that the tasks, which build the filter once per partition, never repeat the warning."""
    known: dict[str, Any] = {}
    for key, value in cast(dict[str, Any], kwargs).items():
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                PulseFilter(**{key: value})
            except (TypeError, ValueError, OverflowError):
                pass  # a known keyword with a bad value: the tasks fail with the module's message
        unknown = [warning for warning in caught if issubclass(warning.category, UserWarning)]
        if unknown:
            warnings.warn(unknown[0].message, stacklevel=4)  # at the caller of read_pulses or read_summary
        else:
            known[key] = value
    return cast(FilterKwargs, known)


def resolve_paths(paths: PathArgument) -> list[str]:
    """Absolute paths, so that workers started elsewhere find the same files: one path, a
    list of them (kept in order), or a glob pattern (its matches in sorted order)."""
    if isinstance(paths, (str, os.PathLike)):
        text = os.fspath(paths)
        if isinstance(paths, str) and GLOB_MAGIC.search(text):
            matches = sorted(glob.glob(text))
            if not matches:
                raise FileNotFoundError(f"{text}: no pulse file matches this pattern")
            return [str(Path(match).resolve()) for match in matches]
        return [str(Path(text).resolve())]
    resolved = [str(Path(os.fspath(path)).resolve()) for path in paths]
    if not resolved:
        raise ValueError("no pulse file given")
    return resolved


def plan_file(
    reader: PartitionReader,
    path: str,
    wanted: npt.NDArray[np.int64] | None,
    partition_records: int,
) -> tuple[list[Partition], pd.DataFrame]:
    """The partitions of one file and the module's empty frame for it (its exact meta).

    The module opens the file first, so that a missing or damaged file and a bad filter fail
    here with the module's own message; the index, read once more with NumPy, then gives the
    aperture numbers and every block's location, from which the records per aperture are
    estimated."""
    try:
        with PulseReader(path) as pulse_reader:
            state = FileState.of(path)
            empty = reader.query(pulse_reader, [])
            index = FileIndex.read(path)
            if wanted is not None:
                absent = wanted[~np.isin(wanted, index.present())]
                if absent.size:
                    reader.query(pulse_reader, [int(absent[0])])  # raises the module's message
    except RuntimeError as error:
        raise RuntimeError(f"{path}: {error}") from error
    selected = index.numbers if wanted is None else wanted
    bounds = partition_bounds(index.records_of(selected), partition_records)
    code = reader.file_categories.index(path)
    if wanted is None and len(bounds) == 2:
        return [Partition(state, code, None)], empty
    return [
        Partition(state, code, selected[start:stop].astype(np.uint64))
        for start, stop in zip(bounds[:-1], bounds[1:], strict=True)
    ], empty


@dataclass(frozen=True)
class FileIndex:
    """A file's index entries as NumPy arrays: ``numbers`` (the module's ``apertures``, in
    entry order) and ``records``, each block's record count estimated from the distance to
    the next block in file order (the last block ends at the index). Only the balance of the
    partitions depends on the estimate: an odd index gives poor estimates, never wrong frames."""

    numbers: npt.NDArray[np.int64]
    locations: npt.NDArray[np.int64]
    records: npt.NDArray[np.int64]

    @classmethod
    def read(cls, path: str) -> FileIndex:
        try:
            layout = read_layout(path)
        except LayoutError as error:  # the file changed after the module had checked it
            raise RuntimeError(f"file changed while its index was read: {error}") from error
        index_offset = layout.index_offset
        numbers = layout.entry_apertures.astype(np.int64)
        locations = layout.entry_locations.astype(np.int64)
        if np.all(locations[1:] >= locations[:-1]):  # blocks back to back, as writers lay them out
            block_bytes = np.diff(locations, append=index_offset)
        else:
            order = np.argsort(locations, kind="stable")
            block_bytes = np.empty_like(locations)
            block_bytes[order] = np.diff(locations[order], append=index_offset)
        records = np.maximum(block_bytes - BLOCK_HEADER_SIZE, 0) // RECORD_SIZE
        return cls(numbers, locations, records)

    def present(self) -> npt.NDArray[np.int64]:
        """The numbers a lookup finds: a location of 0 marks an aperture as absent."""
        present: npt.NDArray[np.int64] = self.numbers[self.locations != 0]
        return present

    def records_of(self, apertures: npt.NDArray[np.int64]) -> npt.NDArray[np.int64]:
        if apertures is self.numbers:
            return self.records
        order = np.argsort(self.numbers, kind="stable")
        position = np.searchsorted(self.numbers, apertures, sorter=order).clip(0, max(order.size - 1, 0))
        if order.size == 0:
            return np.zeros(apertures.size, dtype=np.int64)
        found = self.numbers[order[position]] == apertures
        return np.where(found, self.records[order[position]], 0)


def partition_bounds(sizes: npt.NDArray[np.int64], partition_records: int) -> npt.NDArray[np.intp]:
    """Start and end positions of runs of whole apertures of about ``partition_records``
    records each: an aperture joins the run in which its first record falls, so a run ends
    at most one aperture past its budget. Every aperture costs at least one record, since
    even an empty one is a block to look up and read."""
    cost = np.maximum(sizes, 1)
    starts = np.cumsum(cost) - cost
    run = starts // partition_records
    cuts = np.flatnonzero(np.diff(run)) + 1
    return np.concatenate(([0], cuts, [sizes.size])).astype(np.intp)

