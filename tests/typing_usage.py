"""Uses every public member of zyn_pulse_reader the way a typed script would.

Not a test module (pytest does not collect it): test_stubs.py runs ``mypy --strict`` on it,
so the installed type information must accept every documented call and give the results
their real types. It is also a runnable script: ``python tests/typing_usage.py FILE OUTDIR``
exercises the same calls on a real file.
"""

from __future__ import annotations

import os
import sys
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

import zyn_pulse_reader
from zyn_pulse_reader import PanicException, PulseFilter, PulseReader, merge_pulse_files


class BytesName:
    """An os.PathLike whose fspath is bytes."""

    def __init__(self, path: Path) -> None:
        self.path = os.fsencode(path)

    def __fspath__(self) -> bytes:
        return self.path


def every_filter() -> list[PulseFilter]:
    return [
        PulseFilter(),
        PulseFilter(min_dur_f=5, min_dur_s=0.05, max_dur_s=2.5),
        PulseFilter(min_snr=3, min_intensity=10.0, min_binratio=0.1, max_binratio=np.float32(4)),
        PulseFilter(start_m=0.0, end_m=1.5, mask_s=(10.0, 20), recalc_ipd=True),
        PulseFilter(recalc_ipd=np.bool_(False), min_dur_f=np.uint32(2)),
    ]


def query(path: str, outdir: Path) -> int:
    with PulseReader(Path(path), pulse_filter_kwargs={"min_dur_f": 1, "min_snr": 0.0}) as reader:
        numbers: list[int] = reader.apertures
        metadata: dict[str, Any] = reader.metadata
        trimmed: bool = reader.trimmed
        fps = float(metadata["fps"])
        records: pd.DataFrame = reader.get_all_records(numbers[0])
        starts = records["start_f"].to_numpy()
        pulses: pd.DataFrame = reader.get_pulses(np.uint64(numbers[0]))
        for pulse_filter in every_filter():
            reader.get_pulses(numbers[0], include_aperture_index=False, pulse_filter=pulse_filter)
        reader.get_pulses(numbers[0], True, None, {"min_dur_f": 2})
        many: pd.DataFrame = reader.get_pulses_many()
        reader.get_pulses_many(numbers[:2], pulse_filter=PulseFilter(min_snr=1.0))
        reader.get_pulses_many(apertures=(np.int64(numbers[0]),), pulse_filter_kwargs={})
        all_records: pd.DataFrame = reader.get_all_records_many(numbers[:2])
        batches = [len(batch) for batch in reader.iter_pulses(numbers, pulse_filter_kwargs={}, batch_records=2)]
        record_batches = [len(batch) for batch in reader.iter_all_records(apertures=None, batch_records=np.uint32(5))]
        per_aperture: pd.DataFrame = reader.summary(numbers, pulse_filter=PulseFilter(min_snr=1.0))
        print(len(all_records), sum(batches), sum(record_batches), per_aperture["pulses"].sum())
        streams = [reader.arrow_pulses(numbers, pulse_filter_kwargs={}, batch_records=2),
                   reader.arrow_records(apertures=None), reader.arrow_summary(pulse_filter=PulseFilter(min_snr=1.0))]
        capsules: list[object] = [stream.__arrow_c_stream__() for stream in streams]
        print(len(capsules), streams[0].__arrow_c_schema__())
        reader.get_pulses_many(np.array(numbers[:2], dtype=np.uint32), pulse_filter_kwargs={"mask_s": (0.0, 1.0)})
        reader.get_pulses_many(pd.Index(numbers))
        reader.get_pulses_many(pd.Series(numbers, dtype="int64"))  # typed Series[int] on every Python
        reader.copy_apertures_to_new_file(np.asarray(numbers[:1]), outdir / "subset.bin")
        reader.copy_apertures_to_new_file(
            apertures=[10**9], file_name=str(outdir / "empty.bin"), ignore_missing_apertures=np.True_
        )
        print(trimmed, fps, len(starts), len(pulses), len(many), records.attrs["aperture_x"])
    reader.close()

    second = PulseReader(file_name=path, pulse_filter=PulseFilter(min_dur_f=1), pulse_filter_kwargs=None)
    second.__exit__(None, None, None)

    merged = outdir / "merged.bin"
    try:
        merge_pulse_files([path, outdir / "subset.bin"], new_file_name=merged)
    except PanicException as fault:  # derives from BaseException: "except Exception" misses it
        raise SystemExit(f"internal fault in the pulse file library: {fault}") from fault
    zyn_pulse_reader.merge_pulse_files(file_names=(path,), new_file_name=BytesName(outdir / "single.bin"))
    return len(zyn_pulse_reader.__all__)


if __name__ == "__main__":
    print(query(sys.argv[1], Path(sys.argv[2])))
