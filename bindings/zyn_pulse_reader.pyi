"""Reader and writer of pulse files ("pulses.bin") that answers with pandas DataFrames.

Type information for the compiled extension module. The module is a single shared library,
so this file is installed twice: beside the library (read by editors and by checkers that
look next to a module) and as the stub-only package ``zyn_pulse_reader-stubs`` (the form
that every checker honours for a module that is not a package).
"""

from collections.abc import Iterator, Sequence
from os import PathLike
from types import TracebackType
from typing import Any, Self, SupportsFloat, SupportsIndex, TypeAlias, TypedDict, final

from numpy import bool_, integer
from numpy.typing import NDArray
from pandas import DataFrame, Index, Series
from typing_extensions import disjoint_base

__all__ = ["merge_pulse_files", "PulseReader", "PulseFilter"]

# The release, as in the package's metadata (pyproject.toml's version, compiled in).
__version__: str

# A float criterion takes anything Python's float() conversion takes apart from strings:
# float, int, and NumPy scalars.
_Float: TypeAlias = SupportsFloat | SupportsIndex
# Switches take Python's True and False or a NumPy boolean scalar, never 0 or 1.
_Bool: TypeAlias = bool | bool_
# Aperture numbers are unsigned 64-bit; Python ints and NumPy integers both convert.
_Aperture: TypeAlias = SupportsIndex
# A list of aperture numbers is taken item by item from anything iterable with a length that
# is not a str: sequences, one-dimensional NumPy integer arrays, pandas Index and Series.
_Apertures: TypeAlias = Sequence[_Aperture] | NDArray[integer[Any]] | Index[int] | Series[int]
# File names: str or os.PathLike, as open() takes them (but not bare bytes). Names are
# encoded as os.fsencode does, so names that are not valid UTF-8 work too.
_FileName: TypeAlias = str | PathLike[str] | PathLike[bytes]

class _FilterKwargs(TypedDict, total=False):
    """The keyword arguments of PulseFilter as a dictionary. At run time unknown keys are
    ignored with a UserWarning; a type checker reports them, as it does for PulseFilter(...)."""

    min_dur_f: SupportsIndex
    min_dur_s: _Float
    max_dur_s: _Float
    min_snr: _Float
    min_intensity: _Float
    min_binratio: _Float
    max_binratio: _Float
    start_m: _Float
    end_m: _Float
    mask_s: tuple[_Float, _Float]
    recalc_ipd: _Bool

class PanicException(BaseException):
    """An internal fault (for example merge metadata that lacks a required member).

    Derived from BaseException, so ``except Exception`` does not catch it.
    """

@final
class PulseFilter:
    """Pulse criteria, fixed at construction and passed on to PulseReader calls.

    Every criterion is optional and inclusive; a keyword that is left out is not applied.
    Unknown keywords are ignored at run time, each with a UserWarning that names the nearest
    known one; None is never accepted for a criterion.
    """

    def __new__(
        cls,
        *,
        min_dur_f: SupportsIndex = ...,
        min_dur_s: _Float = ...,
        max_dur_s: _Float = ...,
        min_snr: _Float = ...,
        min_intensity: _Float = ...,
        min_binratio: _Float = ...,
        max_binratio: _Float = ...,
        start_m: _Float = ...,
        end_m: _Float = ...,
        mask_s: tuple[_Float, _Float] = ...,
        recalc_ipd: _Bool = False,
    ) -> Self: ...

@final
class _ArrowStream:
    """A one-shot Arrow stream of whole-aperture batches (the Arrow PyCapsule interface): pass
    it to pyarrow.table, pyarrow.RecordBatchReader.from_stream, polars.DataFrame,
    polars.scan_arrow_c_stream or a DuckDB query. It can be exported once; a second export
    raises RuntimeError. It holds the reader's file itself: closing or dropping the PulseReader
    does not end it, and it reads on to its end."""

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        """The stream as a PyCapsule named "arrow_array_stream"; the requested schema is not
        applied (the batches keep their own types)."""
    def __arrow_c_schema__(self) -> object:
        """The schema of the batches as a PyCapsule named "arrow_schema", at any time."""

