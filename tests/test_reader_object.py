"""The Python PulseReader object and the module around it: construction and its argument
handling, the base attributes of every frame, the properties, closing and the context
manager, concurrent use from two threads, signatures and docstrings."""

from __future__ import annotations

import collections
import inspect
import json
import re
import sys
import threading
import time

import numpy as np
import pandas  # noqa: F401  (imported up front so that its files are not counted as leaks)
import pytest

import zyn_pulse_reader
from conftest import metadata_with, open_fds
from pulsefile import Aperture, background, pulse
from zyn_pulse_reader import PulseFilter, PulseReader

pytestmark = pytest.mark.usefixtures("no_fd_leak")

CLOSED = "PulseReader cannot be used after the pulse file has been closed!"
CONFLICT = "Cannot provide both a PulseFilter object and keyword arguments for the filter!"
MISSING_DURATION = "Missing or invalid 'duration' field in metadata"
U64_MAX = 2**64 - 1


@pytest.fixture
def path(make_file):
    return make_file(Aperture(3, [pulse(10, 5), background(7), pulse(3, 4)], x=11, y=12), Aperture(8))


@pytest.fixture
def reader(path):
    reader = PulseReader(path)
    yield reader
    reader.close()


# --------------------------------------------------------------------------- base attributes


def expected_attrs(fps, duration) -> tuple[float, int, float]:
    """frame_dur_s, run_dur_f and run_dur_s worked out with NumPy's single precision: 1/fps,
    ceil(fps * duration) saturated to the u64 range, and the duration itself."""
    with np.errstate(all="ignore"):
        f, d = np.float32(float(fps)), np.float32(float(duration))
        frame_dur = float(np.float32(1) / f)
        product = float(np.ceil(f * d))
    if not product > 0:  # negative, zero or NaN
        run_f = 0
    elif product >= 2.0**64:
        run_f = U64_MAX
    else:
        run_f = int(product)
    return frame_dur, run_f, float(d)


def test_attrs_of_a_typical_run(make_file):
    path = make_file(Aperture(0), metadata=metadata_with(fps=100, duration=12.345))
    with PulseReader(path) as reader:
        frame = reader.get_all_records(0)
    assert list(frame.attrs) == [
        "aperture_index", "aperture_x", "aperture_y", "aperture_byteloc",
        "source", "analysis_id", "frame_dur_s", "run_dur_f", "run_dur_s",
    ]
    attrs = frame.attrs
    assert attrs["source"] == "pulses.bin"
    assert attrs["frame_dur_s"] == 0.009999999776482582
    assert attrs["run_dur_f"] == 1235
    assert attrs["run_dur_s"] == 12.345000267028809
    assert [type(v) for v in attrs.values()] == [int, int, int, int, str, str, float, int, float]


@pytest.mark.parametrize(
    ("fps", "duration"),
    [
        (29.97, 60),
        (1, 0),
        (100, -5),  # negative runs saturate at 0
        (-100, 5),
        (0, 10),  # 1/0 is infinite, 0 * 10 is 0
        (0, 1e300),  # 0 * inf is NaN, which saturates at 0
        (3, 1e30),  # beyond 2**64 saturates at its maximum
        (1000, 1e300),
        (2**32, 2**32),  # exactly 2**64 in single precision
        (2**32, 2**32 - 256),  # the largest single-precision value below 2**64
        (2**64 - 1, 1),
        (7, 2**63),
        (60, 0.1),
    ],
    ids=str,
)
def test_attrs_single_precision_and_saturation(make_file, fps, duration):
    path = make_file(Aperture(0), metadata=metadata_with(fps=fps, duration=duration))
    with PulseReader(path) as reader:
        attrs = reader.get_all_records(0).attrs
    frame_dur, run_f, run_s = expected_attrs(fps, duration)
    assert (attrs["frame_dur_s"], attrs["run_dur_f"], attrs["run_dur_s"]) == (frame_dur, run_f, run_s)


def test_attrs_of_pulses_and_independent_copies(reader):
    first = reader.get_pulses(3)
    assert list(first.attrs)[:4] == ["aperture_index", "aperture_x", "aperture_y", "aperture_byteloc"]
    assert (first.attrs["aperture_index"], first.attrs["aperture_x"], first.attrs["aperture_y"]) == (3, 11, 12)
    first.attrs["source"] = "changed"
    first.attrs["run_dur_f"] = -1
    second = reader.get_all_records(3)
    assert second.attrs["source"] == "pulses.bin"
    assert second.attrs["run_dur_f"] == expected_attrs(100, 12.345)[1]


