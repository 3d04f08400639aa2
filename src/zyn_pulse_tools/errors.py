"""The failures every subcommand reports as one line: ``zyn-pulse: error: <message>``, or
``zyn-pulse: FILE: <message>`` for a failure of one input file."""

from __future__ import annotations

import sys
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from typing import TypeVar

import zyn_pulse_reader

T = TypeVar("T")
R = TypeVar("R")

# What reading a file can raise: the module's errors (its internal faults included), the
# operating system's, and values that make no sense.
FILE_ERRORS = (RuntimeError, OSError, ValueError, zyn_pulse_reader.PanicException)


class CommandError(Exception):
    """A failure of the command that the user can act on; its text is the whole message."""


class MissingExtra(CommandError):
    """An optional dependency of a subcommand is not installed."""

    def __init__(self, module: str, install: str, command: str) -> None:
        super().__init__(f"{command} needs {module}, which is not installed: {install}")


def failure_text(error: BaseException, path: str | None = None) -> str:
    """The error's message and the notes the module added to it (which file, why) on one
    line; notes that only name `path` are left out, and `path` at their start too."""
    notes = []
    for note in getattr(error, "__notes__", ()):
        if path is not None:
            if note == f"while opening {path}":
                continue
            note = note.removeprefix(f"{path}: ")
        notes.append(note)
    message = str(error) or type(error).__name__
    return f"{message}: {'; '.join(notes)}" if notes else message


class FileFailure(CommandError):
    """A failure of one input file: "FILE: message"."""

    def __init__(self, path: str, error: BaseException) -> None:
        super().__init__(f"{path}: {failure_text(error, path)}")


@contextmanager
def naming(path: str) -> Iterator[None]:
    """Reports a failure of the block as one of the file at `path`."""
    try:
        yield
    except FileFailure:
        raise
    except (*FILE_ERRORS, CommandError) as error:
        raise FileFailure(path, error) from error


def for_each_file(items: Sequence[T], work: Callable[[T], R], path_of: Callable[[T], str] = str) -> tuple[list[R], bool]:
    """`work(item)` for every item (a file, or something read from the file `path_of(item)`),
    going on past files that fail, each failure printed as "zyn-pulse: FILE: message"; the
    results of the others, and whether any failed."""
    results: list[R] = []
    failed = False
    for item in items:
        try:
            with naming(path_of(item)):
                results.append(work(item))
        except FileFailure as failure:
            print(f"zyn-pulse: {failure}", file=sys.stderr)
            failed = True
    return results, failed
