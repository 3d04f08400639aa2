"""Threads and readers.

One PulseReader admits one exclusive user (queries, copy, close) or any number of shared
users (properties, __enter__); the queries release the interpreter lock, so other threads
do run while one is in progress. A conflicting call must fail at once with the borrow
error of its kind, never wait, crash or see another call's file position: every call that
succeeds must give exactly the result computed beforehand on a quiet reader. Separate
readers are independent and may be used in parallel.

The threads run a fixed number of seeded operations each, so the tests are bounded in
work; how often calls actually collide depends on scheduling and is not asserted.
"""

from __future__ import annotations

import random
import threading
import time
from dataclasses import dataclass, field

import pandas as pd
import pytest

from pulsefile import Aperture, PulseFile, background, pulse
from zyn_pulse_reader import PulseReader

NUMBERS = [0, 1, 5, 6, 9]
RECORDS_PER_APERTURE = 3000
THREADS = 4
OPERATIONS = 120
FILTER = {"min_dur_f": 3, "min_snr": 0.5, "recalc_ipd": True}

CLOSED = "PulseReader cannot be used after the pulse file has been closed!"
EXCLUSIVE_REFUSED = "Already borrowed"
SHARED_REFUSED = "Already mutably borrowed"


def aperture(number: int, rng: random.Random) -> Aperture:
    """Pulses in order (every ipd and duration at least 1) and backgrounds, different in
    every aperture so that a block read for the wrong aperture cannot pass as right."""
    records = []
    for _ in range(RECORDS_PER_APERTURE):
        if rng.random() < 0.8:
            records.append(pulse(rng.randint(1, 40), rng.randint(1, 12), *(rng.randint(0, 3000) for _ in range(6))))
        else:
            records.append(background(rng.randint(1, 40), *(rng.randint(0, 500) for _ in range(4))))
    return Aperture(number, records, x=number % 3, y=number // 3)


@pytest.fixture(scope="module")
def pulse_file(tmp_path_factory):
    rng = random.Random(20)
    path = tmp_path_factory.mktemp("threads") / "pulses.bin"
    return str(PulseFile([aperture(n, rng) for n in NUMBERS]).write(path))


# Operations: name -> (kind, call). Exclusive calls may be refused with "Already borrowed",
# shared ones with "Already mutably borrowed".
def query_operations(out_dir):
    operations = {}
    for n in NUMBERS:
        operations[f"records {n}"] = ("exclusive", lambda r, n=n: r.get_all_records(n))
        operations[f"pulses {n}"] = ("exclusive", lambda r, n=n: r.get_pulses(n))
        operations[f"filtered {n}"] = ("exclusive", lambda r, n=n: r.get_pulses(n, pulse_filter_kwargs=FILTER))
        operations[f"bare {n}"] = ("exclusive", lambda r, n=n: r.get_pulses(n, include_aperture_index=False))
    operations["copy"] = ("exclusive", lambda r: copy_bytes(r, out_dir))
    operations["apertures"] = ("shared", lambda r: r.apertures)
    operations["trimmed"] = ("shared", lambda r: r.trimmed)
    operations["metadata"] = ("shared", lambda r: r.metadata)
    operations["enter"] = ("shared", lambda r: r.__enter__() is r)
    return operations


def copy_bytes(reader, out_dir) -> bytes:
    path = out_dir / f"copy-{threading.get_ident()}.bin"
    reader.copy_apertures_to_new_file([9, 0, 5], str(path))
    return path.read_bytes()


def assert_same(result, expected):
    if isinstance(expected, pd.DataFrame):
        pd.testing.assert_frame_equal(result, expected)
        assert result.attrs == expected.attrs
    else:
        assert result == expected


@pytest.fixture(scope="module")
def reference(pulse_file, tmp_path_factory):
    """Every operation's result on a reader that nothing else touches."""
    operations = query_operations(tmp_path_factory.mktemp("reference"))
    with PulseReader(pulse_file) as reader:
        return {name: call(reader) for name, (_, call) in operations.items()}


@dataclass
class Tally:
    successes: int = 0
    refusals: dict = field(default_factory=dict)
    failures: list = field(default_factory=list)


def close_when_free(reader, tally, attempts=100_000):
    """Closes the reader in the middle of the others' work, retrying while a query holds it."""
    for _ in range(attempts):
        try:
            reader.close()
            return
        except RuntimeError as error:
            if str(error) != EXCLUSIVE_REFUSED:
                tally.failures.append(f"close: RuntimeError {error}")
                return
            time.sleep(0)
    tally.failures.append("close: refused every time")


def hammer(reader, operations, reference, seed, start, tally, closer=False):
    rng = random.Random(seed)
    names = sorted(operations)
    start.wait()
    for step in range(OPERATIONS):
        if closer and step == OPERATIONS // 2:
            close_when_free(reader, tally)
            continue
        name = rng.choice(names)
        kind, call = operations[name]
        try:
            result = call(reader)
        except RuntimeError as error:
            time.sleep(0)  # let the holder go on instead of spinning through the operations
            message = str(error)
            allowed = {EXCLUSIVE_REFUSED if kind == "exclusive" else SHARED_REFUSED}
            if name not in ("metadata", "enter"):
                allowed.add(CLOSED)
            if message not in allowed:
                tally.failures.append(f"{name}: RuntimeError {message!r}")
            tally.refusals[message] = tally.refusals.get(message, 0) + 1
        except BaseException as error:  # noqa: BLE001 - any other exception is a failure
            tally.failures.append(f"{name}: {type(error).__name__} {error}")
        else:
            try:
                assert_same(result, reference[name])
                tally.successes += 1
            except AssertionError as error:
                tally.failures.append(f"{name}: wrong result {error}")


def run_threads(targets):
    threads = [threading.Thread(target=target, daemon=True) for target in targets]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
    assert not any(thread.is_alive() for thread in threads), "a thread hangs"


@pytest.mark.parametrize("with_close", [False, True], ids=["open", "closed-midway"])
def test_threads_sharing_one_reader(pulse_file, reference, tmp_path, with_close):
    operations = query_operations(tmp_path)
    reader = PulseReader(pulse_file)
    metadata = reader.metadata
    start = threading.Barrier(THREADS)
    tallies = [Tally() for _ in range(THREADS)]
    run_threads(
        lambda i=i: hammer(reader, operations, reference, seed=i, start=start, tally=tallies[i],
                           closer=with_close and i == 0)
        for i in range(THREADS)
    )
    failures = [failure for tally in tallies for failure in tally.failures]
    assert not failures, "\n".join(failures[:20])
    assert sum(tally.successes for tally in tallies) > 0
    # metadata is the same object throughout, open or closed.
    assert reader.metadata is metadata
    if with_close:
        with pytest.raises(RuntimeError, match=f"^{CLOSED}$"):
            reader.apertures
    else:
        # Nothing is left borrowed: the reader serves and closes normally.
        assert_same(reader.get_pulses(NUMBERS[-1]), reference[f"pulses {NUMBERS[-1]}"])
    assert reader.close() is None


def test_separate_readers_in_parallel_match_sequential_calls(pulse_file, reference, tmp_path):
    operations = query_operations(tmp_path)
    names = [name for name in sorted(operations) if name != "enter"]
    start = threading.Barrier(THREADS)
    failures = []

    def own_reader(seed):
        order = names[:]
        random.Random(seed).shuffle(order)
        start.wait()
        with PulseReader(pulse_file) as reader:
            for name in order:
                try:
                    assert_same(operations[name][1](reader), reference[name])
                except BaseException as error:  # noqa: BLE001
                    failures.append(f"{name}: {type(error).__name__} {error}")

    run_threads(lambda i=i: own_reader(i) for i in range(THREADS))
    assert not failures, "\n".join(failures[:20])
