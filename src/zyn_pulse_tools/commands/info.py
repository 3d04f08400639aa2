"""``zyn-pulse info``: what a pulse file holds, from its header, metadata and summary."""

from __future__ import annotations

import argparse
import json
import sys
from typing import Any

from zyn_pulse_reader import PulseReader

from zyn_pulse_tools.errors import for_each_file
from zyn_pulse_tools.file_layout import read_layout

HEADER_FIELDS = ("aperture_count", "metadata_length", "data_offset", "index_offset")


def file_info(path: str) -> dict[str, Any]:
    """The facts ``info`` prints about one file, as JSON-ready values."""
    with PulseReader(path) as reader:
        metadata = reader.metadata
        summary = reader.summary()
        trimmed = reader.trimmed
    layout = read_layout(path)
    return {
        "file": path,
        "header": {name: getattr(layout, name) for name in HEADER_FIELDS},
        "rows": metadata.get("rows"),
        "cols": metadata.get("cols"),
        "fps": metadata["fps"],
        "duration_s": metadata["duration"],
        "trimmed": trimmed,
        "apertures": len(summary),
        "records": int(summary["records"].sum()),
        "pulses": int(summary["pulses"].sum()),
        "data_size": layout.index_offset - layout.data_offset,
        "file_size": layout.file_size,
        "metadata": metadata,
    }


def format_info(info: dict[str, Any]) -> str:
    grid = f"{info['rows']} rows x {info['cols']} cols" if info["rows"] is not None else "unknown"
    lines = [
        f"{info['file']}:",
        "  header: " + ", ".join(f"{name} {value}" for name, value in info["header"].items()),
        f"  grid: {grid}",
        f"  fps: {info['fps']}, duration: {info['duration_s']} s, trimmed: {'yes' if info['trimmed'] else 'no'}",
        f"  apertures: {info['apertures']:,}, records: {info['records']:,}, pulses: {info['pulses']:,}",
        f"  data size: {info['data_size']:,} bytes (file {info['file_size']:,} bytes)",
        "  metadata:",
    ]
    lines += [f"    {key}: {json.dumps(value)}" for key, value in info["metadata"].items()]
    return "\n".join(lines)


def run(args: argparse.Namespace) -> int:
    """Prints what it can of every file; a file that fails is reported and the rest go on."""
    infos, failed = for_each_file(args.files, file_info)
    if args.json:
        json.dump({"files": infos}, sys.stdout, indent=2)
        print()
    elif infos:
        print("\n\n".join(format_info(info) for info in infos))
    return 1 if failed else 0


def register(subparsers: Any, common: argparse.ArgumentParser) -> None:
    parser = subparsers.add_parser(
        "info", parents=[common], help="header, grid, counts and metadata of pulse files",
        description="Print the header fields, grid, fps, duration, counts and metadata of each file.",
    )
    parser.add_argument("files", nargs="+", metavar="FILE")
    parser.add_argument("--json", action="store_true", help="print one JSON document")
    parser.set_defaults(run=run)
