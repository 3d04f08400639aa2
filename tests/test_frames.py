"""The DataFrames the queries return behave as frames built by pandas' own constructor.

The module hands its column buffers to pandas without copying them; these tests make sure
the result is an ordinary frame: the same column and row indexes, independent memory per
call, in-place edits, copies, slicing and pickling.
"""

import pickle

import numpy as np
import pandas as pd
import pytest

from pulsefile import Aperture, background, padding, pulse, record

zpr = pytest.importorskip("zyn_pulse_reader")

RECORDS = [pulse(3, 2, 40, 8), background(5), pulse(1, 4, 12, 6), padding(), record(2, 0, 0, 0, 0, 0, -5)] * 7
QUERIES = {
    "records": lambda reader: reader.get_all_records(3),
    "pulses": lambda reader: reader.get_pulses(3),
    "filtered": lambda reader: reader.get_pulses(3, pulse_filter_kwargs={"min_dur_f": 3}),
    "many": lambda reader: reader.get_pulses_many(),
}


@pytest.fixture
def reader(make_file):
    with zpr.PulseReader(make_file(Aperture(3, RECORDS), Aperture(5, RECORDS[:9]))) as reader:
        yield reader


@pytest.mark.parametrize("query", QUERIES)
def test_indexes_match_the_constructor(reader, query):
    df = QUERIES[query](reader)
    assert len(df) > 0
    pd.testing.assert_index_equal(df.columns, pd.Index(list(df.columns)), exact=True)
    if query == "records":
        pd.testing.assert_index_equal(df.index, pd.RangeIndex(len(df)), exact=True)
    else:
        assert type(df.index) is pd.Index and df.index.name == "index" and df.index.dtype == np.uint64
    columns = {name: pd.Series(df[name].to_numpy(), dtype=df[name].dtype, index=df.index.copy()) for name in df}
    pd.testing.assert_frame_equal(df, pd.DataFrame(columns), check_exact=True)


@pytest.mark.parametrize("query", QUERIES)
def test_frames_own_independent_memory(reader, query):
    first, second = QUERIES[query](reader), QUERIES[query](reader)
    want = second.copy(deep=True)
    numeric = [name for name in first if first[name].dtype != object]
    for name in numeric:
        first[name] = first[name].to_numpy()[::-1].copy()
    first.loc[first.index[0], numeric[-1]] = 7
    first.iloc[1, 0] = first.iloc[0, 0]
    first.columns.name = "renamed"
    first.index.name = "renamed"
    pd.testing.assert_frame_equal(second, want, check_exact=True)
    assert first[numeric[-1]].iloc[0] == 7
    third = QUERIES[query](reader)
    assert third.columns.name is None and third.index.name == (None if query == "records" else "index")


@pytest.mark.parametrize("query", QUERIES)
def test_frame_operations(reader, query):
    df = QUERIES[query](reader)
    pd.testing.assert_frame_equal(pickle.loads(pickle.dumps(df)), df, check_exact=True)
    pd.testing.assert_frame_equal(df.copy(), df, check_exact=True)
    every_other = df.iloc[::2]
    for name in df:
        np.testing.assert_array_equal(every_other[name].to_numpy(), df[name].to_numpy()[::2])
    column = df.columns[2]
    assert df.drop(columns=[column]).equals(df[[c for c in df.columns if c != column]])
    numbers = df.select_dtypes("number")
    assert numbers.to_numpy().shape == (len(df), numbers.shape[1])
    assert numbers.to_numpy(dtype=np.float64)[:, 0].tolist() == numbers.iloc[:, 0].astype(np.float64).tolist()