@pytest.mark.parametrize(
    ("name", "analysis_id"),
    [
        ("dir/stem.pulses.bin", "dir/stem"),
        ("dir//stem.pulses.bin", "dir//stem"),
        ("stem.pulses.bin", "stem"),
        ("./x.bin", ""),
        ("noext", "noext"),
        ("run/noext", "run/noext"),
        ("a.b.c", "a"),
        ("d.d/file.bin", "d"),
    ],
)
def test_analysis_id(make_file, tmp_path, monkeypatch, name, analysis_id):
    make_file(Aperture(0), name=name)
    monkeypatch.chdir(tmp_path)
    with PulseReader(name) as reader:
        attrs = reader.get_all_records(0).attrs
    assert attrs["analysis_id"] == analysis_id
    assert attrs["source"] == "pulses.bin"


@pytest.mark.parametrize(
    "metadata",
    [
        metadata_with(duration=None),
        metadata_with(duration="12.345"),
        metadata_with(duration=[12.345]),
        metadata_with(duration={"value": 12.345}),
        metadata_with(duration=True),
        '{"fps": 100, "duration": null}',
    ],
    ids=["missing", "string", "array", "object", "bool", "null"],
)
def test_missing_or_invalid_duration(make_file, metadata):
    with pytest.raises(RuntimeError) as info:
        PulseReader(make_file(Aperture(0), metadata=metadata))
    assert str(info.value) == MISSING_DURATION


# --------------------------------------------------------------------------- construction order and arguments


@pytest.mark.parametrize(
    ("file", "kwargs", "exception", "message"),
    [
        # The file is opened before the filter arguments are compared...
        ("missing", {"pulse_filter": PulseFilter(), "pulse_filter_kwargs": {}}, RuntimeError,
         "No such file or directory (os error 2)"),
        ("bad-magic", {"pulse_filter": PulseFilter(), "pulse_filter_kwargs": {}}, RuntimeError,
         "Pulse file header is invalid!"),
        # ...they are compared before the keywords are converted...
        ("no-duration", {"pulse_filter": PulseFilter(), "pulse_filter_kwargs": {"min_dur_f": -1}}, RuntimeError,
         CONFLICT),
        # ...which happens before the duration is read.
        ("no-duration", {"pulse_filter_kwargs": {"min_dur_f": -1}}, OverflowError,
         "out of range integral type conversion attempted"),
        ("no-duration", {"pulse_filter_kwargs": {"min_dur_f": 1}}, RuntimeError, MISSING_DURATION),
        # Arguments are converted before anything is opened.
        ("missing", {"pulse_filter": 5}, TypeError,
         "argument 'pulse_filter': 'int' object cannot be converted to 'PulseFilter'"),
        ("missing", {"pulse_filter_kwargs": [1]}, TypeError,
         "argument 'pulse_filter_kwargs': 'list' object cannot be converted to 'PyDict'"),
        # An empty dict counts as given.
        ("good", {"pulse_filter": PulseFilter(), "pulse_filter_kwargs": {}}, RuntimeError, CONFLICT),
        ("good", {"pulse_filter": PulseFilter(min_snr=1), "pulse_filter_kwargs": collections.OrderedDict()},
         RuntimeError, CONFLICT),
    ],
)
def test_construction_failures_in_order(make_file, tmp_path, file, kwargs, exception, message):
    paths = {
        "missing": str(tmp_path / "missing.bin"),
        "bad-magic": make_file(Aperture(0), name="bad-magic.bin", magic=b"XXXX"),
        "no-duration": make_file(Aperture(0), name="no-duration.bin", metadata=metadata_with(duration=None)),
        "good": make_file(Aperture(0), name="good.bin"),
    }
    with pytest.raises(exception) as info:
        PulseReader(paths[file], **kwargs)
    assert type(info.value) is exception
    assert str(info.value) == message


