"""Writes the seed corpus of the pulse-file fuzzer: small valid files covering every record
kind, and damaged variants of them (truncated regions, bad counts and offsets, broken
metadata, odd indexes).

Usage: python fuzz/make_seeds.py OUTPUT_DIR
"""

from __future__ import annotations

import dataclasses
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

from pulsefile import (  # noqa: E402
    Aperture,
    PulseFile,
    background,
    long_pulse,
    padding,
    pulse,
    record,
    step,
)

MIXED = [
    background(5, m0=40, m1=41, s0=3, s1=4),
    pulse(10, 4, b0=320, b1=480, m0=40, m1=40, s0=8, s1=8),
    padding(),
    pulse(3, 2, b0=0x7FFF, b1=-0x8000),
    step(7, True, 70000, b0=16, b1=32),
    long_pulse(2, False, 9, b0=50, b1=60),
    long_pulse(4, True, 65541),
    step(1, False, 3),
    record(6, 0, 5, 0),  # unknown
    pulse(1, 1, b0=-16, b1=160),
]


def valid_files() -> dict[str, PulseFile]:
    return {
        "empty_index": PulseFile(),
        "one_empty_aperture": PulseFile([Aperture(0)]),
        "mixed": PulseFile([Aperture(0, MIXED, x=1, y=2), Aperture(1, MIXED[::-1]), Aperture(4, MIXED[:3])]),
        "sparse": PulseFile([Aperture(3, MIXED[:4]), Aperture(70000, MIXED[4:])], padding=8),
        "unsorted_pulses": PulseFile([Aperture(2, [pulse(0, 3), pulse(0, 1), pulse(5, 2)])]),
        "string_metadata": PulseFile([Aperture(1, MIXED[:2])], metadata='{"fps": 1e3, "duration": 2, "x": "\\u00e9"}'),
    }


def damaged_files(mixed: PulseFile) -> dict[str, bytes]:
    raw = mixed.to_bytes()
    replace = lambda **kw: dataclasses.replace(mixed, **kw).to_bytes()  # noqa: E731
    return {
        "truncated_header": raw[:30],
        "truncated_metadata": raw[:100],
        "truncated_block": raw[: len(raw) // 2],
        "truncated_index": raw[:-5],
        "huge_aperture_count": replace(aperture_count=2**63),
        "huge_metadata_length": replace(metadata_length=0xFFFFFFFF),
        "huge_index_offset": replace(index_offset=2**63 + 1),
        "huge_data_offset": replace(data_offset=2**40),
        "small_data_offset": replace(data_offset=3),
        "bad_index_magic": replace(index_magic=b"$INDX$\n\r"),
        "bad_utf8": replace(metadata=b'{"fps": 100, "d": "\xff"}'),
        "bad_json": replace(metadata=b'{"fps": 100,'),
        "unsorted_index": replace(index_entries=[(5, 80), (1, 80)]),
        "index_out_of_file": replace(index_entries=[(0, 2**62), (1, len(raw) - 4)]),
        "duplicate_entries": replace(index_entries=[(0, 0), (0, 400), (0, 400)]),
        "huge_record_count": dataclasses.replace(
            mixed, apertures=[Aperture(0, MIXED, record_count=0xFFFFFFFF)]
        ).to_bytes(),
        "bad_header_fields": replace(record_size=32, encoding_record_count=7),
    }


def main() -> None:
    out = Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    valid = valid_files()
    for name, pulse_file in valid.items():
        (out / f"valid_{name}.bin").write_bytes(pulse_file.to_bytes())
    for name, data in damaged_files(valid["mixed"]).items():
        (out / f"damaged_{name}.bin").write_bytes(data)


if __name__ == "__main__":
    main()
