"""The raw layout of a pulse file, read with NumPy: header, index and block headers.

The reader module finds blocks through the index and checks no more than it needs; checking
a file's integrity and sizing the outputs of copies and merges need the layout itself.
Everything is little-endian and packed:

- header, 48 bytes: aperture_count u64 at 8, metadata_length u32 at 16, data_offset u64 at
  32, index_offset u64 at 40;
- 8 encoding records of 4 bytes from byte 48, one per record word: u8 kind, u8 fraction
  bits (the low four give the divisor 2**k), u16 offset; a measurement word w decodes to
  w / 2**k + offset, so its values lie on a grid of step 2**-k;
- the data region from data_offset: one block per aperture, a 16-byte header (u32 x, u32 y,
  u32 aperture number, u32 record count) followed by 16-byte records;
- the index at index_offset: "$INDX$\\r\\n", then per aperture a u32 number and the u64
  location of its block (0 marks an absent aperture).

Nothing read here is trusted: counts and offsets are compared with the file's length before
anything is read at them.
"""

from __future__ import annotations

import mmap
import os
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from zyn_pulse_tools.errors import CommandError

HEADER_SIZE = 48
INDEX_MAGIC = b"$INDX$\r\n"
BLOCK_HEADER_SIZE = 16
RECORD_SIZE = 16
INDEX_ENTRY = np.dtype([("aperture", "<u4"), ("location", "<u8")])
_GATHER_SLICE = 4096
_BLOCK_HEADER = np.dtype([("x", "<u4"), ("y", "<u4"), ("aperture", "<u4"), ("records", "<u4")])


class LayoutError(CommandError):
    """The file's header or index cannot be read as a pulse file's."""


@dataclass(frozen=True)
class FileLayout:
    path: str
    file_size: int
    aperture_count: int
    metadata_length: int
    data_offset: int
    index_offset: int
    entry_apertures: npt.NDArray[np.uint32]  # index entries in index order
    entry_locations: npt.NDArray[np.uint64]

    @property
    def index_end(self) -> int:
        return self.index_offset + len(INDEX_MAGIC) + INDEX_ENTRY.itemsize * self.aperture_count

    def record_counts(self, apertures: npt.ArrayLike | None = None) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.uint64]]:
        """(aperture numbers, record counts) of the given apertures, or of every index entry in
        index order; the apertures the index lacks (or marks absent) are left out."""
        numbers = self.entry_apertures.astype(np.uint64)
        if apertures is None:
            wanted, locations = numbers, self.entry_locations
        else:
            wanted = np.asarray(apertures, dtype=np.uint64).reshape(-1)
            # The index's last entry for a number is the one that counts.
            last = np.maximum(np.searchsorted(numbers, wanted, side="right") - 1, 0)
            found = (numbers[last] == wanted) if numbers.size else np.zeros(wanted.size, dtype=bool)
            wanted, locations = wanted[found], self.entry_locations[last[found]]
        present = locations != 0
        return wanted[present], self.block_headers(locations[present])["records"].astype(np.uint64)

    def block_headers(self, locations: npt.NDArray[np.uint64]) -> npt.NDArray[np.void]:
        """The block headers at `locations`; each must lie wholly inside the file."""
        if locations.size and int(locations.max()) + BLOCK_HEADER_SIZE > self.file_size:
            raise LayoutError("a block header lies past the end of the file")
        return read_block_headers(self.path, locations)


def read_block_headers(path: str, locations: npt.NDArray[np.uint64]) -> npt.NDArray[np.void]:
    """Gathers the 16-byte block headers at the given offsets.

    The headers are read in ascending file order through short-lived memory maps of the
    stretch a few thousand of them span: mapped pages count as the process's memory while
    mapped, and a map of the whole file would hold every page of a run that is read.
    """
    headers = np.zeros(locations.size, dtype=_BLOCK_HEADER)
    raw = headers.view(np.uint8).reshape(-1, BLOCK_HEADER_SIZE)
    order = np.argsort(locations, kind="stable")
    within = np.arange(BLOCK_HEADER_SIZE, dtype=np.int64)
    with open(path, "rb") as file:
        for start in range(0, order.size, _GATHER_SLICE):
            chosen = order[start : start + _GATHER_SLICE]
            offsets = locations[chosen].astype(np.int64)
            first = int(offsets[0]) - int(offsets[0]) % mmap.ALLOCATIONGRANULARITY
            span = int(offsets[-1]) + BLOCK_HEADER_SIZE - first
            with mmap.mmap(file.fileno(), span, access=mmap.ACCESS_READ, offset=first) as mapped:
                data = np.frombuffer(mapped, dtype=np.uint8)
                raw[chosen] = data[(offsets - first)[:, None] + within]
                del data  # the map closes only once no array views it
    return headers


ENCODING_OFFSET = HEADER_SIZE
ENCODING_COUNT = 8


@dataclass(frozen=True)
class Encoding:
    """How one record word is scaled: values are offset + k x step for whole k."""

    step: float
    offset: float


def read_encodings(path: str) -> list[Encoding]:
    """The file's eight encoding records, in word order."""
    with open(path, "rb") as file:
        file.seek(ENCODING_OFFSET)
        raw = file.read(4 * ENCODING_COUNT)
    if len(raw) < 4 * ENCODING_COUNT:
        raise LayoutError("the file is shorter than a pulse file's header and encoding records")
    return [Encoding(2.0 ** -(raw[4 * i + 1] & 0x0F), float(int.from_bytes(raw[4 * i + 2 : 4 * i + 4], "little")))
            for i in range(ENCODING_COUNT)]


def read_layout(path: str) -> FileLayout:
    """Reads the header and the index of the pulse file at `path`."""
    with open(path, "rb") as file:
        size = os.fstat(file.fileno()).st_size
        header = file.read(HEADER_SIZE)
        if len(header) < HEADER_SIZE:
            raise LayoutError("the file is shorter than a pulse file header")
        aperture_count = int.from_bytes(header[8:16], "little")
        metadata_length = int.from_bytes(header[16:20], "little")
        data_offset = int.from_bytes(header[32:40], "little")
        index_offset = int.from_bytes(header[40:48], "little")
        entries_size = INDEX_ENTRY.itemsize * aperture_count
        if index_offset + len(INDEX_MAGIC) + entries_size > size:
            raise LayoutError("the index runs past the end of the file")
        file.seek(index_offset)
        if file.read(len(INDEX_MAGIC)) != INDEX_MAGIC:
            raise LayoutError("the index is not where the header says")
        entries = np.frombuffer(file.read(entries_size), dtype=INDEX_ENTRY)
    return FileLayout(
        path=path, file_size=size, aperture_count=aperture_count, metadata_length=metadata_length,
        data_offset=data_offset, index_offset=index_offset,
        entry_apertures=entries["aperture"].copy(), entry_locations=entries["location"].copy(),
    )
