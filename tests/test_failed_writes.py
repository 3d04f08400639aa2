"""Copies and merges whose output cannot be written.

Three ways to make writing fail, each with the operating system's own message:
- a file size limit (RLIMIT_FSIZE, SIGXFSZ ignored) in a child process: "File too large";
- a small tmpfs that fills up, and /dev/full: "No space left on device";
- a read-only bind mount: "Read-only file system", before anything is written.
Mounting needs root and a kernel that allows it; without them those cases are skipped.

Every failure must raise RuntimeError with that message, leave the inputs byte for byte as
they were, leave what was written so far on disk (a prefix of the complete output), and
leave the reader usable.
"""

from __future__ import annotations

import hashlib
import json
import os
import random
import re
import subprocess
import sys
from pathlib import Path

import pandas as pd
import pytest

from pulsefile import Aperture, PulseFile, background, pulse
from zyn_pulse_reader import PulseReader, merge_pulse_files

LIMIT = 256 * 1024  # well below the outputs, which are over 1 MiB
NUMBERS = [0, 3, 4]
ENOSPC = "No space left on device (os error 28)"
EROFS = "Read-only file system (os error 30)"
EFBIG = "File too large (os error 27)"


def records(rng: random.Random, count: int) -> list[bytes]:
    return [
        pulse(rng.randint(1, 30), rng.randint(1, 9), rng.randint(0, 999), rng.randint(0, 999))
        if rng.random() < 0.7
        else background(rng.randint(1, 30), rng.randint(0, 99))
        for _ in range(count)
    ]


@pytest.fixture(scope="module")
def sources(tmp_path_factory) -> list[Path]:
    """Two inputs; aperture 3's block (1.1 MiB) is larger than the writers' 1 MiB buffer."""
    rng = random.Random(7)
    directory = tmp_path_factory.mktemp("sources")
    paths = []
    for k in range(2):
        apertures = [Aperture(n, records(rng, 70_000 if n == 3 else 500), x=n, y=k) for n in NUMBERS]
        paths.append(PulseFile(apertures).write(directory / f"in{k}.bin"))
    return paths


@pytest.fixture(scope="module")
def complete(sources, tmp_path_factory) -> dict[str, bytes]:
    """The outputs as written without trouble."""
    directory = tmp_path_factory.mktemp("complete")
    with PulseReader(str(sources[0])) as reader:
        reader.copy_apertures_to_new_file(NUMBERS, str(directory / "copy.bin"))
    merge_pulse_files([str(p) for p in sources], str(directory / "merge.bin"))
    return {name: (directory / f"{name}.bin").read_bytes() for name in ("copy", "merge")}


def digests(paths) -> list[str]:
    return [hashlib.sha256(Path(p).read_bytes()).hexdigest() for p in paths]


def all_records(reader) -> list[pd.DataFrame]:
    return [reader.get_all_records(n) for n in NUMBERS]


def write(operation: str, reader, sources, out) -> None:
    if operation == "copy":
        reader.copy_apertures_to_new_file(NUMBERS, str(out))
    else:
        merge_pulse_files([str(p) for p in sources], str(out))


def assert_usable(reader, before: list[pd.DataFrame], operation, sources, complete, retry: Path) -> None:
    for frame, reference in zip(all_records(reader), before):
        pd.testing.assert_frame_equal(frame, reference)
    write(operation, reader, sources, retry)
    assert retry.read_bytes() == complete[operation]


# --------------------------------------------------------------------------- mounts


def mount(*arguments: str) -> None:
    if os.geteuid() != 0:
        pytest.skip("mounting needs root")
    result = subprocess.run(["mount", *arguments], capture_output=True, text=True)
    if result.returncode != 0:
        pytest.skip(f"cannot mount here: {result.stderr.strip()}")


