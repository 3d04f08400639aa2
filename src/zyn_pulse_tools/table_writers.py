"""Writers that take an Arrow stream batch by batch: Parquet, CSV and Arrow IPC files.

The batches come from the module's Arrow streams as they are, so nothing passes through
pandas: the record position ("position") and the aperture number ("aperture_index") are
ordinary columns, with no index of a frame to restore, and "record_type" keeps its
dictionary encoding (int8 codes over the eight kind names), which Parquet stores as a
dictionary-encoded column. Parquet files are compressed with zstd unless asked otherwise.
Batches are gathered into row groups of about a million rows (pyarrow's own size for a
whole table): each row group starts its dictionaries afresh, and small ones made a file
larger and slower to write. Arrow IPC files hold each batch as a record batch.

Parquet encodings follow what the columns hold, which makes a pulses file smaller than the
pulse file it comes from: the columns that grow along a run (aperture numbers, record
positions, start and end frames) as deltas, the ratios (snr, binratio), whose values rarely
repeat, split into byte streams, and every other column through a dictionary (durations,
gaps and the scaled 16-bit measurements take few distinct values).
"""

from __future__ import annotations

import os
from collections import deque
from collections.abc import Iterator
from concurrent.futures import Future, ThreadPoolExecutor
from contextlib import contextmanager
from pathlib import Path
from typing import Any, Protocol

from zyn_pulse_tools.errors import CommandError
from zyn_pulse_tools.extras import require

FORMATS = {".parquet": "Parquet", ".csv": "CSV", ".arrow": "Arrow IPC"}
_GROWING = ("aperture_index", "position", "start_f", "end_f")
_RATIOS = ("snr", "binratio")
COMPRESSIONS = ("zstd", "snappy", "gzip", "none")
DEFAULT_COMPRESSION = "zstd"
ROW_GROUP_ROWS = 1 << 20


class TableWriter(Protocol):
    def write_batch(self, batch: Any) -> None: ...
    def close(self) -> None: ...


def table_format(output_name: str, compression: str | None) -> str:
    """The suffix of `output_name` that names its format; `compression` applies to Parquet
    only."""
    suffix = Path(output_name).suffix.lower()
    if suffix not in FORMATS:
        known = ", ".join(FORMATS)
        raise CommandError(f"cannot tell the format of {output_name}: its suffix must be one of {known}")
    if compression is not None and suffix != ".parquet":
        raise CommandError(f"--compression applies to Parquet files only, not to {FORMATS[suffix]}")
    return suffix


def _parquet_encodings(schema: Any) -> dict[str, Any]:
    """ParquetWriter's options for the columns of `schema` (see the module's docstring)."""
    encodings = {name: "DELTA_BINARY_PACKED" for name in _GROWING if name in schema.names}
    encodings.update({name: "BYTE_STREAM_SPLIT" for name in _RATIOS if name in schema.names})
    return {"use_dictionary": [n for n in schema.names if n not in encodings], "column_encoding": encodings}


class _ParquetWriter:
    """pyarrow's Parquet writer, batches gathered until they make a row group."""

    def __init__(self, path: str, schema: Any, compression: str, pa: Any, parquet: Any) -> None:
        self._pa = pa
        self._writer = parquet.ParquetWriter(
            path, schema, compression=None if compression == "none" else compression, **_parquet_encodings(schema)
        )
        self._batches: list[Any] = []
        self._rows = 0

    def _flush(self) -> None:
        if self._batches:
            table = self._pa.Table.from_batches(self._batches)
            self._batches, self._rows = [], 0
            self._writer.write_table(table, row_group_size=table.num_rows)

    def write_batch(self, batch: Any) -> None:
        self._batches.append(batch)
        self._rows += batch.num_rows
        if self._rows >= ROW_GROUP_ROWS:
            self._flush()

    def discard_pending(self) -> None:
        """Drops the batches not written yet, for an output that will not be kept."""
        self._batches, self._rows = [], 0

    def close(self) -> None:
        try:
            self._flush()
        finally:
            self._writer.close()


class _CsvWriter:
    """pyarrow's CSV writer on several batches at once, the text of each written in order.

    Formatting the numbers is almost all the cost of a CSV file, and pyarrow formats a batch
    on one thread (without the interpreter lock): a few batches are formatted side by side.
    """

    def __init__(self, path: str, schema: Any, pa: Any, csv: Any) -> None:
        self._pa, self._csv = pa, csv
        self._workers = min(4, os.cpu_count() or 1)
        self._pending: deque[Future[Any]] = deque()
        self._file = open(path, "wb")
        try:
            csv.write_csv(schema.empty_table(), self._file)  # the header line
        except BaseException:
            self._file.close()
            raise
        self._pool = ThreadPoolExecutor(self._workers, thread_name_prefix="zyn-pulse-csv")

    def _text(self, batch: Any) -> Any:
        text = self._pa.BufferOutputStream()
        self._csv.write_csv(batch, text, write_options=self._csv.WriteOptions(include_header=False))
        return text.getvalue()

    def write_batch(self, batch: Any) -> None:
        self._pending.append(self._pool.submit(self._text, batch))
        while len(self._pending) > self._workers:
            self._file.write(self._pending.popleft().result())

    def close(self) -> None:
        try:
            while self._pending:
                self._file.write(self._pending.popleft().result())
        finally:
            self._pool.shutdown(cancel_futures=True)
            self._file.close()


def table_writer(path: str, file_format: str, schema: Any, compression: str | None) -> TableWriter:
    """A writer of batches with `schema` into `path`, in the format of table_format."""
    pa = require("pyarrow", "arrow", "export")
    if file_format == ".parquet":
        parquet = require("pyarrow.parquet", "arrow", "export")
        return _ParquetWriter(path, schema, compression or DEFAULT_COMPRESSION, pa, parquet)
    if file_format == ".arrow":
        ipc_writer: TableWriter = pa.ipc.new_file(path, schema)
        return ipc_writer
    return _CsvWriter(path, schema, pa, require("pyarrow.csv", "arrow", "export"))


@contextmanager
def opened_writer(path: str, file_format: str, schema: Any, compression: str | None) -> Iterator[TableWriter]:
    """`table_writer` that is closed however the block ends."""
    writer = table_writer(path, file_format, schema, compression)
    try:
        yield writer
    except BaseException:
        if isinstance(writer, _ParquetWriter):
            writer.discard_pending()  # Ctrl-C or a failure: no row group is written in vain
        raise
    finally:
        writer.close()
