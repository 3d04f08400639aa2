"""A child interpreter that runs calls of the module on request, for tests/test_boundary.py.

The parent sends cases (pickled, length-prefixed) on the child's stdin and reads one outcome
per case from its stdout, so a case that crashes the interpreter ends only this child: the
parent reports that case and starts a new child for the next. The child limits the size of
the files it writes and (unless it runs under AddressSanitizer) its address space, so a
runaway write or allocation ends in an exception instead of filling the disk or the
machine's memory.

A case is the bytes of a pulse file, a valid second file (a merge partner) and a list of
calls. File-name arguments are given as `FileRef`s and PulseFilter objects as `FilterRef`s,
both resolved here, in the child's own directory.
"""

from __future__ import annotations

import os
import pathlib
import pickle
import resource
import signal
import struct
import sys
import tempfile
from dataclasses import dataclass, field
from typing import Any

# Stems of the file names: plain, non-ASCII, not valid UTF-8 on disk (a str with a surrogate
# escape, as os.listdir hands it out), not encodable at all (a lone surrogate), and with a NUL.
NAME_STEMS = {
    "ascii": "run",
    "unicode": "µrun",
    "undecodable": os.fsdecode(b"\xffrun"),
    "unencodable": "\ud800run",
    "nul": "r\0un",
}


@dataclass(frozen=True)
class FileRef:
    """A file name argument. role: "input" (the case's file), "strip" (the valid second file),
    "missing" (never created), "output" (a fresh name); form: how the name is passed."""

    role: str
    form: str = "str"  # "str", "path", "bytes_path" (a PathLike whose fspath is bytes), "bytes"


@dataclass(frozen=True)
class FilterRef:
    """A PulseFilter built in the child from these keywords."""

    kwargs: dict[str, Any]


@dataclass
class Call:
    """`target` is "PulseReader", "PulseFilter", "merge_pulse_files", "reader.<member>" for
    the reader opened by the last successful PulseReader call (a member that is a property
    or repr is read, any other is called), or "next" for one step of the last iterator a
    reader call returned."""

    target: str
    args: tuple[Any, ...] = ()
    kwargs: dict[str, Any] = field(default_factory=dict)


@dataclass
class Case:
    data: bytes
    strip: bytes
    name_style: str
    calls: list[Call]


class BytesPath:
    """A PathLike whose fspath is bytes (os.DirEntry of a bytes scandir behaves so)."""

    def __init__(self, path: bytes) -> None:
        self.path = path

    def __fspath__(self) -> bytes:
        return self.path


PROPERTIES = {"apertures", "metadata", "trimmed", "__repr__"}


def file_name(directory: str, style: str, role: str) -> str:
    return os.path.join(directory, f"{NAME_STEMS[style]}_{role}.pulses.bin")


def resolve(value: Any, directory: str, style: str) -> Any:
    """The argument with every FileRef and FilterRef replaced by the real object."""
    if isinstance(value, FileRef):
        name = file_name(directory, style, value.role)
        if value.form == "path":
            return pathlib.Path(name)
        if value.form in ("bytes_path", "bytes"):
            try:
                encoded = os.fsencode(name)
            except UnicodeEncodeError:
                return name  # a name no bytes can spell: passed as it is
            return BytesPath(encoded) if value.form == "bytes_path" else encoded
        return name
    if isinstance(value, FilterRef):
        from zyn_pulse_reader import PulseFilter

        return PulseFilter(**value.kwargs)
    if isinstance(value, list):
        return [resolve(item, directory, style) for item in value]
    if isinstance(value, tuple):
        return tuple(resolve(item, directory, style) for item in value)
    return value


def outcome_of(error: BaseException | None) -> dict[str, Any]:
    if error is None:
        return {"type": None}
    return {"type": type(error).__qualname__, "module": type(error).__module__, "message": str(error),
            "mro": [t.__qualname__ for t in type(error).__mro__]}


def run_case(case: Case, directory: str) -> dict[str, Any]:
    import zyn_pulse_reader as zpr

    def write(role: str, data: bytes) -> None:
        try:
            with open(os.fsencode(file_name(directory, case.name_style, role)), "wb") as out:
                out.write(data)
        except (UnicodeEncodeError, ValueError):
            pass  # no such name can exist on disk

    write("input", case.data)
    write("strip", case.strip)
    names = [file_name(directory, case.name_style, role) for role in ("input", "strip", "missing", "output")]
    reader = None
    batches: Any = None  # the last iterator a reader call returned
    outcomes = []
    try:
        for call in case.calls:
            if (call.target.startswith("reader.") and reader is None) or (call.target == "next" and batches is None):
                outcomes.append({"call": call.target, "type": "skipped"})  # nothing to call it on
                continue
            error: BaseException | None = None
            try:
                args = resolve(call.args, directory, case.name_style)
                kwargs = {key: resolve(value, directory, case.name_style) for key, value in call.kwargs.items()}
                if call.target == "PulseReader":
                    reader = zpr.PulseReader(*args, **kwargs)
                elif call.target == "PulseFilter":
                    zpr.PulseFilter(*args, **kwargs)
                elif call.target == "merge_pulse_files":
                    zpr.merge_pulse_files(*args, **kwargs)
                elif call.target == "next":
                    next(batches, None)
                else:
                    member = call.target.removeprefix("reader.")
                    if member == "__repr__":
                        repr(reader)
                    elif member in PROPERTIES:
                        getattr(reader, member)
                    else:
                        result = getattr(reader, member)(*args, **kwargs)
                        if hasattr(result, "__next__"):
                            batches = result
            except BaseException as caught:  # noqa: B036 - every outcome is reported
                error = caught
            outcomes.append({"call": call.target, **outcome_of(error)})
    finally:
        if reader is not None:
            reader.close()
        for entry in os.scandir(os.fsencode(directory)):
            os.remove(entry.path)
    return {"outcomes": outcomes, "names": names}


def read_frame(stream: Any) -> bytes | None:
    header = stream.read(4)
    if len(header) < 4:
        return None
    (length,) = struct.unpack("<I", header)
    return stream.read(length)


def write_frame(stream: Any, payload: bytes) -> None:
    stream.write(struct.pack("<I", len(payload)) + payload)
    stream.flush()


def serve() -> None:
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (64 << 20, 64 << 20))
    if "ASAN_OPTIONS" not in os.environ:  # AddressSanitizer reserves terabytes of address space
        resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))
    # The protocol owns the real stdout; anything else printed goes to stderr.
    replies = os.fdopen(os.dup(1), "wb")
    os.dup2(2, 1)
    import zyn_pulse_reader  # noqa: F401 - loaded once, before the first case

    with tempfile.TemporaryDirectory(prefix="boundary") as directory:
        while (frame := read_frame(sys.stdin.buffer)) is not None:
            write_frame(replies, pickle.dumps(run_case(pickle.loads(frame), directory)))