@pytest.mark.parametrize(
    ("value", "type_name"),
    [(5, "int"), (None, "NoneType"), (b"pulses.bin", "bytes"), (["pulses.bin"], "list")],
)
def test_file_name_must_be_str(value, type_name):
    with pytest.raises(TypeError) as info:
        PulseReader(value)
    assert str(info.value) == f"argument 'file_name': '{type_name}' object cannot be converted to 'PyString'"


@pytest.mark.parametrize(
    ("args", "kwargs"),
    [
        ((), {}),
        ((), {"pulse_filter": None}),
        (("{path}",), {"foo": 1}),
        (("{path}", None, None, None), {}),
        (("{path}",), {"file_name": "{path}"}),
        (("{path}",), {"pulse_filter": PulseFilter(), "pulse_filter_kwarg": {}}),
    ],
    ids=["nothing", "no-file-name", "unknown-keyword", "surplus", "duplicate", "misspelled"],
)
def test_binding_errors(path, args, kwargs):
    fill = lambda v: path if v == "{path}" else v  # noqa: E731
    with pytest.raises(TypeError):
        PulseReader(*map(fill, args), **{k: fill(v) for k, v in kwargs.items()})


@pytest.mark.parametrize(
    ("args", "kwargs"),
    [
        ((), {}),
        ((None, None), {}),
        ((PulseFilter(),), {}),
        ((None, {}), {}),
        ((), {"pulse_filter_kwargs": collections.OrderedDict(min_snr=1)}),
        ((), {"pulse_filter": None, "pulse_filter_kwargs": {"min_snr": 1}}),
        ((), {"pulse_filter": PulseFilter(), "pulse_filter_kwargs": None}),
    ],
    ids=["none", "explicit-nones", "positional-filter", "positional-kwargs", "dict-subclass", "none-and-kwargs",
         "filter-and-none"],
)
def test_accepted_filter_arguments(path, args, kwargs):
    with PulseReader(path, *args, **kwargs) as reader:
        assert reader.apertures == [3, 8]


def test_keyword_file_name(path):
    with PulseReader(file_name=path) as reader:
        assert reader.apertures == [3, 8]


def test_subclass_construction(path):
    class Sub(PulseReader):
        pass

    with Sub(path) as reader:
        assert type(reader) is Sub
        assert reader.apertures == [3, 8]


# --------------------------------------------------------------------------- properties and lifecycle


def test_properties(reader):
    first, second = reader.apertures, reader.apertures
    assert first == second == [3, 8]
    assert first is not second
    assert all(type(number) is int for number in first)
    first.append(99)
    assert reader.apertures == [3, 8]
    assert reader.trimmed is True
    assert reader.metadata is reader.metadata


@pytest.mark.parametrize("name", ["apertures", "metadata", "trimmed"])
def test_properties_are_read_only(reader, name):
    with pytest.raises(AttributeError):
        setattr(reader, name, None)


def test_metadata_keeps_document_order_and_is_shared(make_file):
    text = ('{"zeta": 1, "fps": 100, "duration": 2.5, "alpha": {"b": [1, 2.5, null, true], "a": "x"},'
            ' "big": 18446744073709551615, "neg": -9223372036854775808}')
    with PulseReader(make_file(Aperture(0), metadata=text)) as reader:
        metadata = reader.metadata
        assert metadata == json.loads(text)
        assert list(metadata) == ["zeta", "fps", "duration", "alpha", "big", "neg"]
        assert list(metadata["alpha"]) == ["b", "a"]
        metadata["added"] = [1]
        assert reader.metadata["added"] == [1]
    assert reader.metadata is metadata  # still there after closing


CLOSED_CALLS = {
    "apertures": lambda r, d: r.apertures,
    "trimmed": lambda r, d: r.trimmed,
    "get_all_records": lambda r, d: r.get_all_records(3),
    "get_pulses": lambda r, d: r.get_pulses(3),
    "get_pulses-filtered": lambda r, d: r.get_pulses(3, pulse_filter=PulseFilter(min_snr=1)),
    "copy_apertures_to_new_file": lambda r, d: r.copy_apertures_to_new_file([3], str(d / "copy.bin")),
}