# A compiled class with its own instance layout: it can be subclassed, but not combined with
# another such class in multiple inheritance.
@disjoint_base
class PulseReader:
    """Pulses.bin reader"""

    def __new__(
        cls,
        file_name: _FileName,
        pulse_filter: PulseFilter | None = None,
        pulse_filter_kwargs: _FilterKwargs | None = None,
    ) -> Self: ...
    @property
    def apertures(self) -> list[int]:
        """The aperture numbers of the file, in index order (a new list on every access)."""
    @property
    def metadata(self) -> dict[str, Any]:
        """The file's JSON metadata document (the same dict on every access)."""
    @property
    def trimmed(self) -> bool:
        """Whether the pulse caller trimmed boundary frames."""
    def get_all_records(self, aperture_index: _Aperture) -> DataFrame:
        """Every record of one aperture, one row per record, in file order."""
    def get_pulses(
        self,
        aperture_index: _Aperture,
        include_aperture_index: _Bool = True,
        pulse_filter: PulseFilter | None = None,
        pulse_filter_kwargs: _FilterKwargs | None = None,
    ) -> DataFrame:
        """The pulses of one aperture, indexed by record position, optionally filtered."""
    def get_pulses_many(
        self,
        apertures: _Apertures | None = None,
        pulse_filter: PulseFilter | None = None,
        pulse_filter_kwargs: _FilterKwargs | None = None,
    ) -> DataFrame:
        """The pulses of many apertures (all of them, in index order, when None) in one frame."""
    def get_all_records_many(self, apertures: _Apertures | None = None) -> DataFrame:
        """The records of many apertures (all of them, in index order, when None) in one frame."""
    def iter_pulses(
        self,
        apertures: _Apertures | None = None,
        pulse_filter: PulseFilter | None = None,
        pulse_filter_kwargs: _FilterKwargs | None = None,
        batch_records: SupportsIndex = 1048576,
    ) -> Iterator[DataFrame]:
        """The pulses of many apertures in batches of whole apertures, one frame per batch."""
    def iter_all_records(
        self,
        apertures: _Apertures | None = None,
        batch_records: SupportsIndex = 1048576,
    ) -> Iterator[DataFrame]:
        """The records of many apertures in batches of whole apertures, one frame per batch."""
    def summary(
        self,
        apertures: _Apertures | None = None,
        pulse_filter: PulseFilter | None = None,
        pulse_filter_kwargs: _FilterKwargs | None = None,
    ) -> DataFrame:
        """One row per aperture: record, pulse and non-finite pulse counts, pulse means and
        frames, and any error."""
    def record_kinds(self, apertures: _Apertures | None = None) -> DataFrame:
        """One row per aperture: how many of its records are of each kind, one uint64 column per kind."""
    def arrow_pulses(
        self,
        apertures: _Apertures | None = None,
        pulse_filter: PulseFilter | None = None,
        pulse_filter_kwargs: _FilterKwargs | None = None,
        batch_records: SupportsIndex = 1048576,
    ) -> _ArrowStream:
        """The pulses of get_pulses_many as an Arrow stream, the record position an ordinary
        column ("position", after "aperture_index")."""
    def arrow_records(
        self,
        apertures: _Apertures | None = None,
        batch_records: SupportsIndex = 1048576,
    ) -> _ArrowStream:
        """The records of get_all_records_many as an Arrow stream, the position within each
        aperture an ordinary column; record_type is dictionary<int8, utf8>."""
    def arrow_summary(
        self,
        apertures: _Apertures | None = None,
        pulse_filter: PulseFilter | None = None,
        pulse_filter_kwargs: _FilterKwargs | None = None,
    ) -> _ArrowStream:
        """The rows of summary as an Arrow stream, "aperture_index" its first column and
        "error" text with nulls."""
    def arrow_record_kinds(self, apertures: _Apertures | None = None) -> _ArrowStream:
        """The rows of record_kinds as an Arrow stream, "aperture_index" its first column."""
    def copy_apertures_to_new_file(
        self,
        apertures: _Apertures,
        file_name: _FileName,
        ignore_missing_apertures: _Bool = False,
    ) -> None:
        """Write a new pulse file that holds only the given apertures."""
    def close(self) -> None:
        """Close the pulses.bin file"""
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        _exc_type: type[BaseException] | None,
        _exc_value: BaseException | None,
        _traceback: TracebackType | None,
    ) -> None: ...

def merge_pulse_files(file_names: Sequence[_FileName], new_file_name: _FileName) -> None:
    """Merge pulse files that are row strips of one aperture grid into a new file."""
