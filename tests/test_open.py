"""Opening pulse files: header validation, metadata parsing, the index, and how every kind of
damage is reported. Failures of construction must leave no file open."""

from __future__ import annotations

import pandas  # noqa: F401  (imported up front so that its files are not counted as leaks)
import pytest

from conftest import metadata_with
from pulsefile import METADATA_OFFSET, Aperture, PulseFile, background, pulse
from zyn_pulse_reader import PulseReader

pytestmark = pytest.mark.usefixtures("no_fd_leak")

FILL = "failed to fill whole buffer"
MISSING_FPS = "Missing or invalid 'fps' field in metadata"
LOOKUP = "Failed to get records: This file does not contain the provided aperture index: "


def sample_file(**fields) -> PulseFile:
    """A small valid file with two apertures; keywords override PulseFile fields."""
    apertures = [
        Aperture(3, [pulse(10, 5, 160, 160), background(7)], x=1, y=2),
        Aperture(7, [pulse(1, 1)], x=5, y=6),
    ]
    return PulseFile(apertures=apertures, **fields)


def open_error(path, exception=RuntimeError) -> str:
    with pytest.raises(exception) as info:
        PulseReader(path)
    return str(info.value)


def lookup_error(reader, aperture) -> str:
    with pytest.raises(RuntimeError) as info:
        reader.get_all_records(aperture)
    return str(info.value)


# --------------------------------------------------------------------------- header


@pytest.mark.parametrize("header_only", [False, True], ids=["whole-file", "48-bytes"])
@pytest.mark.parametrize(
    ("fields", "message"),
    [
        ({"magic": b"ZynQ"}, "Pulse file header is invalid!"),
        ({"magic": b"PnyZ"}, "Pulse file header is invalid!"),
        # The magic wins over every later fault.
        ({"magic": b"\0\0\0\0", "encoding_record_type": 2, "record_size": 20}, "Pulse file header is invalid!"),
        ({"encoding_record_type": 2}, "Invalid encoding record type: 2"),
        ({"encoding_record_type": 0, "encoding_record_size": 8, "encoding_record_count": 0}, "Invalid encoding record type: 0"),
        ({"encoding_record_type": 255}, "Invalid encoding record type: 255"),
        ({"encoding_record_size": 8, "record_size": 32}, "Invalid encoding record size: 8"),
        ({"encoding_record_size": 0, "encoding_record_count": 0}, "Invalid encoding record size: 0"),
        # The record size is checked before the count of encoding records in front of it.
        ({"record_size": 20, "encoding_record_count": 7}, "Invalid record size: 20"),
        ({"record_size": 0}, "Invalid record size: 0"),
        ({"record_size": 4294967295}, "Invalid record size: 4294967295"),
        ({"encoding_record_count": 7}, "Invalid number of encoding records: 7"),
        ({"encoding_record_count": 9}, "Invalid number of encoding records: 9"),
        ({"encoding_record_count": 65535}, "Invalid number of encoding records: 65535"),
    ],
)
def test_header_validation(tmp_path, fields, message, header_only):
    data = sample_file(**fields).to_bytes()
    path = tmp_path / "bad.bin"
    # The header is validated before anything behind it is read.
    path.write_bytes(data[:48] if header_only else data)
    assert open_error(str(path)) == message


@pytest.mark.parametrize(
    "fields",
    [
        {"reserved_a": 0, "reserved_b": 0},
        {"reserved_a": 0xFFFFFFFF, "reserved_b": 0xFFFFFFFF},
        {"data_offset": 0},
        {"data_offset": 2**64 - 1},
        {"data_offset": 12345, "padding": 40},
    ],
)
def test_fields_that_are_not_checked(make_file, fields):
    with PulseReader(make_file(sample_file(**fields))) as reader:
        assert reader.apertures == [3, 7]
        # Blocks are found through the index alone, whatever data_offset says.
        assert len(reader.get_all_records(3)) == 2
        assert len(reader.get_all_records(7)) == 1


# --------------------------------------------------------------------------- short files and I/O errors


