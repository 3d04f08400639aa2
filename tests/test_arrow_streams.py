"""arrow_pulses, arrow_records, arrow_summary and arrow_record_kinds read by real Arrow consumers (pyarrow, Polars,
DuckDB): the same values, types and column order as the DataFrame calls, the record position
and aperture number as ordinary columns; one export per stream; streams that outlive their
reader; and a thousand streams consumed, abandoned and released on other threads that leave
no memory behind."""

from __future__ import annotations

import ctypes
import gc
import json
import os
import signal
import threading

import numpy as np
import pytest

from arrow_columns import assert_same_columns, expected_columns, table_columns
from model import bulk_file
from pulsefile import DEFAULT_METADATA, Aperture, pulse
from zyn_pulse_reader import PulseFilter, PulseReader

pa = pytest.importorskip("pyarrow")

KINDS = ["pulse", "padding", "long_pulse_update", "long_pulse_dropped", "step_up", "step_down", "background", "unknown"]
FILTER = {"min_snr": 0.5, "max_binratio": 10.0, "recalc_ipd": True}


def write_random_run(path, rng, numbers, counts, unsorted_share=0.01):
    """A run of records of every kind, `unsorted_share` of them pulses that start where the
    one before ends (which fail the filter's order check)."""
    n = int(counts.sum())
    raw = rng.integers(0, 65536, (n, 8), dtype=np.uint16)
    raw[:, 0] = rng.integers(1, 30, n)
    raw[:, 1] = rng.integers(1, 20, n)
    plain = rng.random(n) < 0.3  # not pulses: background, unknown, steps and long pulses
    raw[plain, 1] = 0
    raw[plain & (rng.random(n) < 0.3), 2:4] = 0  # background
    coded = plain & (rng.random(n) < 0.3)
    raw[coded, 6] = rng.choice(np.array([-2, -3, -5, -6], np.int16), int(coded.sum())).view(np.uint16)
    raw[plain & (rng.random(n) < 0.05), 0] = 0xFFFF  # padding
    raw[rng.random(n) < unsorted_share, 0] = 0
    bulk_file(numbers, numbers % 70, numbers // 70, raw, counts, [(0, 3, 7)] * 8, DEFAULT_METADATA).write(path)


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    """150 apertures of every record kind, a few of hundreds of records (so that small
    batches cut the run many times), some without records, some whose pulses fail the
    filter's order check (a pulse that starts where the one before ends)."""
    rng = np.random.default_rng(22)
    numbers = np.sort(rng.choice(3000, 150, replace=False))
    counts = rng.integers(0, 40, numbers.size)
    counts[::13] = 0
    counts[[4, 90]] = [700, 450]
    path = tmp_path_factory.mktemp("arrow") / "run.pulses.bin"
    write_random_run(path, rng, numbers, counts)
    numbers = [int(a) for a in numbers]
    with PulseReader(str(path)) as reader:
        failing = [a for a, e in zip(numbers, reader.summary(pulse_filter_kwargs=FILTER)["error"]) if e]
        assert set(reader.get_all_records_many()["record_type"]) == set(KINDS) and failing  # the premise
    return str(path), numbers, failing


def frame_and_stream(reader, what, **kwargs):
    """The DataFrame call and the stream for the same arguments."""
    frames = {"pulses": reader.get_pulses_many, "records": reader.get_all_records_many, "summary": reader.summary,
              "kinds": reader.record_kinds}
    streams = {"pulses": reader.arrow_pulses, "records": reader.arrow_records, "summary": reader.arrow_summary,
               "kinds": reader.arrow_record_kinds}
    batch_records = kwargs.pop("batch_records", 1048576)
    batch = {} if what in ("summary", "kinds") else {"batch_records": batch_records}
    return frames[what](**kwargs), streams[what](**kwargs, **batch)


def polars_table(stream):
    pl = pytest.importorskip("polars")
    return pl.DataFrame(stream).to_arrow()


def polars_from_arrow_table(stream):
    pl = pytest.importorskip("polars")
    reader = pa.RecordBatchReader.from_stream(stream)
    batches = list(reader)
    if not batches:
        pytest.skip("polars.from_arrow makes no frame of a reader without batches")
    return pl.from_arrow(pa.RecordBatchReader.from_batches(reader.schema, batches)).to_arrow()


def polars_lazy_table(stream):
    pl = pytest.importorskip("polars")
    if not hasattr(pl, "scan_arrow_c_stream"):
        pytest.skip(f"Polars {pl.__version__} has no lazy scan of an Arrow stream")
    return pl.scan_arrow_c_stream(stream).collect().to_arrow()


def duckdb_table(stream):
    duckdb = pytest.importorskip("duckdb")
    result = duckdb.sql("SELECT * FROM stream").arrow()
    return result.read_all() if hasattr(result, "read_all") else result  # a table before DuckDB 1.4


CLIENTS = {
    "pa.table": pa.table,
    "RecordBatchReader": lambda stream: pa.RecordBatchReader.from_stream(stream).read_all(),
    "polars": polars_table,
    "polars.from_arrow": polars_from_arrow_table,
    "polars-lazy": polars_lazy_table,
    "duckdb": duckdb_table,
}
CASES = {
    "all": {},
    "small-batches": {"batch_records": 37},
    "filter": {"pulse_filter_kwargs": {"min_dur_f": 5}},
    "filter-object": {"pulse_filter": "object", "batch_records": 100},
    "unsorted-repeated": {"apertures": "unsorted-repeated", "batch_records": 50},
    "empty": {"apertures": []},
}


@pytest.mark.parametrize("client", list(CLIENTS))
@pytest.mark.parametrize("case", list(CASES))
@pytest.mark.parametrize("what", ["pulses", "records", "summary", "kinds"])
def test_every_client_reads_the_frame_s_values(run, what, case, client):
    path, numbers, failing = run
    kwargs = dict(CASES[case])
    if kwargs.get("apertures") == "unsorted-repeated":
        kwargs["apertures"] = [numbers[9], numbers[2], numbers[9], numbers[4], *failing]
    if kwargs.get("pulse_filter") == "object":
        kwargs["pulse_filter"] = PulseFilter(min_snr=0.5, max_binratio=10.0)
    filtered = "pulse_filter" in kwargs or "pulse_filter_kwargs" in kwargs
    if what in ("records", "kinds") and filtered:
        pytest.skip("records take no filter")
    if what == "pulses" and filtered:  # the frame call would fail on the apertures the order check fails
        kwargs["apertures"] = [a for a in kwargs.get("apertures", numbers) if a not in failing]
    with PulseReader(path) as reader:
        frame, stream = frame_and_stream(reader, what, **kwargs)
        got = CLIENTS[client](stream)
    assert_same_columns(table_columns(got), expected_columns(frame))


@pytest.mark.parametrize("batch_records", [90_000, 10_000_000], ids=["batches-beside-each-other", "one-batch"])
@pytest.mark.parametrize("what", ["pulses", "records", "summary"])
def test_batches_large_enough_to_split_read_as_the_whole_run_call(tmp_path, what, batch_records):
    """Batches large enough for the whole-run calls to split over two threads: read two at
    once, each on its own thread; a stream of one batch, split as the whole-run call."""
    rng = np.random.default_rng(7)
    counts = rng.integers(0, 2000, 300)
    counts[[10, 200]] = [70_000, 120_000]  # batches of one aperture
    path = tmp_path / "large.pulses.bin"
    write_random_run(path, rng, np.arange(300) * 3, counts, unsorted_share=0)
    kwargs = {} if what == "records" else {"pulse_filter_kwargs": FILTER}
    with PulseReader(str(path)) as reader:
        frame, stream = frame_and_stream(reader, what, batch_records=batch_records, **kwargs)
        assert_same_columns(table_columns(pa.table(stream)), expected_columns(frame))


def test_duckdb_groups_the_pulses_as_summary_counts_them(run):
    duckdb = pytest.importorskip("duckdb")
    path, _, _ = run
    with PulseReader(path) as reader:
        summary = reader.summary()
        pulses = reader.arrow_pulses(batch_records=100)
        grouped = duckdb.sql(
            "SELECT aperture_index, count(*) AS pulses, avg(snr) AS snr_mean, min(start_f) AS first_start_f "
            "FROM pulses GROUP BY aperture_index ORDER BY aperture_index").fetchnumpy()
    busy = summary[summary["pulses"] > 0]
    np.testing.assert_array_equal(grouped["aperture_index"], busy.index.to_numpy())
    np.testing.assert_array_equal(grouped["pulses"], busy["pulses"].to_numpy())
    np.testing.assert_array_equal(grouped["first_start_f"], busy["first_start_f"].to_numpy())
    # DuckDB adds up in an order of its own.
    np.testing.assert_allclose(grouped["snr_mean"], busy["snr_mean"].to_numpy(), rtol=1e-12)


def test_schema_types_and_metadata(run):
    path, numbers, _ = run
    with PulseReader(path) as reader:
        attrs, metadata = reader.get_pulses_many([]).attrs, reader.metadata
        for stream in (reader.arrow_pulses(), reader.arrow_records(), reader.arrow_summary(),
                       reader.arrow_record_kinds()):
            schema = pa.schema(stream)  # through __arrow_c_schema__, before and after the export
            table = pa.table(stream)
            assert pa.schema(stream) == schema == table.schema
            assert json.loads(schema.metadata[b"zyn_pulse_reader.attrs"]) == attrs
            assert json.loads(schema.metadata[b"zyn_pulse_reader.metadata"]) == metadata
            assert [f.name for f in schema if f.nullable] == (["error"] if "error" in schema.names else [])
        record_type = pa.table(reader.arrow_records([numbers[4]])).column("record_type")
    assert record_type.type == pa.dictionary(pa.int8(), pa.string())
    assert record_type.chunk(0).dictionary.to_pylist() == KINDS


def test_buffers_are_not_copied(run):
    path, _, _ = run
    with PulseReader(path) as reader:
        before = pa.total_allocated_bytes()
        table = pa.table(reader.arrow_records(batch_records=100))
        assert table.num_rows > 2000 and pa.total_allocated_bytes() == before


def test_a_stream_is_exported_once(run):
    path, _, _ = run
    with PulseReader(path) as reader:
        stream = reader.arrow_pulses()
    pa.table(stream)
    with pytest.raises(RuntimeError, match="^This Arrow stream has been read already: a stream can be exported once"):
        pa.table(stream)
    assert stream.__arrow_c_schema__() is not None


@pytest.mark.parametrize(
    ("call", "error", "message"),
    [
        (lambda r: r.arrow_pulses([0, 999999]), RuntimeError,
         "Failed to get pulses: This file does not contain the provided aperture index: 999999"),
        (lambda r: r.arrow_records([999999]), RuntimeError,
         "Failed to get records: This file does not contain the provided aperture index: 999999"),
        (lambda r: r.arrow_summary({1, 2}), TypeError,
         "argument 'apertures': 'set' object cannot be converted to 'Sequence'"),
        (lambda r: r.arrow_pulses(pulse_filter=PulseFilter(), pulse_filter_kwargs={}), RuntimeError,
         "Cannot provide both a PulseFilter object and keyword arguments for the filter!"),
        (lambda r: r.arrow_records(batch_records=0), ValueError, "batch_records must be at least 1"),
        (lambda r: (r.close(), r.arrow_summary()), RuntimeError,
         "PulseReader cannot be used after the pulse file has been closed!"),
    ],
)
def test_arguments_are_checked_at_the_call(make_file, call, error, message):
    reader = PulseReader(make_file(Aperture(0, [pulse(5, 2)])))
    with pytest.raises(error) as raised:
        call(reader)
    assert str(raised.value) == message


def test_an_unsorted_aperture_fails_its_batch_after_whole_batches(run):
    path, numbers, failing = run
    with PulseReader(path) as reader:
        before = numbers[: numbers.index(failing[0])]
        batches = pa.RecordBatchReader.from_stream(reader.arrow_pulses(pulse_filter_kwargs=FILTER, batch_records=60))
        read = []
        with pytest.raises(OSError, match=f"Failed to get pulses: aperture {failing[0]}: The provided pulses aren't sorted!"):
            while True:
                read.append(batches.read_next_batch())
        got = pa.Table.from_batches(read, batches.schema)
        want = expected_columns(reader.get_pulses_many(before, pulse_filter_kwargs=FILTER))
    assert set(got.column("aperture_index").to_pylist()) <= set(before)
    assert_same_columns(table_columns(got), {k: v[: got.num_rows] for k, v in want.items()})


@pytest.mark.parametrize("when", ["before-export", "after-export"])
def test_a_stream_reads_on_after_its_reader_is_closed_and_gone(run, no_fd_leak, when):
    path, _, _ = run
    reader = PulseReader(path)
    want = expected_columns(reader.get_all_records_many())
    stream = reader.arrow_records(batch_records=64)
    first = []
    if when == "after-export":
        stream = pa.RecordBatchReader.from_stream(stream)
        first.append(stream.read_next_batch())
    reader.close()
    del reader
    gc.collect()
    rest = pa.table(stream) if when == "before-export" else stream.read_all()
    assert_same_columns(table_columns(pa.Table.from_batches(first + rest.to_batches(), rest.schema)), want)


def malloc_in_use() -> int:
    """Bytes in use from the C allocator (glibc's mallinfo2)."""
    info = ctypes.CDLL(None).mallinfo2
    fields = [(name, ctypes.c_size_t) for name in
              ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]
    info.restype = type("Mallinfo2", (ctypes.Structure,), {"_fields_": fields})
    result = info()
    return result.uordblks + result.hblkhd


def test_a_thousand_streams_leave_no_memory_behind(run, no_fd_leak):
    """Streams consumed whole, partly, exported and released on another thread, or never
    exported. Batches of at most 200 records stay below the core's mapped buffers, so each
    comes from and goes back to the C allocator, whose count of bytes in use is exact."""
    path, numbers, _ = run
    reader = PulseReader(path)
    some = numbers[:40]

    def release_elsewhere(capsule):
        thread = threading.Thread(target=lambda: capsule.clear())
        thread.start()
        thread.join()

    def one(i):
        stream = [reader.arrow_pulses, reader.arrow_records][i % 2](some, batch_records=200)
        match i % 4:
            case 0:
                assert pa.table(stream).num_rows > 0
            case 1:
                batches = pa.RecordBatchReader.from_stream(stream)
                batches.read_next_batch()
            case 2:
                release_elsewhere([stream.__arrow_c_stream__()])
            case 3:
                pass  # abandoned before any export

    for i in range(40):
        one(i)
    gc.collect()
    start = malloc_in_use()
    for i in range(1000):
        one(i)
    gc.collect()
    grown = malloc_in_use() - start
    reader.close()
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("the sanitizer's allocator keeps freed memory in quarantine: checked for faults only")
    assert grown < 2 << 20, f"{grown} bytes more in use after 1,000 streams"


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded")
def test_a_stream_read_ahead_fails_in_a_forked_child_and_goes_on_in_the_parent(run):
    """The helper that reads ahead stays in the parent: the child's next batch fails with
    a clear error instead of waiting for it, and the parent reads on."""
    path, numbers, _ = run
    with PulseReader(path) as reader:
        want = expected_columns(reader.get_all_records_many())
        batches = pa.RecordBatchReader.from_stream(reader.arrow_records(batch_records=60))
        first = batches.read_next_batch()
        child = os.fork()
        if child == 0:  # pragma: no cover - the child reports through its exit status
            signal.alarm(10)
            try:
                batches.read_next_batch()
                os._exit(1)
            except OSError as error:
                os._exit(0 if "forked from" in str(error) else 2)
        _, status = os.waitpid(child, 0)
        rest = batches.read_all()
    assert os.waitstatus_to_exitcode(status) == 0
    assert_same_columns(table_columns(pa.Table.from_batches([first, *rest.to_batches()])), want)
