"""The writers run without the interpreter lock, so that other threads (a progress bar
watching the output grow) run while a large copy or merge is in progress."""

from __future__ import annotations

import threading
import time

import pytest

from pulsefile import Aperture, PulseFile, pulse
from zyn_pulse_reader import PulseReader, merge_pulse_files

RECORDS = 1_500_000  # 24 MB of records: long enough that a thread switch is certain


@pytest.fixture(scope="module")
def large_file(tmp_path_factory):
    block = pulse(3, 2, 10, 20, 1, 1, 4, 4) * (RECORDS // 4)
    apertures = [Aperture(n, [block], record_count=RECORDS // 4, x=n, y=0) for n in range(4)]
    path = tmp_path_factory.mktemp("large") / "large.pulses.bin"
    return str(PulseFile(apertures).write(path))


@pytest.mark.parametrize("writer", ["copy", "merge"])
def test_another_thread_runs_during_the_write(large_file, tmp_path, writer):
    output = str(tmp_path / "out.pulses.bin")
    reader = PulseReader(large_file)
    apertures = reader.apertures
    calls = {
        "copy": lambda: reader.copy_apertures_to_new_file(apertures, output),
        "merge": lambda: merge_pulse_files([large_file, large_file], output),
    }
    ticks: list[float] = []
    stop = threading.Event()

    def tick() -> None:
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.0005)

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        time.sleep(0.01)
        start = time.perf_counter()
        calls[writer]()
        end = time.perf_counter()
    finally:
        stop.set()
        ticker.join()
        reader.close()
    # Ticks in the middle of the call: a call that kept the lock would allow none there.
    margin = (end - start) / 4
    assert any(start + margin < t < end - margin for t in ticks), (end - start, len(ticks))
