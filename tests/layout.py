"""Reading pulse files back byte by byte, and building sources for the writer tests.

The parser here knows the layout independently of the module: a 48-byte header, the
leading region up to data_offset, aperture blocks found through the index, and the index
itself, which must be the last thing in a written file.
"""

from __future__ import annotations

import contextlib
import random
import struct
from dataclasses import dataclass
from pathlib import Path

import pytest

from pulsefile import HEADER_SIZE, INDEX_MAGIC, METADATA_OFFSET, Aperture, PulseFile

HEADER = struct.Struct("<4sIQIBBHIIQQ")
FIELDS = (
    "magic",
    "reserved_a",
    "aperture_count",
    "metadata_length",
    "encoding_record_type",
    "encoding_record_size",
    "encoding_record_count",
    "reserved_b",
    "record_size",
    "data_offset",
    "index_offset",
)
ENTRY = struct.Struct("<IQ")
BLOCK_HEADER = struct.Struct("<4I")


@dataclass
class Block:
    location: int
    x: int
    y: int
    number: int  # the aperture_index stored in the block header
    records: bytes

    @property
    def raw(self) -> bytes:
        return BLOCK_HEADER.pack(self.x, self.y, self.number, len(self.records) // 16) + self.records


@dataclass
class Layout:
    data: bytes
    header: dict
    entries: list[tuple[int, int]]  # (aperture number, block location) in index order

    @property
    def metadata(self) -> bytes:
        return self.data[METADATA_OFFSET : METADATA_OFFSET + self.header["metadata_length"]]

    @property
    def leading(self) -> bytes:
        """Everything between the header and the data region."""
        return self.data[HEADER_SIZE : self.header["data_offset"]]

    def block(self, location: int) -> Block:
        x, y, number, count = BLOCK_HEADER.unpack_from(self.data, location)
        start = location + BLOCK_HEADER.size
        assert start + 16 * count <= len(self.data), "block runs past the end of the file"
        return Block(location, x, y, number, self.data[start : start + 16 * count])

    @property
    def blocks(self) -> list[Block]:
        return [self.block(location) for _, location in self.entries]


def parse(source: Path | str | bytes, strict: bool = True) -> Layout:
    """Parse a pulse file; `strict` also requires the file to end with its last index entry."""
    data = source if isinstance(source, bytes) else Path(source).read_bytes()
    header = dict(zip(FIELDS, HEADER.unpack_from(data)))
    index_offset, count = header["index_offset"], header["aperture_count"]
    assert data[index_offset : index_offset + 8] == INDEX_MAGIC
    if strict:
        assert len(data) == index_offset + 8 + ENTRY.size * count
    entries = [ENTRY.unpack_from(data, index_offset + 8 + ENTRY.size * i) for i in range(count)]
    return Layout(data, header, entries)


def assert_packed(layout: Layout) -> None:
    """Blocks lie back to back from data_offset in index order and end where the index begins."""
    position = layout.header["data_offset"]
    for block in layout.blocks:
        assert block.location == position
        position += len(block.raw)
    assert position == layout.header["index_offset"]


def random_records(rng: random.Random, count: int) -> list[bytes]:
    raw = rng.randbytes(16 * count)
    return [raw[i : i + 16] for i in range(0, len(raw), 16)]


def random_apertures(rng: random.Random, numbers, max_records: int = 12) -> list[Aperture]:
    return [
        Aperture(n, random_records(rng, rng.randrange(max_records + 1)), x=rng.randrange(4096), y=rng.randrange(64))
        for n in numbers
    ]


def scattered(apertures: list[Aperture], order: list[int], **kwargs) -> PulseFile:
    """A file whose blocks are stored in `order` with a filler block (bytes that no index entry
    names) after each, while the index lists the apertures in ascending number order."""
    filler = Aperture(0xDEAD, [b"\xee" * 16] * 3, x=0xEEEE, y=0xEEEE)
    stored = []
    for i in order:
        stored += [apertures[i], filler]
    pulse_file = PulseFile(stored, **kwargs)
    position = METADATA_OFFSET + len(pulse_file.metadata_bytes()) + pulse_file.padding
    locations = {}
    for aperture in stored:
        if aperture is not filler:
            locations[aperture.number] = position
        position += len(aperture.block())
    pulse_file.index_entries = sorted(locations.items())
    return pulse_file


class Snapshot:
    """Contents of files taken before an operation, to prove the operation left them alone."""

    def __init__(self, *paths: Path):
        self.contents = {Path(p): Path(p).read_bytes() for p in paths}

    def assert_unchanged(self) -> None:
        for path, content in self.contents.items():
            assert path.read_bytes() == content, f"{path} was modified"


@contextlib.contextmanager
def raises_panic(message: str):
    """Expect PanicException with `message`; it derives from BaseException, so an
    `except Exception` clause must not catch it."""
    try:
        yield
    except Exception as exc:
        pytest.fail(f"expected PanicException, got an Exception: {exc!r}")
    except BaseException as exc:
        assert type(exc).__name__ == "PanicException", repr(exc)
        assert str(exc) == message
    else:
        pytest.fail(f"expected PanicException({message!r})")
