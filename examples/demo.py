"""A short tour of zyn_pulse_reader on a small sample run that this script simulates itself
(as `zyn-pulse simulate -o run.pulses.bin --rows 2 --cols 3 --mean-records 30 --heavy-share 0
--seed 42` would)."""

import tempfile
from pathlib import Path

import zyn_pulse_reader as zpr
from zyn_pulse_tools.simulate import RunShape, write_run


def main() -> None:
    with tempfile.TemporaryDirectory() as folder:
        sample = str(Path(folder) / "run.pulses.bin")
        write_run(sample, RunShape(rows=2, cols=3, mean_records=30, heavy_share=0, seed=42))
        with zpr.PulseReader(sample) as reader:
            print("apertures:", reader.apertures)
            print("per aperture:")
            print(reader.summary()[["records", "pulses", "dur_f_mean", "snr_mean"]])
            print("records of aperture 4:")
            print(reader.get_all_records(4)[["ipd_f", "dur_f", "start_f", "record_type"]])
            print("pulses of aperture 4, at least 5 frames long:")
            pulses = reader.get_pulses(4, pulse_filter=zpr.PulseFilter(min_dur_f=5))
            print(pulses[["start_f", "end_f", "dur_s", "snr", "intensity"]])
            print("attrs:", pulses.attrs)
            strip = str(Path(folder) / "strip.bin")
            reader.copy_apertures_to_new_file([0, 1, 2, 3, 4, 5], strip)
        merged = str(Path(folder) / "merged.bin")
        zpr.merge_pulse_files([sample, strip], merged)
        with zpr.PulseReader(merged) as reader:
            print("merged apertures:", reader.apertures, "rows:", reader.metadata["rows"])


if __name__ == "__main__":
    main()
