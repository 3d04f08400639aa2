"""A short tour of zyn_pulse_reader on a small pulses.bin that this script writes itself."""

import json
import struct
import tempfile
from pathlib import Path

import zyn_pulse_reader as zpr


def write_sample(path: Path, rows: int = 2, cols: int = 3) -> None:
    """Writes a tiny pulse file: header, encoding records, metadata, blocks, index."""
    metadata = json.dumps({
        "fps": 100, "duration": 60.0, "rows": rows, "cols": cols, "validWells": rows * cols,
        "validWellsLeft": rows * cols // 2, "validWellsRight": rows * cols - rows * cols // 2,
        "roi_offset_col": 0, "roi_cols": cols, "roi_rows": rows,
    }).encode()
    # Words 2-7 are scaled: value / 2**fraction_bits + offset.
    encodings = b"".join(struct.pack("<BBH", 0, bits, 0) for bits in (0, 0, 4, 4, 4, 4, 4, 4))
    data_offset = 80 + len(metadata)
    blocks, entries = b"", []
    for aperture in range(rows * cols):
        records = [
            struct.pack("<8H", 10 + aperture, 5, 320, 480, 16, 16, 32, 32),  # a pulse
            struct.pack("<8H", 7, 0, 0, 0, 16, 16, 32, 32),  # background
            struct.pack("<8H", 3, 4, 160, 400, 16, 16, 32, 32),  # another pulse
        ]
        entries.append(struct.pack("<IQ", aperture, data_offset + len(blocks)))
        blocks += struct.pack("<4I", aperture % cols, aperture // cols, aperture, len(records)) + b"".join(records)
    index_offset = data_offset + len(blocks)
    header = struct.pack("<4sIQIBBHIIQQ", b"ZynP", 0, len(entries), len(metadata), 1, 4, 8, 0, 16,
                         data_offset, index_offset)
    path.write_bytes(header + encodings + metadata + blocks + b"$INDX$\r\n" + b"".join(entries))


def main() -> None:
    with tempfile.TemporaryDirectory() as folder:
        sample = Path(folder) / "run.pulses.bin"
        write_sample(sample)
        with zpr.PulseReader(str(sample)) as reader:
            print("apertures:", reader.apertures)
            print("records of aperture 4:")
            print(reader.get_all_records(4)[["ipd_f", "dur_f", "start_f", "record_type"]])
            print("pulses of aperture 4, at least 5 frames long:")
            pulses = reader.get_pulses(4, pulse_filter=zpr.PulseFilter(min_dur_f=5))
            print(pulses[["start_f", "end_f", "dur_s", "snr", "intensity"]])
            print("attrs:", pulses.attrs)
            strip = Path(folder) / "strip.bin"
            reader.copy_apertures_to_new_file([0, 1, 2, 3, 4, 5], str(strip))
        merged = Path(folder) / "merged.bin"
        zpr.merge_pulse_files([str(sample), str(strip)], str(merged))
        with zpr.PulseReader(str(merged)) as reader:
            print("merged apertures:", reader.apertures, "rows:", reader.metadata["rows"])


if __name__ == "__main__":
    main()
