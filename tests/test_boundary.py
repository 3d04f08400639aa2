"""Property-based test of the module's boundary: damaged files and unusual arguments through
every public call.

Each case is a pulse file (valid, or damaged by truncation, byte flips in any region, absurd
header fields and record counts, broken UTF-8 or JSON in the metadata) and a list of calls
with arguments of every kind (negative, huge, float, bool, NumPy integers, None, wrong
containers, arrays and pandas objects, unknown filter keys, filter values of every type, file
names as str and os.PathLike, including names that are not valid UTF-8). Every call must
return or raise a documented exception whose message is non-empty valid text.

"Valid text" is precise: the message encodes as UTF-8 with errors="strict" once the names
of the case's files, as os.fsdecode gives them, are taken out of it. So bytes quoted from a
file must arrive as U+FFFD, while a quoted file name shows the surrogate escapes Python uses
for bytes that are not UTF-8.

The cases run in a child interpreter (tests/boundary_worker.py) that takes them one after
another over a pipe: a crash fails the case and the next case starts a new child.
ZYN_PULSE_BOUNDARY_EXAMPLES sets the number of cases (default 400, well under a minute; a
long run takes tens of thousands).
"""

from __future__ import annotations

import json
import os
import pickle
import select
import struct
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

from boundary_worker import Call, Case, FileRef, FilterRef, read_frame, write_frame
from pulsefile import DEFAULT_METADATA, Aperture, PulseFile, pulse, record

EXAMPLES = int(os.environ.get("ZYN_PULSE_BOUNDARY_EXAMPLES", "400"))
CASE_TIMEOUT_S = 120
HERE = Path(__file__).resolve().parent

# --------------------------------------------------------------------------- values

INT_TYPES = [np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16, np.uint32, np.uint64]
numpy_ints = st.sampled_from(INT_TYPES).flatmap(
    lambda t: st.integers(int(np.iinfo(t).min), int(np.iinfo(t).max)).map(t)
)
small_numbers = st.integers(0, 6)  # mostly apertures the files hold
scalars = st.one_of(
    small_numbers,
    st.integers(-(2**70), 2**70),
    st.floats(),
    st.booleans(),
    st.none(),
    numpy_ints,
    st.sampled_from([np.bool_(True), np.float32(2.5), np.float64("nan"), complex(1, 2)]),
    st.text(max_size=4),
    st.binary(max_size=4),
)
number_lists = st.lists(st.one_of(small_numbers, scalars), max_size=5)
valid_lists = st.lists(small_numbers, max_size=5)
aperture_lists = st.one_of(
    st.none(),
    valid_lists,
    valid_lists,
    number_lists,
    number_lists.map(tuple),
    st.lists(small_numbers, max_size=5).map(set),
    st.tuples(st.sampled_from(INT_TYPES + [np.float64, np.bool_]), st.lists(small_numbers, max_size=5)).map(
        lambda p: np.array(p[1], dtype=p[0])
    ),
    st.lists(small_numbers, max_size=5).map(lambda v: np.array(v, dtype=np.int64).reshape(-1, 1)),
    st.lists(small_numbers, max_size=5).map(pd.Index),
    st.lists(small_numbers, max_size=5).map(lambda v: pd.Series(v, dtype="uint32")),
    st.dictionaries(small_numbers, small_numbers, max_size=3),
    st.text(max_size=3),
    scalars,
)
FILTER_KEYS = ["min_dur_f", "min_dur_s", "max_dur_s", "min_snr", "min_intensity", "min_binratio",
               "max_binratio", "start_m", "end_m", "mask_s", "recalc_ipd"]
filter_values = st.one_of(scalars, st.tuples(scalars, scalars), st.tuples(scalars), st.lists(scalars, max_size=3))
filter_kwargs = st.dictionaries(
    st.one_of(st.sampled_from(FILTER_KEYS + ["min_snrr", "mask", "\udcff", "min_snr\ud800"]), st.text(max_size=4)),
    filter_values,
    max_size=4,
)
filter_objects = filter_kwargs.map(FilterRef)
batch_sizes = st.one_of(st.integers(-2, 40), scalars)
bools = st.one_of(st.booleans(), st.sampled_from([np.bool_(False), 0, 1, None, "yes"]))

