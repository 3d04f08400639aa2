"""Command-line options for the pulse filter, one per keyword of ``PulseFilter``."""

from __future__ import annotations

import argparse
from typing import Any, cast

from zyn_pulse_tools.filter_types import FilterKwargs

# (keyword, type, help); the option is the keyword with dashes: min_dur_f -> --min-dur-f.
_CRITERIA: tuple[tuple[str, type, str], ...] = (
    ("min_dur_f", int, "keep pulses of at least this many frames"),
    ("min_dur_s", float, "keep pulses of at least this many seconds"),
    ("max_dur_s", float, "keep pulses of at most this many seconds"),
    ("min_snr", float, "keep pulses with at least this SNR"),
    ("min_intensity", float, "keep pulses with at least this intensity"),
    ("min_binratio", float, "keep pulses with at least this bin ratio"),
    ("max_binratio", float, "keep pulses with at most this bin ratio"),
    ("start_m", float, "keep pulses that start at or after this minute"),
    ("end_m", float, "keep pulses that end at or before this minute"),
)


def add_filter_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("pulse filter (any option applies the filter and its order check)")
    for keyword, kind, text in _CRITERIA:
        option = "--" + keyword.replace("_", "-")
        group.add_argument(option, dest=keyword, type=kind, metavar="N" if kind is int else "X", help=text)
    group.add_argument(
        "--mask-s", dest="mask_s", type=float, nargs=2, metavar=("START", "END"),
        help="drop pulses that touch this window of seconds",
    )
    group.add_argument(
        "--recalc-ipd", dest="recalc_ipd", action="store_true", default=None,
        help="recompute inter-pulse distances over the kept pulses",
    )


def filter_kwargs(args: argparse.Namespace) -> FilterKwargs | None:
    """The keywords the options name, or None when no filter option was given."""
    chosen: dict[str, Any] = {
        keyword: getattr(args, keyword)
        for keyword in [c[0] for c in _CRITERIA] + ["recalc_ipd"]
        if getattr(args, keyword) is not None
    }
    if args.mask_s is not None:
        chosen["mask_s"] = tuple(args.mask_s)
    return cast("FilterKwargs", chosen) if chosen else None
