"""Aperture lists as users type them: "0,5,10-20" (ranges inclusive), and text files of them."""

from __future__ import annotations

from pathlib import Path

from zyn_pulse_tools.errors import CommandError


def _number(text: str, whole: str) -> int:
    if not text.isdigit():
        raise CommandError(f"invalid aperture list {whole!r}: {text!r} is not an aperture number")
    return int(text)


def parse_aperture_list(text: str) -> list[int]:
    """The apertures of "0,5,10-20" in the order written; empty items are ignored."""
    apertures: list[int] = []
    for item in (part.strip() for part in text.split(",")):
        if not item:
            continue
        first, dash, last = item.partition("-")
        if not dash:
            apertures.append(_number(first.strip(), text))
            continue
        low, high = _number(first.strip(), text), _number(last.strip(), text)
        if high < low:
            raise CommandError(f"invalid aperture list {text!r}: the range {item!r} runs backwards")
        apertures.extend(range(low, high + 1))
    return apertures


def read_aperture_file(path: str) -> list[int]:
    """Apertures from a text file: lists as above, one or more per line, "#" starts a comment."""
    try:
        lines = Path(path).read_text().splitlines()
    except OSError as error:
        raise CommandError(f"cannot read {path}: {error.strerror}") from None
    apertures: list[int] = []
    for line in lines:
        for word in line.partition("#")[0].split():
            apertures.extend(parse_aperture_list(word))
    return apertures