def _cut_points():
    pulse_file = sample_file()
    meta = len(pulse_file.metadata_bytes())
    total = len(pulse_file.to_bytes())
    index_offset = total - 8 - 12 * len(pulse_file.apertures)
    return {
        "empty": 0,
        "one-byte": 1,
        "header-47": 47,
        "no-encodings": 48,
        "encodings-31": 79,
        "no-metadata": METADATA_OFFSET,
        "metadata-short-by-1": METADATA_OFFSET + meta - 1,
        "no-index": index_offset,
        "index-magic-7": index_offset + 7,
        "entries-short-by-1": total - 1,
    }


@pytest.mark.parametrize(("cut", "length"), _cut_points().items(), ids=list(_cut_points()))
def test_truncated_file(tmp_path, cut, length):
    path = tmp_path / "short.bin"
    path.write_bytes(sample_file().to_bytes()[:length])
    assert open_error(str(path)) == FILL


def test_short_garbage_reports_the_read_not_the_magic(tmp_path):
    path = tmp_path / "garbage.bin"
    path.write_bytes(b"not a pulse file")
    assert open_error(str(path)) == FILL


@pytest.mark.parametrize("name", ["missing.bin", "no/such/dir/pulses.bin"])
def test_missing_file(tmp_path, name):
    assert open_error(str(tmp_path / name)) == "No such file or directory (os error 2)"


def test_directory_instead_of_file(tmp_path):
    assert open_error(str(tmp_path)) == "Is a directory (os error 21)"


def test_empty_file_name():
    assert open_error("") == "No such file or directory (os error 2)"


@pytest.mark.parametrize(
    "fields",
    [
        {"aperture_count": 3},  # one entry more than the file holds
        {"aperture_count": 2**32},
        {"aperture_count": 2**40},
        {"aperture_count": 2**63},
        {"aperture_count": 2**64 - 1},  # 12 times this does not fit 64 bits
        {"metadata_length": 100_000},
        {"metadata_length": 2**32 - 1},
        {"index_offset": 2**40},
    ],
    ids=str,
)
def test_absurd_sizes_fail_as_short_reads(make_file, fields):
    # Never a MemoryError: a size the file cannot hold ends as a short read.
    assert open_error(make_file(sample_file(**fields))) == FILL


def test_index_offset_at_end_of_file(make_file):
    data = sample_file().to_bytes()
    assert open_error(make_file(sample_file(index_offset=len(data)))) == FILL


# --------------------------------------------------------------------------- metadata

_PREFIX = b'{"fps":100,"duration":1,"s":"'


@pytest.mark.parametrize(
    ("metadata", "description"),
    [
        (b'{"a":\xff}', "invalid utf-8 sequence of 1 bytes from index 5"),
        (b"\x80{}", "invalid utf-8 sequence of 1 bytes from index 0"),
        (_PREFIX + b"\xc0\x80", f"invalid utf-8 sequence of 1 bytes from index {len(_PREFIX)}"),  # overlong
        (_PREFIX + b"\xed\xa0\x80", f"invalid utf-8 sequence of 1 bytes from index {len(_PREFIX)}"),  # surrogate
        (_PREFIX + b"\xf5\x80\x80\x80", f"invalid utf-8 sequence of 1 bytes from index {len(_PREFIX)}"),
        (_PREFIX + b'\xe2\x82A"}', f"invalid utf-8 sequence of 2 bytes from index {len(_PREFIX)}"),
        (_PREFIX + b'\xf0\x9f\x98A"}', f"invalid utf-8 sequence of 3 bytes from index {len(_PREFIX)}"),
        (_PREFIX + b"\xe2\x82", f"incomplete utf-8 byte sequence from index {len(_PREFIX)}"),
        (_PREFIX + b"\xf0\x9f\x98", f"incomplete utf-8 byte sequence from index {len(_PREFIX)}"),
        (b"\xc3", "incomplete utf-8 byte sequence from index 0"),
    ],
)
def test_metadata_not_utf8(make_file, metadata, description):
    # Also a bad index magic: the UTF-8 check comes first.
    path = make_file(sample_file(metadata=metadata, index_magic=b"XXXXXXXX"))
    assert open_error(path) == "Failed to parse metadata as UTF-8: " + description