@pytest.mark.parametrize("call", CLOSED_CALLS.values(), ids=list(CLOSED_CALLS))
@pytest.mark.parametrize("how", ["close", "with", "exit"])
def test_closed_reader(path, tmp_path, call, how):
    reader = PulseReader(path)
    metadata = reader.metadata
    if how == "close":
        assert reader.close() is None
    elif how == "exit":
        assert reader.__exit__(None, None, None) is None
    else:
        with reader:
            pass
    with pytest.raises(RuntimeError) as info:
        call(reader, tmp_path)
    assert str(info.value) == CLOSED
    assert reader.metadata is metadata
    # Closing again, entering and leaving again are harmless.
    assert reader.close() is None
    assert reader.__enter__() is reader
    assert reader.__exit__(1, 2, 3) is None


def test_with_block(path):
    reader = PulseReader(path)
    with reader as bound:
        assert bound is reader
        assert bound.apertures == [3, 8]
    with pytest.raises(RuntimeError, match=re.escape(CLOSED)):
        reader.apertures


def test_exception_in_with_block_propagates_after_closing(path):
    with pytest.raises(KeyError, match="boom"):
        with PulseReader(path) as reader:
            raise KeyError("boom")
    with pytest.raises(RuntimeError, match=re.escape(CLOSED)):
        reader.get_all_records(3)


def test_exit_arguments(reader):
    for args in [(), (None,), (None, None), (None, None, None, None)]:
        with pytest.raises(TypeError):
            reader.__exit__(*args)
    assert reader.apertures == [3, 8]  # refused calls did not close it
    assert reader.__exit__(_exc_type=ValueError, _exc_value=ValueError("x"), _traceback=None) is None
    with pytest.raises(RuntimeError, match=re.escape(CLOSED)):
        reader.trimmed


def test_file_open_exactly_while_reader_exists(path):
    baseline = len(open_fds())
    reader = PulseReader(path)
    assert len(open_fds()) == baseline + 1
    reader.get_pulses(3)
    reader.get_all_records(3)
    assert len(open_fds()) == baseline + 1
    reader.close()
    assert len(open_fds()) == baseline
    # Dropping an open reader closes its file too.
    reader = PulseReader(path)
    assert len(open_fds()) == baseline + 1
    del reader
    assert len(open_fds()) == baseline


# --------------------------------------------------------------------------- two threads, one reader


def test_concurrent_use_fails_at_once(make_file, tmp_path):
    # Many records make each query spend a while in the core with the interpreter lock released.
    count = 2_000_000
    path = make_file(Aperture(0, [background(1)] * count + [pulse(5, 3)]))
    reader = PulseReader(path)
    stop = threading.Event()
    outcome = {"queries": 0, "error": None}

    def query_until_stopped():
        try:
            while not stop.is_set():
                frame = reader.get_pulses(0)
                assert frame.index.tolist() == [count]
                assert frame["start_f"].tolist() == [count + 5]
                outcome["queries"] += 1
        except BaseException as error:  # reported by the main thread
            outcome["error"] = error

    def refused(call, message):
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == message

    worker = threading.Thread(target=query_until_stopped)
    switch_interval = sys.getswitchinterval()
    # With a long switch interval this thread gives up the interpreter lock only when it sleeps,
    # so once a query is seen running it cannot finish before the checks below are done.
    sys.setswitchinterval(100.0)
    try:
        worker.start()
        deadline = time.monotonic() + 120
        while True:
            try:
                reader.apertures
            except RuntimeError as busy:
                assert str(busy) == "Already mutably borrowed"
                break
            assert outcome["error"] is None
            assert worker.is_alive() and time.monotonic() < deadline, "the query was never seen running"
            time.sleep(0.001)
        refused(reader.close, "Already borrowed")
        refused(lambda: reader.__exit__(None, None, None), "Already borrowed")
        refused(lambda: reader.get_all_records(0), "Already borrowed")
        refused(lambda: reader.get_pulses(0), "Already borrowed")
        refused(lambda: reader.copy_apertures_to_new_file([0], str(tmp_path / "copy.bin")), "Already borrowed")
        refused(lambda: reader.trimmed, "Already mutably borrowed")
        refused(lambda: reader.metadata, "Already mutably borrowed")
        refused(reader.__enter__, "Already mutably borrowed")
    finally:
        sys.setswitchinterval(switch_interval)
        stop.set()
        worker.join()
    assert outcome["error"] is None
    assert outcome["queries"] >= 1
    # The refused calls changed nothing: the reader is still open and usable.
    assert reader.apertures == [0]
    assert reader.close() is None


