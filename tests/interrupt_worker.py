"""A child interpreter that interrupts the module's long calls, for tests/test_interrupts.py.

    python interrupt_worker.py RUN BIG_APERTURE_FILE OUT_DIR TRIALS SEED

For each long call it times one uninterrupted run, then runs it TRIALS times while a thread
sends this process SIGINT at a random moment within that time. A call must either complete
or raise KeyboardInterrupt; either way the reader must be usable afterwards, a written
output must be absent, a prefix of the complete output (as a failed write leaves it) or
complete, and every output the call completed must be complete. One JSON line per call:
its name, the interrupted and completed counts, and each delay from the signal to the
KeyboardInterrupt.
"""

from __future__ import annotations

import json
import os
import random
import signal
import sys
import threading
import time
from pathlib import Path

from zyn_pulse_reader import PulseReader, merge_pulse_files

run_path, big_path, out_dir, trials, seed = sys.argv[1], sys.argv[2], Path(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
reader = PulseReader(run_path)
big = PulseReader(big_path)
output = out_dir / "out.bin"


def walk(iterator) -> None:
    for _ in iterator:
        pass


CALLS = {
    "get_pulses_many": lambda: reader.get_pulses_many(),
    "get_all_records_many": lambda: reader.get_all_records_many(),
    "summary": lambda: reader.summary(),
    "iter_pulses": lambda: walk(reader.iter_pulses(batch_records=1 << 22)),
    "iter_all_records": lambda: walk(reader.iter_all_records(batch_records=1 << 22)),
    "get_pulses (one large aperture)": lambda: big.get_pulses(big.apertures[0]),
    "get_all_records (one large aperture)": lambda: big.get_all_records(big.apertures[0]),
    "copy_apertures_to_new_file": lambda: reader.copy_apertures_to_new_file(reader.apertures, str(output)),
    "merge_pulse_files": lambda: merge_pulse_files([run_path, run_path], str(output)),
}
WRITERS = {"copy_apertures_to_new_file", "merge_pulse_files"}


rng = random.Random(seed)
for name, call in CALLS.items():
    started = time.perf_counter()
    call()
    duration = time.perf_counter() - started
    complete = output.read_bytes() if name in WRITERS else b""
    output.unlink(missing_ok=True)
    interrupted, completed, delays = 0, 0, []
    for _ in range(trials):
        sent: list[float] = []

        def send(delay: float = rng.uniform(0, duration)) -> None:
            time.sleep(delay)
            sent.append(time.perf_counter())
            os.kill(os.getpid(), signal.SIGINT)

        sender = threading.Thread(target=send)
        finished = False
        try:
            sender.start()
            call()
            finished = True
            sender.join()
            time.sleep(0.2)  # a signal sent as the call returned is handled here
        except KeyboardInterrupt:
            if not finished and sent:
                delays.append(time.perf_counter() - sent[0])
            sender.join()
        interrupted += not finished
        completed += finished
        if name in WRITERS:
            written = output.read_bytes() if output.exists() else b""
            assert written == complete if finished else complete.startswith(written), name
            output.unlink(missing_ok=True)
        for r in (reader, big):
            first = r.apertures[0]
            assert len(r.get_all_records(first)) > 0
    print(json.dumps({"call": name, "interrupted": interrupted, "completed": completed, "delays": delays}), flush=True)
