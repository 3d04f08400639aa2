"""Byte-level builder of pulse files for the tests.

Layout: 48-byte header, 8 encoding records of 4 bytes, the metadata JSON, optional padding
up to data_offset, the aperture blocks (16-byte aperture header + 16-byte records), then
the index ("$INDX$\\r\\n" and 12-byte entries). Every field can be overridden so that tests
can write damaged files as easily as valid ones.
"""

from __future__ import annotations

import json
import struct
from dataclasses import dataclass, field
from pathlib import Path

MAGIC = b"ZynP"
INDEX_MAGIC = b"$INDX$\r\n"
HEADER_SIZE = 48
ENCODING_OFFSET = 48
METADATA_OFFSET = 80

DEFAULT_METADATA = {
    "fps": 100,
    "duration": 12.345,
    "rows": 10,
    "cols": 20,
    "validWells": 150,
    "validWellsLeft": 70,
    "validWellsRight": 80,
    "roi_offset_col": 0,
    "roi_cols": 20,
    "roi_rows": 10,
    "pulseCaller": {"options": ["trim_boundary_frames"]},
}

# (kind, fraction_bits, offset) for each of the eight words.
DEFAULT_ENCODINGS = [(0, 0, 0), (0, 0, 0), (1, 4, 100), (1, 4, 100), (2, 2, 0), (2, 2, 0), (3, 3, 0), (3, 3, 0)]


def record(*words: int) -> bytes:
    """One 16-byte record from up to eight 16-bit words (negative values allowed)."""
    padded = list(words) + [0] * (8 - len(words))
    return struct.pack("<8H", *[w & 0xFFFF for w in padded])


def pulse(ipd: int, dur: int, b0=0, b1=0, m0=0, m1=0, s0=0, s1=0) -> bytes:
    return record(ipd, dur, b0, b1, m0, m1, s0, s1)


def background(ipd: int, m0=0, m1=0, s0=0, s1=0) -> bytes:
    return record(ipd, 0, 0, 0, m0, m1, s0, s1)


def padding() -> bytes:
    return record(0xFFFF, 0)


def step(ipd: int, up: bool, event: int, b0=0, b1=0, w7=0) -> bytes:
    return record(ipd, 0, b0, b1, event & 0xFFFF, event >> 16, -5 if up else -6, w7)


def long_pulse(ipd: int, dropped: bool, duration: int, b0=0, b1=0, w7=0) -> bytes:
    return record(ipd, 0, b0, b1, duration & 0xFFFF, duration >> 16, -2 if dropped else -3, w7)


@dataclass
class Aperture:
    number: int
    records: list[bytes] = field(default_factory=list)
    x: int = 0
    y: int = 0
    header_index: int | None = None  # aperture_index stored in the block header
    record_count: int | None = None  # overrides the stored record_count

    def block(self) -> bytes:
        count = len(self.records) if self.record_count is None else self.record_count
        index = self.number if self.header_index is None else self.header_index
        return struct.pack("<4I", self.x, self.y, index, count) + b"".join(self.records)


@dataclass
class PulseFile:
    apertures: list[Aperture] = field(default_factory=list)
    metadata: dict | str | bytes = field(default_factory=lambda: dict(DEFAULT_METADATA))
    encodings: list[tuple[int, int, int]] = field(default_factory=lambda: list(DEFAULT_ENCODINGS))
    padding: int = 0  # zero bytes between the metadata and the first block
    magic: bytes = MAGIC
    reserved_a: int = 0x11223344
    reserved_b: int = 0x55667788
    encoding_record_type: int = 1
    encoding_record_size: int = 4
    encoding_record_count: int = 8
    record_size: int = 16
    aperture_count: int | None = None
    metadata_length: int | None = None
    data_offset: int | None = None
    index_offset: int | None = None
    index_magic: bytes = INDEX_MAGIC
    # Explicit (number, location) entries replace the computed index.
    index_entries: list[tuple[int, int]] | None = None

    def metadata_bytes(self) -> bytes:
        if isinstance(self.metadata, bytes):
            return self.metadata
        if isinstance(self.metadata, str):
            return self.metadata.encode()
        return json.dumps(self.metadata).encode()

    def block_locations(self) -> list[int]:
        """Byte offset of each aperture block as to_bytes lays them out (back to back)."""
        location = METADATA_OFFSET + len(self.metadata_bytes()) + self.padding
        locations = []
        for aperture in self.apertures:
            locations.append(location)
            location += len(aperture.block())
        return locations

    def to_bytes(self) -> bytes:
        meta = self.metadata_bytes()
        encodings = b"".join(struct.pack("<BBH", *e) for e in self.encodings)
        data_offset = METADATA_OFFSET + len(meta) + self.padding
        blocks = b""
        entries = []
        for aperture in self.apertures:
            entries.append((aperture.number, data_offset + len(blocks)))
            blocks += aperture.block()
        if self.index_entries is not None:
            entries = self.index_entries
        index_offset = data_offset + len(blocks)
        index = self.index_magic + b"".join(struct.pack("<IQ", n, loc) for n, loc in entries)
        header = struct.pack(
            "<4sIQIBBHIIQQ",
            self.magic,
            self.reserved_a,
            len(entries) if self.aperture_count is None else self.aperture_count,
            len(meta) if self.metadata_length is None else self.metadata_length,
            self.encoding_record_type,
            self.encoding_record_size,
            self.encoding_record_count,
            self.reserved_b,
            self.record_size,
            data_offset if self.data_offset is None else self.data_offset,
            index_offset if self.index_offset is None else self.index_offset,
        )
        return header + encodings + meta + b"\0" * self.padding + blocks + index

    def write(self, path: Path | str) -> Path:
        path = Path(path)
        path.write_bytes(self.to_bytes())
        return path