# --------------------------------------------------------------------------- module, signatures, docstrings


def test_module_members():
    assert zyn_pulse_reader.__all__ == ["merge_pulse_files", "PulseReader", "PulseFilter"]
    assert type(zyn_pulse_reader.__all__) is list
    assert not zyn_pulse_reader.__doc__
    assert callable(zyn_pulse_reader.merge_pulse_files)
    assert isinstance(PulseReader, type) and isinstance(PulseFilter, type)


def test_panic_exception_is_not_an_exception():
    from zyn_pulse_reader import PanicException

    assert issubclass(PanicException, BaseException)
    assert not issubclass(PanicException, Exception)


@pytest.mark.parametrize(
    ("member", "signature"),
    [
        ("__new__", "(file_name, pulse_filter=None, pulse_filter_kwargs=None)"),
        ("get_all_records", "($self, aperture_index)"),
        ("get_pulses", "($self, aperture_index, include_aperture_index=True, pulse_filter=None, pulse_filter_kwargs=None)"),
        ("copy_apertures_to_new_file", "($self, apertures, file_name, ignore_missing_apertures=False)"),
        ("close", "($self)"),
        ("__enter__", "($self)"),
        ("__exit__", "($self, _exc_type, _exc_value, _traceback)"),
    ],
)
def test_text_signatures(member, signature):
    if member == "__new__":
        assert PulseReader.__text_signature__ == signature
        assert str(inspect.signature(PulseReader)) == signature
    else:
        method = getattr(PulseReader, member)
        assert method.__text_signature__ == signature
        # "$self" makes self positional-only.
        assert str(inspect.signature(method)) == signature.replace("($self", "(self, /")


def test_short_docstrings():
    assert PulseReader.__doc__ == "Pulses.bin reader"
    assert PulseReader.close.__doc__ == "Close the pulses.bin file"
    for member in ["__enter__", "__exit__"]:
        assert not getattr(PulseReader, member).__doc__
    for prop in ["apertures", "metadata", "trimmed"]:
        assert not PulseReader.__dict__[prop].__doc__


EXAMPLE = [
    r"from zyn_pulse_reader import PulseReader",
    r"pulse_reader = PulseReader\(\s*(\"path/to/pulses\.bin\"|'path/to/pulses\.bin')\s*\)",
]

QUERY_DOCSTRINGS = {
    "get_all_records": [
        "Get all formatted pulse records for a specific aperture index",
        "",
        "# Arguments",
        "* `aperture_index` - The index of the aperture to get the formatted pulse records for",
        "",
        "# Returns",
        "A pandas DataFrame containing the formatted pulse records for the specified aperture index",
        "",
        "# Examples",
        "```python",
        *EXAMPLE,
        r"formatted_pulses = pulse_reader\.get_all_records\(0\)",
        "```",
    ],
    "get_pulses": [
        "Get the pulse records for a specific aperture index",
        "",
        "# Arguments",
        "* `aperture_index` - The index of the aperture to get the pulse records for",
        "* `include_aperture_index` - Whether to include the aperture index in the DataFrame",
        "# * `pulse_filter_kwargs` - Optional keyword arguments for the pulse filter",
        " (e.g., min_dur_f, min_dur_s, max_dur_s, min_snr, min_intensity, etc.)",
        " See the PulseFilter class for more details.",
        "",
        "# Returns",
        "A pandas DataFrame containing the pulse records for the specified aperture index.",
        "The index of each pulse corresponds to the position of that pulses's record in the",
        "full set of records for the specified aperture, including non-pulse records.",
        "",
        "# Examples",
        "```python",
        *EXAMPLE,
        r"pulses = pulse_reader\.get_pulses\(0\)",
        "```",
    ],
}


@pytest.mark.parametrize("method", list(QUERY_DOCSTRINGS))
def test_query_docstrings(method):
    lines = getattr(PulseReader, method).__doc__.split("\n")
    expected = QUERY_DOCSTRINGS[method]
    assert len(lines) == len(expected)  # also: no line feed after the last line
    example_start = expected.index("```python") + 1
    for number, (line, want) in enumerate(zip(lines, expected)):
        if example_start <= number < example_start + 3:
            assert re.fullmatch(want, line.strip()), (number, line)
        else:
            assert line == want, number
