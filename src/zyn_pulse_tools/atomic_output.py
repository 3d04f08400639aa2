"""Outputs that appear complete or not at all.

Every output is written under a private temporary folder beside its target (so the final
rename never crosses file systems) and moved into place with ``os.replace`` once complete.
A failure, or Ctrl-C, removes the temporary folder and leaves any existing target as it was;
in the ``zyn-pulse`` command, Ctrl-C is held back from the rename on (see interrupts).
"""

from __future__ import annotations

import argparse
import os
import shutil
import tempfile
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from pathlib import Path

from zyn_pulse_tools.errors import CommandError
from zyn_pulse_tools.interrupts import completing, held


def _same_file(a: Path, b: Path) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def refuse_unsafe_output(output: str, force: bool, inputs: Sequence[str] = ()) -> None:
    """Refuses an output that exists (unless `force`) or that is one of the inputs."""
    target = Path(output)
    for source in inputs:
        if _same_file(target, Path(source)):
            raise CommandError(f"{output} is one of the inputs; choose another output")
    if target.is_dir():
        raise CommandError(f"{output} is a directory")
    if target.exists() and not force:
        raise CommandError(f"{output} already exists (use --force to replace it)")


@contextmanager
def atomic_output(output: str, force: bool, inputs: Sequence[str] = ()) -> Iterator[str]:
    """Yields a path that does not exist yet, to be written in full; renames it to `output`
    when the block ends normally."""
    refuse_unsafe_output(output, force, inputs)
    target = Path(output)
    folder = ""
    try:
        # Ctrl-C is held back until the folder is known, so that it is always removed.
        with held():
            try:
                folder = tempfile.mkdtemp(prefix=f".{target.name}.", suffix=".partial", dir=target.parent)
            except OSError as error:
                raise CommandError(f"cannot write into {target.parent}: {error.strerror}") from None
        temporary = os.path.join(folder, target.name)
        try:
            yield temporary
        except Exception as error:
            # The module's notes name the file it was writing: to the user, that is the output.
            notes = getattr(error, "__notes__", None)
            if notes:
                notes[:] = [note.replace(os.path.abspath(temporary), output).replace(temporary, output) for note in notes]
            raise
        with completing():
            os.replace(temporary, target)
    finally:
        if folder:
            shutil.rmtree(folder, ignore_errors=True)


def add_output_options(parser: argparse.ArgumentParser, metavar: str, text: str) -> None:
    """-o/--output and --force, as every command that writes a file takes them."""
    parser.add_argument("-o", "--output", required=True, metavar=metavar, help=text)
    parser.add_argument("--force", action="store_true", help="replace an existing output")