@pytest.fixture
def mounted(tmp_path):
    """mounted(kind) -> a directory on a full-after-LIMIT tmpfs ("tmpfs") or a read-only
    bind mount ("read-only"); unmounted after the test."""
    points = []

    def make(kind: str) -> Path:
        point = tmp_path / kind
        point.mkdir()
        if kind == "tmpfs":
            mount("-t", "tmpfs", "-o", f"size={LIMIT}", "zpr-test", str(point))
            points.append(point)
        else:
            mount("--bind", str(point), str(point))
            points.append(point)
            mount("-o", "remount,bind,ro", str(point))
        return point

    yield make
    for point in reversed(points):
        subprocess.run(["umount", "-l", str(point)], check=False)


# --------------------------------------------------------------------------- tests


@pytest.mark.parametrize("operation", ["copy", "merge"])
@pytest.mark.parametrize("kind, message", [("tmpfs", ENOSPC), ("read-only", EROFS)], ids=["tmpfs", "read-only"])
def test_output_on_a_full_or_read_only_file_system(sources, complete, mounted, tmp_path, operation, kind, message):
    directory = mounted(kind)
    before = digests(sources)
    out = directory / "out.bin"
    with PulseReader(str(sources[0])) as reader:
        frames = all_records(reader)
        with pytest.raises(RuntimeError) as info:
            write(operation, reader, sources, out)
        assert str(info.value) == message
        assert_usable(reader, frames, operation, sources, complete, tmp_path / "retry.bin")
    assert digests(sources) == before
    if kind == "read-only":
        assert not out.exists()
    else:
        # Nothing is rolled back: what was written stays, and it is what should have been.
        written = out.read_bytes()
        assert 0 < len(written) < len(complete[operation])
        assert complete[operation].startswith(written)


def test_copy_to_dev_full(sources, complete, tmp_path):
    before = digests(sources)
    with PulseReader(str(sources[0])) as reader:
        frames = all_records(reader)
        with pytest.raises(RuntimeError) as failure:
            write("copy", reader, sources, "/dev/full")
        assert str(failure.value) == ENOSPC
        assert_usable(reader, frames, "copy", sources, complete, tmp_path / "retry.bin")
    assert digests(sources) == before


CHILD = r"""
import json, resource, signal, sys
from zyn_pulse_reader import PulseReader, merge_pulse_files

operation, limit, numbers, sources, out, retry = json.loads(sys.argv[1])
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
_, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
report = {}
reader = PulseReader(sources[0])
before = [reader.get_all_records(n) for n in numbers]
resource.setrlimit(resource.RLIMIT_FSIZE, (limit, hard))
try:
    if operation == "copy":
        reader.copy_apertures_to_new_file(numbers, out)
    else:
        merge_pulse_files(sources, out)
except BaseException as error:
    report["error"] = [type(error).__name__, str(error)]
resource.setrlimit(resource.RLIMIT_FSIZE, (hard, hard))
report["usable"] = all(a.equals(b) for a, b in zip(before, [reader.get_all_records(n) for n in numbers]))
if operation == "copy":
    reader.copy_apertures_to_new_file(numbers, retry)
else:
    merge_pulse_files(sources, retry)
reader.close()
print(json.dumps(report))
"""


@pytest.mark.parametrize("operation", ["copy", "merge"])
def test_file_size_limit(sources, complete, tmp_path, operation):
    before = digests(sources)
    out, retry = tmp_path / "out.bin", tmp_path / "retry.bin"
    arguments = [operation, LIMIT, NUMBERS, [str(p) for p in sources], str(out), str(retry)]
    child = subprocess.run([sys.executable, "-c", CHILD, json.dumps(arguments)], capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr[-3000:]
    report = json.loads(child.stdout)
    assert report.get("error") == ["RuntimeError", EFBIG]
    assert report["usable"]
    assert digests(sources) == before
    # The write stopped exactly at the limit, with correct bytes up to there.
    assert out.read_bytes() == complete[operation][:LIMIT]
    # Once the limit is lifted the same call succeeds.
    assert retry.read_bytes() == complete[operation]