def test_multibyte_utf8_metadata_is_accepted(make_file):
    metadata = metadata_with(unit="µs", note="\u2603 \U0001f600")
    with PulseReader(make_file(sample_file(metadata=metadata))) as reader:
        assert reader.metadata["unit"] == "µs"
        assert reader.metadata["note"] == "\u2603 \U0001f600"


@pytest.mark.parametrize(
    "metadata",
    [b"", b"{", b"not json", b'{"fps":100,"duration":1,}', b'{"fps":100,"duration":1} x',
     b"{'fps':100}", b'{"fps":NaN,"duration":1}', b'{"fps":100 "duration":1}'],
)
def test_metadata_not_json(make_file, metadata):
    message = open_error(make_file(sample_file(metadata=metadata, index_magic=b"XXXXXXXX")))
    assert message.startswith("Failed to parse metadata JSON: ")
    assert len(message) > len("Failed to parse metadata JSON: ")


@pytest.mark.parametrize(
    "metadata",
    [
        metadata_with(fps=None),
        metadata_with(fps="100"),
        metadata_with(fps=None, FPS=100),
        metadata_with(fps=[100]),
        metadata_with(fps={"value": 100}),
        metadata_with(fps=True),
        '{"fps":null,"duration":1}',
        "[100, 12.3]",
        '[{"fps":100}]',
        "100",
        '"fps"',
        "null",
        '{"nested":{"fps":100},"duration":1}',
    ],
    ids=str,
)
def test_missing_or_invalid_fps(make_file, metadata):
    # fps is settled before the index is looked at, so the bad index magic stays unseen.
    assert open_error(make_file(sample_file(metadata=metadata, index_magic=b"XXXXXXXX"))) == MISSING_FPS


@pytest.mark.parametrize("fps", [100, 29.97, 0, -5, 1e10, 2**64 - 1, -(2**63), 1e300])
def test_numeric_fps_is_accepted(make_file, fps):
    with PulseReader(make_file(sample_file(metadata=metadata_with(fps=fps)))) as reader:
        assert reader.apertures == [3, 7]


@pytest.mark.parametrize(
    "fields",
    [
        {"index_magic": b"$INDX$\n\r"},
        {"index_magic": b"\0" * 8},
        {"index_magic": b"$indx$\r\n"},
        {"index_offset": METADATA_OFFSET},  # points at the metadata
    ],
    ids=str,
)
def test_index_magic_mismatch(make_file, fields):
    assert open_error(make_file(sample_file(**fields))) == "Index magic number mismatch"


def test_index_offset_pointing_at_a_block(make_file):
    pulse_file = sample_file()
    pulse_file.index_offset = pulse_file.block_locations()[1]
    assert open_error(make_file(pulse_file)) == "Index magic number mismatch"


@pytest.mark.parametrize(
    ("pulse_caller", "trimmed"),
    [
        ({"options": ["trim_boundary_frames"]}, True),
        ({"options": ["other", 1, None, "trim_boundary_frames"]}, True),
        ({"options": ["Trim_boundary_frames"]}, False),
        ({"options": ["trim_boundary_frames "]}, False),
        ({"options": "trim_boundary_frames"}, False),
        ({"options": [["trim_boundary_frames"]]}, False),
        ({"options": {"trim_boundary_frames": True}}, False),
        ({"options": []}, False),
        ({"Options": ["trim_boundary_frames"]}, False),
        ({}, False),
        ([{"options": ["trim_boundary_frames"]}], False),
        ("trim_boundary_frames", False),
        (None, False),  # no pulseCaller key at all
    ],
    ids=str,
)
def test_trimmed(make_file, pulse_caller, trimmed):
    with PulseReader(make_file(sample_file(metadata=metadata_with(pulseCaller=pulse_caller)))) as reader:
        assert reader.trimmed is trimmed


