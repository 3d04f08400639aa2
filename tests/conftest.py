"""Shared fixtures and helpers: writing pulse files into the test's temporary directory,
varying their metadata, and checking that a test leaves no file descriptor open."""

from __future__ import annotations

import gc
import os
from pathlib import Path

import pytest

import zyn_pulse_reader
from pulsefile import DEFAULT_METADATA, PulseFile

# The module's stub as installed beside it (by pip, or by the build's install step): read
# there, the tests also run outside the checkout, against an installed wheel.
STUB = Path(zyn_pulse_reader.__file__).with_name("zyn_pulse_reader.pyi")


@pytest.fixture
def make_file(tmp_path):
    """Factory that writes a pulse file below ``tmp_path`` and returns its path as a ``str``.

    ``make_file(Aperture(3, [...]), Aperture(7), name="run/x.pulses.bin", metadata={...})``:
    positional arguments are the aperture blocks in file order, keywords are ``PulseFile``
    fields (damaged headers, explicit index entries, raw metadata bytes, ...). A ready
    ``PulseFile`` may be passed alone instead of apertures. Missing directories of ``name``
    are created.
    """

    def make(*apertures, name: str = "pulses.bin", **fields) -> str:
        if len(apertures) == 1 and isinstance(apertures[0], PulseFile):
            assert not fields, "pass either a PulseFile or its fields"
            pulse_file = apertures[0]
        else:
            pulse_file = PulseFile(apertures=list(apertures), **fields)
        path = tmp_path / name
        path.parent.mkdir(parents=True, exist_ok=True)
        return str(pulse_file.write(path))

    return make


def metadata_with(**changes) -> dict:
    """The default metadata with keys replaced; a value of None removes the key."""
    metadata = dict(DEFAULT_METADATA, **changes)
    return {key: value for key, value in metadata.items() if value is not None}


def open_fds() -> dict[int, str]:
    """The process's open file descriptors and what they point at (Linux's /proc names the
    file; macOS's /dev/fd has no links, so there the device and inode stand for it)."""
    proc = os.path.isdir("/proc/self/fd")
    folder = "/proc/self/fd" if proc else "/dev/fd"
    fds = {}
    for name in os.listdir(folder):
        try:
            if proc:
                fds[int(name)] = os.readlink(f"{folder}/{name}")
            else:
                status = os.fstat(int(name))
                fds[int(name)] = f"device {status.st_dev} inode {status.st_ino}"
        except OSError:  # the descriptor listdir itself used
            pass
    return fds


@pytest.fixture
def no_fd_leak():
    """Fails the test when it ends with more file descriptors open than it started with.

    Unreachable readers are collected first, so only descriptors that nothing can close any
    more (a failed construction that kept its file, a reader that lost track of its handle)
    count as leaks.
    """
    before = open_fds()
    yield
    after = open_fds()
    if len(after) > len(before):
        gc.collect()  # a reader still waiting for collection is not a leak
        after = open_fds()
    if len(after) > len(before):
        new = {fd: target for fd, target in after.items() if before.get(fd) != target}
        pytest.fail(f"test left {len(after) - len(before)} file descriptor(s) open: {new}")
