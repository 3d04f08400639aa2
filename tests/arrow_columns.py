"""Comparing what Arrow consumers read with the module's DataFrames, column by column."""

from __future__ import annotations

import numpy as np


def expected_columns(frame):
    """The frame as a stream's columns: the row index an ordinary column ("position" for record
    positions), after "aperture_index" where the frame has that column."""
    index = frame.index.name if frame.index.name == "aperture_index" else "position"
    table = frame.reset_index(names=index)
    names = list(table.columns)
    if index == "position":
        names.remove("aperture_index")
        names.insert(0, "aperture_index")
    return {name: table[name].to_numpy() if table[name].dtype != object else list(table[name]) for name in names}


def table_columns(table):
    """A pyarrow table's columns as NumPy arrays, text (dictionary-encoded or not) as lists."""
    import pyarrow as pa

    columns = {}
    for name, column in zip(table.column_names, table.columns):
        kind = column.type.value_type if pa.types.is_dictionary(column.type) else column.type
        string_view = getattr(pa.types, "is_string_view", lambda _: False)  # pyarrow 16 and later
        text = pa.types.is_string(kind) or pa.types.is_large_string(kind) or string_view(kind)
        columns[name] = column.to_pylist() if text else column.to_numpy()
    return columns


def assert_same_columns(got, want):
    """Equal names in equal order, equal NumPy types, equal values (NaN where NaN)."""
    assert list(got) == list(want)
    for name, values in want.items():
        if isinstance(values, list):
            assert got[name] == values, name
        else:
            assert got[name].dtype == values.dtype, name
            np.testing.assert_array_equal(got[name], values, err_msg=name)