def test_trimmed_option_nested_deeper_is_ignored(make_file):
    metadata = metadata_with(pulseCaller=None, run={"pulseCaller": {"options": ["trim_boundary_frames"]}})
    with PulseReader(make_file(sample_file(metadata=metadata))) as reader:
        assert reader.trimmed is False


# --------------------------------------------------------------------------- index


def test_lookups_between_and_outside_the_entries(make_file):
    pulse_file = sample_file()
    locations = pulse_file.block_locations()
    with PulseReader(make_file(pulse_file)) as reader:
        assert reader.apertures == [3, 7]
        for number, location, x in [(3, locations[0], 1), (7, locations[1], 5)]:
            attrs = reader.get_all_records(number).attrs
            assert (attrs["aperture_byteloc"], attrs["aperture_x"]) == (location, x)
        for missing in [5, 2, 8, 0, 4, 6, 2**32 + 3, 2**64 - 1]:
            assert lookup_error(reader, missing) == LOOKUP + str(missing)
        # A failed lookup leaves the reader usable.
        assert len(reader.get_all_records(7)) == 1


def test_location_zero_marks_an_aperture_absent(make_file):
    pulse_file = PulseFile(apertures=[Aperture(3, x=30), Aperture(5, x=50), Aperture(7, x=70)])
    locations = pulse_file.block_locations()
    pulse_file.index_entries = [(3, 0), (5, locations[1]), (6, 0), (7, locations[2])]
    with PulseReader(make_file(pulse_file)) as reader:
        assert reader.apertures == [3, 5, 6, 7]
        assert reader.get_all_records(5).attrs["aperture_x"] == 50
        assert reader.get_all_records(7).attrs["aperture_x"] == 70
        for absent in [3, 6]:
            assert lookup_error(reader, absent) == LOOKUP + str(absent)


@pytest.mark.parametrize(
    "numbers",
    [[4, 4], [2, 4, 4, 9], [0, 7, 7, 4_000_000_000]],  # the last one is sparse
    ids=str,
)
def test_duplicate_entries_later_wins(make_file, numbers):
    apertures = [Aperture(n, [pulse(1, 1)] * i, x=i) for i, n in enumerate(numbers)]
    pulse_file = PulseFile(apertures=apertures)
    locations = pulse_file.block_locations()
    with PulseReader(make_file(pulse_file)) as reader:
        assert reader.apertures == numbers
        for number in set(numbers):
            last = max(i for i, n in enumerate(numbers) if n == number)
            frame = reader.get_all_records(number)
            assert frame.attrs["aperture_x"] == last
            assert frame.attrs["aperture_byteloc"] == locations[last]
            assert len(frame) == last


def test_index_without_entries(make_file):
    with PulseReader(make_file()) as reader:
        assert reader.apertures == []
        for missing in [0, 1, 2**64 - 1]:
            assert lookup_error(reader, missing) == LOOKUP + str(missing)


@pytest.mark.parametrize("numbers", [[7, 3], [3, 7, 5], [1, 2, 3, 0], [0, 100, 5]], ids=str)
def test_descending_entries_are_refused(make_file, numbers):
    message = open_error(make_file(*[Aperture(n) for n in numbers]))
    assert "ascending" in message


def test_sparse_index(make_file):
    numbers = [0, 17, 4_000_000_000, 4_294_967_295]
    pulse_file = PulseFile(apertures=[Aperture(n, [pulse(1, 1)] * (i + 1), x=i) for i, n in enumerate(numbers)])
    locations = pulse_file.block_locations()
    with PulseReader(make_file(pulse_file)) as reader:
        assert reader.apertures == numbers
        for i, number in enumerate(numbers):
            frame = reader.get_all_records(number)
            assert (frame.attrs["aperture_x"], frame.attrs["aperture_byteloc"], len(frame)) == (i, locations[i], i + 1)
        for missing in [1, 16, 18, 3_999_999_999, 4_000_000_001, 4_294_967_296, 2**64 - 1]:
            assert lookup_error(reader, missing) == LOOKUP + str(missing)