roles = st.sampled_from(["input", "input", "strip", "missing", "output"])
forms = st.sampled_from(["str", "path", "bytes_path", "bytes"])
opening_forms = st.sampled_from(["str", "path", "bytes_path"])  # the forms that name a file
file_refs = st.builds(FileRef, roles, forms)
output_refs = st.builds(FileRef, st.sampled_from(["output", "output", "input", "strip"]), forms)
file_names = st.one_of(file_refs, file_refs, scalars)


def optional(**strategies: st.SearchStrategy[Any]) -> st.SearchStrategy[dict[str, Any]]:
    """Keyword arguments, each present or left out."""
    return st.fixed_dictionaries({}, optional=strategies)


filter_arguments = st.one_of(
    st.just({}),
    optional(pulse_filter=st.one_of(filter_objects, scalars), pulse_filter_kwargs=st.one_of(filter_kwargs, scalars)),
)


def with_filter(**keywords: st.SearchStrategy[Any]) -> st.SearchStrategy[dict[str, Any]]:
    """Optional keyword arguments plus the filter arguments."""
    return st.tuples(optional(**keywords), filter_arguments).map(lambda pair: {**pair[0], **pair[1]})


def call(target: str, first: st.SearchStrategy[Any] | None, required: dict[str, st.SearchStrategy[Any]] | None = None,
         **keywords: st.SearchStrategy[Any]) -> st.SearchStrategy[Call]:
    """A call whose first argument is given by position, the rest by keyword: the required
    ones always, the others when drawn."""
    args = st.just(()) if first is None else first.map(lambda value: (value,))
    return st.builds(Call, st.just(target), args, st.fixed_dictionaries(required or {}, optional=keywords))


reader_calls = st.one_of(
    call("reader.get_all_records", st.one_of(small_numbers, scalars)),
    st.builds(Call, st.just("reader.get_pulses"), st.one_of(small_numbers, scalars).map(lambda v: (v,)),
              with_filter(include_aperture_index=bools)),
    st.builds(Call, st.just("reader.get_pulses_many"), st.just(()), with_filter(apertures=aperture_lists)),
    st.builds(Call, st.just("reader.get_all_records_many"), st.just(()), optional(apertures=aperture_lists)),
    st.builds(Call, st.just("reader.summary"), st.just(()), with_filter(apertures=aperture_lists)),
    st.builds(Call, st.just("reader.record_kinds"), st.just(()), optional(apertures=aperture_lists)),
    st.builds(Call, st.just("reader.iter_pulses"), st.just(()),
              with_filter(apertures=aperture_lists, batch_records=batch_sizes)),
    st.builds(Call, st.just("reader.iter_all_records"), st.just(()),
              optional(apertures=aperture_lists, batch_records=batch_sizes)),
    st.just(Call("next")),
    st.just(Call("next")),
    call("reader.copy_apertures_to_new_file", aperture_lists, {"file_name": output_refs},
         ignore_missing_apertures=bools),
    st.builds(Call, st.just("reader.__exit__"), st.tuples(scalars, scalars, scalars)),
    st.sampled_from([Call(f"reader.{name}")
                     for name in ("close", "__repr__", "apertures", "metadata", "trimmed", "__enter__")]),
)
module_calls = st.one_of(
    st.builds(Call, st.just("PulseReader"), file_names.map(lambda v: (v,)), filter_arguments),
    call("merge_pulse_files", st.one_of(st.lists(file_names, max_size=3), file_names), {"new_file_name": output_refs}),
    call("merge_pulse_files", st.lists(st.builds(FileRef, st.sampled_from(["input", "strip"]), opening_forms),
                                       min_size=1, max_size=3),
         {"new_file_name": st.builds(FileRef, st.just("output"), opening_forms)}),
    st.builds(Call, st.just("PulseFilter"), st.just(()), filter_kwargs),
)
# The reader the other calls use, opened by any form of name that may work.
opening_name = st.builds(FileRef, st.just("input"), opening_forms).map(lambda v: (v,))
opening = st.builds(Call, st.just("PulseReader"), opening_name, filter_arguments)
sound_opening = st.builds(Call, st.just("PulseReader"), opening_name, st.just({}))

# --------------------------------------------------------------------------- files

