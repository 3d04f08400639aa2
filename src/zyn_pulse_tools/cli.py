"""The ``zyn-pulse`` command: one entry point, one subcommand per task.

Each subcommand lives in its own module under ``zyn_pulse_tools.commands`` with a
``register`` function that adds its parser; the work functions there are importable without
the command line. Failures print one line, ``zyn-pulse: error: <message>`` (or
``zyn-pulse: FILE: <message>`` for a failure of one input file), and exit with status 1;
usage errors exit with status 2 (argparse's convention). Ctrl-C prints
``zyn-pulse: interrupted`` and exits with status 130, unless the output was complete.

This module imports little at first: the command takes over Ctrl-C before the heavy imports
(NumPy, pandas, the extension module), which then hold it back until they are done, so that
an interrupt during start-up ends as cleanly as one during the work. Only the chosen
subcommand's module is imported (the others get a parser that only names them), so that
``--help`` and ``--version`` answer without loading NumPy or pandas.
"""

from __future__ import annotations

import sys

from zyn_pulse_tools import interrupts

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse
    from collections.abc import Sequence

# Each subcommand, in the order --help lists them, with the line it shows there.
_COMMANDS = {
    "info": "header, grid, counts and metadata of pulse files",
    "check": "verify pulse files completely",
    "subset": "copy chosen apertures into a new file",
    "merge": "join row strips of one grid into one file",
    "export": "write pulses, records or a summary as Parquet, CSV or Arrow",
    "report": "one self-contained HTML page with plots of each run",
    "simulate": "write a synthetic chip-like run to try things on",
}


def chosen_command(argv: Sequence[str]) -> str | None:
    """The subcommand named on the command line: its first word that is not an option (the
    main parser's options take no values)."""
    return next((word for word in argv if not word.startswith("-")), None)


def build_parser(argv: Sequence[str] | None = None) -> argparse.ArgumentParser:
    """The parser of `argv`'s subcommand (of every subcommand when `argv` is None)."""
    import argparse
    import importlib

    import zyn_pulse_reader

    from zyn_pulse_tools import __version__

    parser = argparse.ArgumentParser(prog="zyn-pulse", description="Work with pulse files (pulses.bin).")
    parser.add_argument("--version", action="version",
                        version=f"%(prog)s {__version__} (zyn_pulse_reader module {zyn_pulse_reader.__version__})")
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument(
        "--progress", action=argparse.BooleanOptionalAction, default=None,
        help="show progress bars on standard error (default: when it is a terminal)",
    )
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    chosen = None if argv is None else chosen_command(argv)
    for name, summary in _COMMANDS.items():
        if argv is None or name == chosen:
            importlib.import_module(f"zyn_pulse_tools.commands.{name}").register(subparsers, common)
        else:
            subparsers.add_parser(name, help=summary)
    return parser


def _fail(line: str) -> int:
    print(f"zyn-pulse: {line}", file=sys.stderr)
    return 1


def _run(argv: Sequence[str] | None) -> int:
    words = sys.argv[1:] if argv is None else argv
    with interrupts.held():
        from zyn_pulse_tools.errors import FILE_ERRORS, CommandError, FileFailure, failure_text

        parser = build_parser(words)
    args = parser.parse_args(words)
    try:
        status: int = args.run(args)
    except FileFailure as failure:
        return _fail(str(failure))
    except (*FILE_ERRORS, CommandError) as error:
        return _fail(f"error: {failure_text(error)}")
    return status


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command with `argv` (default: the program's arguments). Run as the program
    (no `argv`), it takes over Ctrl-C for the rest of the process."""
    try:
        # Within the try: a Ctrl-C that lands as soon as the handler is in place is caught too.
        if argv is None:
            interrupts.install()
        status = _run(argv)
    except KeyboardInterrupt:
        print("zyn-pulse: interrupted", file=sys.stderr)
        status = 130
    if argv is None:
        interrupts.ignore_from_now_on()
    return status
