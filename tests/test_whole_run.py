"""The whole-run calls (get_all_records_many, iter_pulses, iter_all_records, summary,
record_kinds) against the per-aperture calls they are defined by, on random runs with every record kind, laid out
back to back or scattered (blocks out of index order, gaps between them, two index entries
sharing a block)."""

import numpy as np
import pandas as pd
import pytest

from model import _Blocks
from pulsefile import DEFAULT_METADATA, METADATA_OFFSET, PulseFile
from test_model_random import random_records

zpr = pytest.importorskip("zyn_pulse_reader")

CLOSED = "PulseReader cannot be used after the pulse file has been closed!"
UNSORTED = "The provided pulses aren't sorted!"
FILTER = {"min_dur_f": 2, "min_snr": -1e30, "max_binratio": 1e30, "mask_s": (30.0, 40.0), "recalc_ipd": True}
MEANS = ["dur_f", "ipd_f", "snr", "intensity", "binratio"]
KINDS = ["pulse", "padding", "long_pulse_update", "long_pulse_dropped", "step_up", "step_down", "background", "unknown"]


def write_run(path, rng, scattered: bool) -> list[int]:
    """400 apertures with random records (odd ones often fail the order check) and one of
    300,000 records, larger than one read of neighbouring blocks, so that the bulk paths
    read it in pieces and split their work over two threads."""
    n = 400
    counts = rng.integers(0, 60, n)
    counts[rng.random(n) < 0.1] = 0
    counts[n // 3] = 300_000
    numbers = np.sort(rng.choice(4 * n, n, replace=False))
    raw = random_records(rng, counts)
    starts = np.r_[0, np.cumsum(counts)]
    blocks = [np.array([number % 50, number // 50, number, count], "<u4").tobytes()
              + raw[starts[i]:starts[i + 1]].astype("<u2").tobytes() for i, (number, count) in enumerate(zip(numbers, counts))]
    pulse_file = PulseFile(metadata=dict(DEFAULT_METADATA))
    location = METADATA_OFFSET + len(pulse_file.metadata_bytes())
    order = rng.permutation(n) if scattered else np.arange(n)
    data, locations = b"", {}
    for i in order:
        gap = int(rng.integers(0, 5000)) if scattered and rng.random() < 0.3 else 0
        data += b"\xee" * gap
        locations[i] = location + len(data)
        data += blocks[i]
    if scattered:
        locations[5] = locations[6]  # two entries, one block
    pulse_file.apertures = [_Blocks(0, data=data)]
    pulse_file.index_entries = [(int(numbers[i]), locations[i]) for i in range(n)]
    pulse_file.write(path)
    return [int(number) for number in numbers]


@pytest.fixture(scope="module", params=["back_to_back", "scattered"])
def run(request, tmp_path_factory):
    path = tmp_path_factory.mktemp("run") / "run.pulses.bin"
    numbers = write_run(path, np.random.default_rng(31), request.param == "scattered")
    return str(path), numbers


def pick(numbers, subset):
    rng = np.random.default_rng(3)
    return {"all": None, "unsorted_repeated": [numbers[k] for k in rng.integers(0, len(numbers), 150)],
            "empty": []}[subset]


def concat(frames, empty):
    return pd.concat(frames) if frames else empty


def expected_records(reader, apertures):
    frames = [reader.get_all_records(a) for a in apertures]
    for frame, a in zip(frames, apertures):
        frame.insert(0, "aperture_index", np.full(len(frame), a, np.uint64))
    return frames


def pulses_or_error(reader, aperture, filter_kwargs):
    try:
        return reader.get_pulses(aperture, **filter_kwargs), None
    except RuntimeError as error:
        return None, str(error)


def sequential_mean(values):
    """A plain float64 sum in row order over the finite values, divided by their count."""
    values = values[np.isfinite(values)]
    return np.cumsum(values)[-1] / len(values) if len(values) else np.nan


def expected_summary(reader, apertures, filter_kwargs):
    rows = []
    for a in apertures:
        pulses, error = pulses_or_error(reader, a, filter_kwargs)
        records = reader.get_all_records(a)
        n = 0 if pulses is None else len(pulses)
        # ipd_f over the pulses after the first: the gaps between pulses.
        means = [sequential_mean(pulses[c].to_numpy(np.float64)[int(c == "ipd_f"):]) if n else np.nan for c in MEANS]
        nonfinite = int((~np.isfinite(pulses[["snr", "intensity", "binratio"]].to_numpy())).any(axis=1).sum()) if n else 0
        rows.append([records.attrs["aperture_x"], records.attrs["aperture_y"], len(records), n, nonfinite, *means,
                     pulses["start_f"].iloc[0] if n else 0, pulses["end_f"].iloc[-1] if n else 0, error])
    columns = ["aperture_x", "aperture_y", "records", "pulses", "nonfinite", *[f"{c}_mean" for c in MEANS],
               "first_start_f", "last_end_f", "error"]
    frame = pd.DataFrame(rows, columns=columns, index=pd.Index(np.array(apertures, np.uint64), name="aperture_index"))
    dtypes = dict.fromkeys(columns[:2] + columns[-3:-1], np.uint32) | dict.fromkeys(columns[2:5], np.uint64)
    return frame.astype(dtypes | dict.fromkeys(columns[5:10], np.float64) | {"error": object})


def expected_record_kinds(reader, apertures):
    counts = [reader.get_all_records(a)["record_type"].value_counts() for a in apertures]
    frame = pd.DataFrame([[int(c.get(kind, 0)) for kind in KINDS] for c in counts], columns=KINDS, dtype=np.uint64)
    frame.index = pd.Index(np.array(apertures, np.uint64), name="aperture_index")
    return frame


def batch_plan(counts, batch_records):
    """Whole apertures in order, at most batch_records records a batch unless alone."""
    batches, current, total = [], [], 0
    for k, count in enumerate(counts):
        if current and total + count > batch_records:
            batches.append(current)
            current, total = [], 0
        current.append(k)
        total += count
    return batches + ([current] if current else [])


@pytest.mark.parametrize("subset", ["all", "unsorted_repeated", "empty"])
@pytest.mark.parametrize("filter_kwargs", [{}, {"pulse_filter_kwargs": FILTER}], ids=["unfiltered", "filtered"])
def test_whole_run_calls_equal_the_per_aperture_calls(run, subset, filter_kwargs):
    path, numbers = run
    requested = pick(numbers, subset)
    apertures = numbers if requested is None else requested
    with zpr.PulseReader(path) as reader:
        base_attrs = {k: v for k, v in reader.get_pulses(numbers[0]).attrs.items() if not k.startswith("aperture_")}

        records = reader.get_all_records_many(requested)
        pd.testing.assert_frame_equal(records, concat(expected_records(reader, apertures), records.iloc[:0]),
                                      check_exact=True)
        assert list(records.columns) == ["aperture_index", *reader.get_all_records(numbers[0]).columns]
        assert records.attrs == base_attrs
        pd.testing.assert_frame_equal(concat(list(reader.iter_all_records(requested, batch_records=900)), records),
                                      records, check_exact=True)

        summary = reader.summary(requested, **filter_kwargs)
        pd.testing.assert_frame_equal(summary, expected_summary(reader, apertures, filter_kwargs), check_exact=True)
        assert summary.attrs == base_attrs
        assert subset == "empty" or summary["nonfinite"].sum() > 0

        kinds = reader.record_kinds(requested)
        pd.testing.assert_frame_equal(kinds, expected_record_kinds(reader, apertures), check_exact=True)
        assert kinds.attrs == base_attrs
        failing = [a for a, error in summary["error"].items() if error is not None]
        assert bool(failing) == (bool(filter_kwargs) and subset != "empty")

        # The pulses calls on the apertures that pass the order check.
        passing = [a for a in apertures if a not in failing]
        pulses = reader.get_pulses_many(passing, **filter_kwargs)
        expected = [reader.get_pulses(a, **filter_kwargs) for a in passing]
        pd.testing.assert_frame_equal(pulses, concat(expected, pulses), check_exact=True)
        assert list(pulses.columns) == list(reader.get_pulses(numbers[0]).columns)
        for batch_records in (1, 777, 10**9):
            batches = list(reader.iter_pulses(passing, batch_records=batch_records, **filter_kwargs))
            assert all(batch.attrs == base_attrs for batch in batches)
            pd.testing.assert_frame_equal(concat(batches, pulses), pulses, check_exact=True)


@pytest.mark.parametrize("batch_records", [1, 50, 900, 60_000, 1048576])
def test_batches_are_runs_of_whole_apertures_within_the_limit(run, batch_records):
    path, numbers = run
    apertures = pick(numbers, "unsorted_repeated")
    with zpr.PulseReader(path) as reader:
        summary = reader.summary(apertures)
        counts, pulse_counts = summary["records"].to_numpy(np.int64), summary["pulses"].to_numpy(np.int64)
        plan = batch_plan(counts, batch_records)
        record_batches = list(reader.iter_all_records(apertures, batch_records=batch_records))
        pulse_batches = list(reader.iter_pulses(apertures, batch_records=batch_records))
    assert [len(b) for b in record_batches] == [counts[k].sum() for k in plan]
    assert [len(b) for b in pulse_batches] == [pulse_counts[k].sum() for k in plan]
    for batch, ks in zip(record_batches, plan):
        assert np.array_equal(batch["aperture_index"].to_numpy(), np.repeat(np.array(apertures)[ks], counts[ks]))


def test_a_failing_aperture_is_named(run):
    path, numbers = run
    with zpr.PulseReader(path, pulse_filter_kwargs=FILTER) as reader:  # the default filter applies
        errors = reader.summary()["error"].dropna()
        assert len(errors) > 1 and set(errors) == {f"Failed to get pulses: {UNSORTED}"}
        first = int(errors.index[0])
        message = f"Failed to get pulses: aperture {first}: {UNSORTED}"
        with pytest.raises(RuntimeError, match=f"^{message}$"):
            reader.get_pulses_many()
        plan = batch_plan(reader.summary()["records"].to_numpy(), 100)
        failing_batch = next(b for b, ks in enumerate(plan) if numbers.index(first) in ks)
        batches = reader.iter_pulses(batch_records=100)
        walked = []
        with pytest.raises(RuntimeError, match=f"^{message}$"):
            for batch in batches:
                walked.append(batch)
        assert len(walked) == failing_batch
        if walked:
            before = [numbers[k] for ks in plan[:failing_batch] for k in ks]
            pd.testing.assert_frame_equal(pd.concat(walked), reader.get_pulses_many(before), check_exact=True)
        assert list(batches) == []  # a failed batch ends the walk
        with pytest.raises(RuntimeError, match=f"^Failed to get pulses: {UNSORTED}$"):
            reader.get_pulses(first)


@pytest.mark.parametrize("method", ["iter_pulses", "iter_all_records", "summary", "get_all_records_many", "record_kinds"])
def test_arguments_are_checked_when_called(run, method):
    path, numbers = run
    prefix = "Failed to get records: " if "record" in method else "Failed to get pulses: "
    with zpr.PulseReader(path) as reader:
        call = getattr(reader, method)
        with pytest.raises(RuntimeError, match=f"^{prefix}This file does not contain the provided aperture index: 7777$"):
            call([numbers[0], 7777])
        with pytest.raises(TypeError, match="^argument 'apertures': Can't extract `str` to `Vec`$"):
            call("12")
        if "record" not in method:
            with pytest.raises(RuntimeError, match="^Cannot provide both a PulseFilter object and keyword"):
                call(pulse_filter=zpr.PulseFilter(), pulse_filter_kwargs={})
        reader.close()
        with pytest.raises(RuntimeError, match=f"^{CLOSED}$"):
            call()


def raised(call):
    with pytest.raises(Exception) as info:
        call()
    return type(info.value), str(info.value)


@pytest.mark.parametrize("method", ["iter_pulses", "iter_all_records"])
@pytest.mark.parametrize("value", [0, -1, -2**70, "3", 2.0, None, 2**64, 2**64 - 1, np.uint8(3)])
def test_batch_records_is_converted_like_an_aperture_number(run, method, value):
    path, numbers = run
    with zpr.PulseReader(path) as reader:
        call = lambda: getattr(reader, method)(numbers[:3], batch_records=value)
        if isinstance(value, int) and value < 1:
            assert raised(call) == (ValueError, "batch_records must be at least 1")
            return
        try:
            reader.get_all_records(value)
        except (TypeError, OverflowError) as error:
            assert raised(call) == (type(error), str(error).replace("aperture_index", "batch_records"))
            return
        except RuntimeError:  # a number that the file lacks
            pass
        whole = reader.get_all_records_many if method == "iter_all_records" else reader.get_pulses_many
        pd.testing.assert_frame_equal(pd.concat(list(call())), whole(numbers[:3]))


def test_reader_is_free_between_batches_and_closing_ends_the_walk(run):
    path, numbers = run
    with zpr.PulseReader(path) as reader:
        batches = reader.iter_pulses(numbers[:40], batch_records=100)
        first = next(batches)
        assert reader.apertures == numbers and reader.apertures is not reader.apertures
        reader.get_pulses(numbers[0])
        next(batches)
        reader.close()
        with pytest.raises(RuntimeError, match=f"^{CLOSED}$"):
            next(batches)
    assert len(first) > 0


def test_a_batch_while_the_reader_is_busy_is_refused(run):
    """A batch requested during another call on the reader (here from the conversion of that
    call's aperture list) fails at once with the borrow error, and the walk goes on."""
    path, numbers = run
    with zpr.PulseReader(path) as reader:
        batches = reader.iter_all_records(numbers[:6], batch_records=1)
        refusals = []

        class Number:
            def __index__(self):
                with pytest.raises(RuntimeError) as info:
                    next(batches)
                refusals.append(str(info.value))
                return numbers[0]

        reader.get_pulses_many([Number()])
        assert refusals == ["Already borrowed"]
        pd.testing.assert_frame_equal(pd.concat(batches), reader.get_all_records_many(numbers[:6]))


@pytest.mark.parametrize("what", ["pulses", "records", "summary"])
@pytest.mark.parametrize("batch_records", [777, 10**9])
def test_streams_read_ahead_equal_the_frames(run, what, batch_records):
    """Batches read on two threads at once, one of them the large aperture's, come out in
    order and equal the frame calls."""
    pa = pytest.importorskip("pyarrow")
    from arrow_columns import assert_same_columns, expected_columns, table_columns

    path, numbers = run
    with zpr.PulseReader(path) as reader:
        failing = [a for a, error in reader.summary(pulse_filter_kwargs=FILTER)["error"].items() if error is not None]
        passing = [a for a in numbers if a not in failing]
        frame, stream = {
            "pulses": lambda: (reader.get_pulses_many(passing, pulse_filter_kwargs=FILTER),
                               reader.arrow_pulses(passing, pulse_filter_kwargs=FILTER, batch_records=batch_records)),
            "records": lambda: (reader.get_all_records_many(), reader.arrow_records(batch_records=batch_records)),
            "summary": lambda: (reader.summary(pulse_filter_kwargs=FILTER),
                                reader.arrow_summary(pulse_filter_kwargs=FILTER)),
        }[what]()
        assert_same_columns(table_columns(pa.table(stream)), expected_columns(frame))
