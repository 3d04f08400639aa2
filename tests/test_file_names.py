"""File names as users have them: str, pathlib.Path and other os.PathLike objects (whose
fspath may be bytes), names that are not valid UTF-8 on disk, and messages that quote names
or bytes from a damaged file, which must reach Python as valid text."""

from __future__ import annotations

import json
import os
from pathlib import Path

import pytest

from pulsefile import DEFAULT_METADATA, Aperture, PulseFile, pulse
from zyn_pulse_reader import PulseFilter, PulseReader, merge_pulse_files

pytestmark = pytest.mark.usefixtures("no_fd_leak")


class BytesPath:
    """An os.PathLike whose fspath is bytes."""

    def __init__(self, path: str) -> None:
        self.path = os.fsencode(path)

    def __fspath__(self) -> bytes:
        return self.path


FORMS = {"str": str, "Path": Path, "bytes-PathLike": BytesPath}
# A plain stem, and one whose bytes on disk are not UTF-8 (Python shows them as surrogate escapes).
STEMS = {"ascii": "strip", "not-utf8": os.fsdecode(b"strip\xff\xfe")}


def strip_file(directory: Path, stem: str, number: int) -> str:
    name = str(directory / f"{stem}{number}.pulses.bin")
    data = PulseFile([Aperture(number, [pulse(3, 2), pulse(4, 1)])]).to_bytes()
    with open(os.fsencode(name), "wb") as out:
        out.write(data)
    return name


@pytest.mark.parametrize("stem", STEMS.values(), ids=STEMS.keys())
@pytest.mark.parametrize("form", FORMS.values(), ids=FORMS.keys())
def test_every_file_name_argument(tmp_path, form, stem):
    first, second = strip_file(tmp_path, stem, 0), strip_file(tmp_path, stem, 1)
    copied, merged = str(tmp_path / f"{stem}.copy.bin"), str(tmp_path / f"{stem}.merged.bin")
    with PulseReader(form(first)) as reader:
        assert reader.get_pulses(0).attrs["analysis_id"] == first[: first.index(".")]
        assert repr(reader) == f"<zyn_pulse_reader.PulseReader {first!r} apertures=1 open>"
        reader.copy_apertures_to_new_file([0], form(copied))
    merge_pulse_files([form(first), form(second)], form(merged))
    assert os.path.exists(os.fsencode(copied))
    with PulseReader(merged) as reader:
        assert reader.apertures == [0, 201]


@pytest.mark.parametrize("value", [5, b"name.bin", ["name.bin"], None])
@pytest.mark.parametrize("argument", ["file_name", "file_names", "new_file_name"])
def test_other_types_keep_their_type_error(tmp_path, value, argument):
    source = strip_file(tmp_path, "strip", 0)
    type_name = type(value).__name__
    with pytest.raises(TypeError) as info:
        if argument == "file_name":
            with PulseReader(source) as reader:
                reader.copy_apertures_to_new_file([0], value)
        elif argument == "file_names":
            merge_pulse_files([source, value], str(tmp_path / "out.bin"))
        else:
            merge_pulse_files([source], value)
    assert str(info.value) == f"argument '{argument}': '{type_name}' object cannot be converted to 'PyString'"


def test_messages_show_names_as_python_does(tmp_path):
    stem = STEMS["not-utf8"]
    source = strip_file(tmp_path, stem, 0)
    with pytest.raises(RuntimeError) as info:
        merge_pulse_files([source], source)
    assert str(info.value) == f"File {source} already exists"
    with PulseReader(source) as reader, pytest.raises(RuntimeError) as info:
        reader.copy_apertures_to_new_file([0], Path(source))
    assert str(info.value) == f"Cannot copy apertures into the pulse file they are read from: {source}"
    with pytest.raises(RuntimeError) as info:  # 0 + 200 does not come after 250
        merge_pulse_files([strip_file(tmp_path, "strip", 250), source], str(tmp_path / "out.bin"))
    assert str(info.value) == (
        f"Cannot merge: the aperture numbers of input 2 ({source}) do not ascend after those of the inputs before it"
    )


@pytest.mark.parametrize(
    ("metadata", "quoted"),
    [
        # The parser stops inside the two bytes of "µ" and quotes what it read.
        (b'{"fps":100.0,"duration":1.0,"notes":"synthetic run"\xc2\xb5 }', "\ufffd"),
        (b'{"fps":100.0,"duration":1.0,"notes":"run"\xe2\x82\xac }', "\ufffd"),
    ],
)
def test_metadata_error_that_splits_a_character(make_file, metadata, quoted):
    with pytest.raises(RuntimeError) as info:
        PulseReader(make_file(Aperture(0), metadata=metadata))
    message = str(info.value)
    assert message.startswith("Failed to parse metadata JSON: ") and quoted in message
    message.encode("utf-8")  # strict: no surrogate escapes


def test_name_that_no_bytes_spell(tmp_path):
    with pytest.raises(UnicodeEncodeError):
        PulseReader(str(tmp_path / "\ud800.bin"))


def test_repr_names_file_and_state(tmp_path):
    source = strip_file(tmp_path, "strip", 0)
    reader = PulseReader(source)
    seen = []

    class Index:  # converted while the call holds the reader exclusively
        def __index__(self) -> int:
            seen.append(repr(reader))
            return 0

    reader.get_all_records(Index())
    assert seen == [f"<zyn_pulse_reader.PulseReader {source!r} apertures=1 open>"]
    reader.close()
    assert repr(reader) == f"<zyn_pulse_reader.PulseReader {source!r} closed>"


@pytest.mark.parametrize("key", ["\udcff", "min_snr\ud800"])
def test_filter_key_without_utf8_form_is_ignored(tmp_path, key):
    source = strip_file(tmp_path, "strip", 0)
    PulseFilter(**{key: "anything"})
    with PulseReader(source, pulse_filter_kwargs={key: None}) as reader:
        assert len(reader.get_pulses(0, pulse_filter_kwargs={key: 1})) == 2
