"""Writers that take a table batch by batch: Parquet, CSV and Arrow IPC files.

Frames are written with their row index, so that reading the file back with pandas gives
the frame again (the pulses' record positions, the summary's aperture numbers). Columns
that pyarrow would have to guess from Python objects get their types up front: the records'
"record_type" and the summary's "error" (None in almost every row) are strings.
"""

from __future__ import annotations

from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any, Protocol

import pandas as pd

from zyn_pulse_tools.errors import CommandError
from zyn_pulse_tools.extras import require

# Object columns of the module's frames, all of them text.
_TEXT_COLUMNS = ("record_type", "error")
FORMATS = {".parquet": "Parquet", ".csv": "CSV", ".arrow": "Arrow IPC"}


class TableWriter(Protocol):
    def write(self, batch: pd.DataFrame) -> None: ...
    def close(self) -> None: ...


class _ArrowWriter:
    """Converts each batch with the schema of the first, so every batch has the same types."""

    def __init__(self, path: str, parquet: bool) -> None:
        self._pa = require("pyarrow", "parquet", "export")
        self._path, self._parquet = path, parquet
        self._schema: Any = None
        self._writer: Any = None

    def _table(self, batch: pd.DataFrame) -> Any:
        if self._schema is None:
            fields = {name: self._pa.string() for name in _TEXT_COLUMNS if name in batch.columns}
            inferred = self._pa.Schema.from_pandas(batch, preserve_index=True)
            self._schema = self._pa.schema(
                [self._pa.field(f.name, fields.get(f.name, f.type)) for f in inferred],
                metadata=inferred.metadata,
            )
        return self._pa.Table.from_pandas(batch, schema=self._schema, preserve_index=True)

    def write(self, batch: pd.DataFrame) -> None:
        table = self._table(batch)
        if self._writer is None:
            if self._parquet:
                parquet = require("pyarrow.parquet", "parquet", "export")
                self._writer = parquet.ParquetWriter(self._path, self._schema)
            else:
                self._writer = self._pa.ipc.new_file(self._path, self._schema)
        # One row group (Parquet) or record batch (Arrow) per batch.
        if self._parquet:
            self._writer.write_table(table, row_group_size=max(len(batch), 1))
        else:
            self._writer.write_table(table)

    def close(self) -> None:
        if self._writer is not None:
            self._writer.close()


class _CsvWriter:
    def __init__(self, path: str) -> None:
        self._path = path
        self._started = False

    def write(self, batch: pd.DataFrame) -> None:
        # Every frame here has a one-level index: the record position or the aperture number.
        label = str(batch.index.name or "index")
        if self._started:
            batch.to_csv(self._path, mode="a", header=False, index_label=label)
        else:
            batch.to_csv(self._path, mode="w", index_label=label)
            self._started = True

    def close(self) -> None:
        pass


def table_writer(path: str, output_name: str) -> TableWriter:
    """A writer for the format that `output_name`'s suffix names."""
    suffix = Path(output_name).suffix.lower()
    if suffix == ".csv":
        return _CsvWriter(path)
    if suffix in (".parquet", ".arrow"):
        return _ArrowWriter(path, parquet=suffix == ".parquet")
    known = ", ".join(FORMATS)
    raise CommandError(f"cannot tell the format of {output_name}: its suffix must be one of {known}")


@contextmanager
def opened_writer(path: str, output_name: str) -> Iterator[TableWriter]:
    """`table_writer` that is closed however the block ends."""
    writer = table_writer(path, output_name)
    try:
        yield writer
    finally:
        writer.close()