absurd = st.one_of(st.sampled_from([0, 1, 2**31, 2**32 - 1, 2**63, 2**64 - 1]), st.integers(0, 400))
records = st.one_of(
    st.lists(st.integers(0, 0xFFFF), min_size=8, max_size=8).map(lambda words: record(*words)),
    st.tuples(st.integers(1, 9), st.integers(1, 5)).map(lambda p: pulse(*p, 40, 60, 10, 10, 3, 3)),
)
apertures = st.lists(
    st.builds(Aperture, st.integers(0, 5), st.lists(records, max_size=5),
              record_count=st.one_of(st.none(), st.none(), absurd.map(lambda v: v & 0xFFFFFFFF))),
    max_size=4,
    unique_by=lambda a: a.number,
).map(lambda listed: sorted(listed, key=lambda a: a.number))


@st.composite
def metadata_bytes(draw: st.DrawFn, sound: bool) -> bytes:
    document = dict(DEFAULT_METADATA, notes=draw(st.text(max_size=6)))
    if sound:
        return json.dumps(document, ensure_ascii=False).encode()
    for key in draw(st.sampled_from([[], ["fps"], ["duration"], ["rows"], ["cols"], ["validWells"]])):
        document[key] = draw(st.one_of(st.integers(-(2**70), 2**70), st.floats(), st.text(max_size=3), st.none(),
                                       st.just([1])))
    text = json.dumps(document, ensure_ascii=False).encode()
    damage = draw(st.sampled_from(["none", "insert", "stray", "truncate", "replace"]))
    at = draw(st.integers(0, len(text)))
    if damage == "insert":  # broken UTF-8: a lone lead byte, a stray continuation, a surrogate, ...
        piece = draw(st.sampled_from([b"\xc2", b"\xb5", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xff", b"\xe2\x82"]))
        return text[:at] + piece + text[at:]
    if damage == "stray":  # valid UTF-8 but broken JSON: the parser stops inside a character
        return text[:at] + draw(st.sampled_from(["µ", "€", "😀"])).encode() + text[at:]
    if damage == "truncate":
        return text[:at]
    if damage == "replace":
        return draw(st.binary(max_size=40))
    return text


HEADER_FIELDS = [(8, "<Q"), (16, "<I"), (20, "<B"), (21, "<B"), (22, "<H"), (28, "<I"), (32, "<Q"), (40, "<Q")]


@st.composite
def damaged(draw: st.DrawFn, data: bytes, metadata_end: int, index_offset: int) -> bytes:
    raw = bytearray(data)
    regions = [(0, 48), (48, 80), (80, metadata_end), (metadata_end, index_offset), (index_offset, len(raw))]
    for kind in draw(st.lists(st.sampled_from(["flip", "field", "truncate"]), max_size=3)):
        if kind == "flip":
            start, end = draw(st.sampled_from([r for r in regions if r[1] > r[0]]))
            at = draw(st.integers(start, min(end, len(raw)) - 1)) if min(end, len(raw)) > start else None
            if at is not None:
                raw[at] ^= draw(st.integers(1, 255))
        elif kind == "field" and len(raw) >= 48:
            offset, layout = draw(st.sampled_from(HEADER_FIELDS))
            limit = 2 ** (8 * struct.calcsize(layout)) - 1
            value = draw(st.one_of(absurd, st.integers(0, len(raw) + 64))) & limit
            struct.pack_into(layout, raw, offset, value)
        elif kind == "truncate":
            del raw[draw(st.integers(0, len(raw))):]
    return bytes(raw)


@st.composite
def cases(draw: st.DrawFn) -> Case:
    # Half the cases open an intact file by a name that works, so that the calls after the
    # opening reach the reader; the other half may damage anything.
    sound = draw(st.booleans())
    pulse_file = PulseFile(apertures=draw(apertures), metadata=draw(metadata_bytes(sound)),
                           padding=draw(st.sampled_from([0, 8])))
    data = pulse_file.to_bytes()
    if not sound:
        metadata_end = 80 + len(pulse_file.metadata_bytes())
        data = draw(damaged(data, metadata_end, index_offset=len(data) - 8 - 12 * len(pulse_file.apertures)))
    styles = ["ascii", "unicode", "undecodable"] + ([] if sound else ["unencodable", "nul"])
    return Case(
        data=data,
        strip=PulseFile(apertures=[Aperture(0, [pulse(2, 2)])]).to_bytes(),
        name_style=draw(st.sampled_from(styles)),
        calls=[draw(sound_opening if sound else opening)]
        + draw(st.lists(st.one_of(reader_calls, reader_calls, module_calls), min_size=1, max_size=6)),
    )


# --------------------------------------------------------------------------- the child


class Worker:
    """One child interpreter at a time; a new one is started after a crash or a hang."""

    def __init__(self) -> None:
        self.process: subprocess.Popen[bytes] | None = None
        self.stderr: Any = None

    def start(self) -> subprocess.Popen[bytes]:
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [str(HERE), os.environ.get("PYTHONPATH")])))
        self.close_files()
        self.stderr = tempfile.TemporaryFile()
        self.process = subprocess.Popen(
            [sys.executable, "-c", "import boundary_worker; boundary_worker.serve()"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.stderr, env=env,
        )
        return self.process

    def run(self, case: Case) -> dict[str, Any]:
        process = self.process if self.process is not None and self.process.poll() is None else self.start()
        assert process.stdin is not None and process.stdout is not None
        try:
            write_frame(process.stdin, pickle.dumps(case))
            ready, _, _ = select.select([process.stdout], [], [], CASE_TIMEOUT_S)
            frame = read_frame(process.stdout) if ready else None
        except BrokenPipeError:
            frame = None
        if frame is not None:
            return pickle.loads(frame)
        process.kill()
        status = process.wait()
        self.stderr.seek(0)
        detail = self.stderr.read()[-3000:].decode(errors="replace")
        self.close_files()
        self.process = None
        return {"died": f"the child {'hung' if status == -9 else f'died (exit status {status})'}:\n{detail}"}

    def stop(self) -> None:
        if self.process is not None:
            self.process.stdin.close()  # type: ignore[union-attr]
            self.process.wait(timeout=30)
        self.close_files()
        self.process = None

    def close_files(self) -> None:
        """Closes the child's pipes and its error file: left to the garbage collector, they
        would warn (ResourceWarning) in whichever test happens to run then."""
        if self.process is not None:
            for pipe in (self.process.stdin, self.process.stdout):
                if pipe is not None:
                    pipe.close()
        if self.stderr is not None:
            self.stderr.close()
            self.stderr = None


@pytest.fixture(scope="module")
def worker():
    running = Worker()
    yield running
    running.stop()


# --------------------------------------------------------------------------- the rules

DOCUMENTED = {"RuntimeError", "TypeError", "OverflowError"}
TAKES_FILTER = {"PulseReader", "PulseFilter", "reader.get_pulses", "reader.get_pulses_many", "reader.summary",
                "reader.iter_pulses"}
TAKES_BATCH_SIZE = {"reader.iter_pulses", "reader.iter_all_records"}
TAKES_FILE_NAME = {"PulseReader", "merge_pulse_files", "reader.copy_apertures_to_new_file"}


def allowed_types(call: Call, case: Case) -> set[str]:
    allowed = set(DOCUMENTED)
    if call.target in TAKES_FILTER or any(isinstance(v, FilterRef) for v in call.kwargs.values()):
        allowed.add("ValueError")  # a mask_s tuple of another length
    if call.target in TAKES_BATCH_SIZE:
        allowed.add("ValueError")  # batch_records below 1
    if call.target in TAKES_FILE_NAME and case.name_style == "unencodable":
        allowed.add("UnicodeEncodeError")  # as open() raises for a name no bytes can spell
    if call.target == "merge_pulse_files":
        allowed.add("PanicException")  # merge metadata that lacks a member
    return allowed


def is_valid_text(message: str, file_names: list[str]) -> bool:
    for name in file_names:
        message = message.replace(name, "")
    try:
        message.encode("utf-8", errors="strict")
    except UnicodeEncodeError:
        return False
    return True


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck))
@given(case=cases())
def test_every_call_returns_or_raises_a_documented_error(worker, case):
    result = worker.run(case)
    assert "died" not in result, result.get("died")
    for call_made, outcome in zip(case.calls, result["outcomes"], strict=True):
        event(f"{call_made.target}: {outcome['type'] or 'returned'}")  # shown by --hypothesis-show-statistics
        if outcome["type"] in (None, "skipped"):
            continue
        assert outcome["type"] in allowed_types(call_made, case), (call_made, outcome)
        assert outcome["message"], (call_made, outcome)
        assert is_valid_text(outcome["message"], result["names"]), (call_made, outcome)
