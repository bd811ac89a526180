"""Acquisitions as Arrow tables and Parquet files.

One row per event and channel that carries something (samples or windows)::

    event          int64           acquisition-wide event index
    channel        uint16          channel number within the event
    data           list<float32>   samples, window after window
    window_labels  list<uint16>    window number of each window
    time           list<uint16>    time axis, parallel to data
    timing         list<uint32>    timing value of each window (lanwe boards only)

A channel without samples and without windows has no row. A channel that has windows but no samples (a
samples count of 0) keeps its row, with an empty "data" list, so that its window labels are not lost.

The columns are built over the arrays of ``Acquisition.read``: the sample, time and label values are wrapped,
not copied; only the per-row offsets are new. The schema metadata holds the acquisition's name, its params as
JSON, whether pedestals were subtracted, and the library version.

Needs pyarrow: ``pip install "brimoacq[arrow]"``.
"""

from __future__ import annotations

import contextlib
import json
import os
import queue
import shutil
import tempfile
import threading
import urllib.parse
import uuid
from typing import NamedTuple

import numpy as np

try:
    import pyarrow as pa
    import pyarrow.parquet as pq
except ImportError as exc:  # one message, naming what to install
    raise ImportError(
        f'brimoacq_tools.arrow needs pyarrow, which cannot be imported ({exc}): pip install "brimoacq[arrow]"'
    ) from exc

from .models import LANWEV_MODELS

__all__ = ["schema", "table_from_arrays", "to_table", "write_parquet"]

# list<...> offsets are 32-bit: one record batch holds fewer values than this per column.
MAX_LIST_VALUES = 2**31 - 1
DEFAULT_BATCH_SIZE = 5000


def library_version():
    """The version of the brimoacq module that reads the events."""
    try:
        import brimoacq

        return str(brimoacq.__version__)
    except (ImportError, AttributeError):
        return "unknown"


def has_timing(params):
    """Whether the events of a board with these params carry timing values (the lanwe boards)."""
    return params.get("model") in LANWEV_MODELS


def schema(params, *, name=None, pedestals=False, timing=None):
    """The Arrow schema of the table of an acquisition with these params (its metadata included). The
    "timing" column is there for the lanwe models, or as `timing` says."""
    fields = [
        pa.field("event", pa.int64(), nullable=False),
        pa.field("channel", pa.uint16(), nullable=False),
        pa.field("data", pa.list_(pa.float32()), nullable=False),
        pa.field("window_labels", pa.list_(pa.uint16()), nullable=False),
        pa.field("time", pa.list_(pa.uint16()), nullable=False),
    ]
    if has_timing(params) if timing is None else timing:
        fields.append(pa.field("timing", pa.list_(pa.uint32()), nullable=False))
    metadata = {
        "brimoacq.acquisition": "" if name is None else str(name),
        "brimoacq.params": json.dumps(params, sort_keys=False, default=str),
        "brimoacq.pedestals": "true" if pedestals else "false",
        "brimoacq.version": library_version(),
    }
    return pa.schema(fields, metadata=metadata)


def _list_array(offsets, values, row_start, row_stop):
    """list<> over `values` for rows row_start..row_stop of the int64 `offsets`; the values are sliced, not
    copied."""
    offs = offsets[row_start:row_stop + 1]
    base = int(offs[0])
    end = int(offs[-1])
    offs32 = (offs - base).astype(np.int32)
    return pa.ListArray.from_arrays(pa.array(offs32), pa.array(values[base:end]))


def _row_pieces(row_offsets, row_window_offsets):
    """(start, stop) row ranges whose values fit the 32-bit offsets of list<>: almost always one piece."""
    rows = len(row_offsets) - 1
    if rows <= 0 or (row_offsets[-1] - row_offsets[0] <= MAX_LIST_VALUES
                     and row_window_offsets[-1] - row_window_offsets[0] <= MAX_LIST_VALUES):
        return [(0, max(rows, 0))]
    pieces, start = [], 0
    while start < rows:
        limit_d = np.searchsorted(row_offsets, row_offsets[start] + MAX_LIST_VALUES, side="right") - 1
        limit_w = np.searchsorted(row_window_offsets, row_window_offsets[start] + MAX_LIST_VALUES, side="right") - 1
        stop = max(min(int(limit_d), int(limit_w)), start + 1)
        pieces.append((start, min(stop, rows)))
        start = min(stop, rows)
    return pieces


def batches_from_arrays(arrays, table_schema):
    """Record batches (usually one) of the rows of one ``Acquisition.read`` result."""
    index = np.asarray(arrays["index"], dtype=np.int64)
    offsets = np.asarray(arrays["offsets"], dtype=np.int64)
    window_offsets = np.asarray(arrays["window_offsets"], dtype=np.int64)
    events = len(index)
    runs = len(offsets) - 1
    channels = runs // events if events else 0
    if events and runs != events * channels:
        raise ValueError(f"offsets of {runs} runs do not fit {events} events")
    # Keep the runs with samples or windows. The runs left out are empty, so the start offsets of the kept
    # runs, followed by the final offset, are the row offsets: nothing of the values moves.
    keep = (np.diff(offsets) > 0) | (np.diff(window_offsets) > 0)
    if keep.all():
        row_offsets, row_window_offsets = offsets, window_offsets
        event = np.repeat(index, channels)
        channel = np.tile(np.arange(channels, dtype=np.uint16), events)
    else:
        row_offsets = np.append(offsets[:-1][keep], offsets[-1])
        row_window_offsets = np.append(window_offsets[:-1][keep], window_offsets[-1])
        where = np.flatnonzero(keep)
        event = index[where // channels] if channels else index[:0]
        channel = (where % channels).astype(np.uint16) if channels else np.zeros(0, np.uint16)

    timing = "timing" in table_schema.names
    if timing and "timing" not in arrays:
        raise ValueError("the arrays have no \"timing\" for a model that records it")
    out = []
    for start, stop in _row_pieces(row_offsets, row_window_offsets):
        columns = [
            pa.array(event[start:stop]),
            pa.array(channel[start:stop]),
            _list_array(row_offsets, arrays["data"], start, stop),
            _list_array(row_window_offsets, arrays["window_labels"], start, stop),
            _list_array(row_offsets, arrays["time"], start, stop),
        ]
        if timing:
            columns.append(_list_array(row_window_offsets, arrays["timing"], start, stop))
        out.append(pa.RecordBatch.from_arrays(columns, schema=table_schema))
    return out


def table_from_arrays(arrays, table_schema):
    """The table of one ``Acquisition.read`` result under `table_schema` (see ``schema``)."""
    return pa.Table.from_batches(batches_from_arrays(arrays, table_schema), schema=table_schema)


def _params(acq):
    params = acq.params
    return dict(params) if isinstance(params, dict) else {}


def to_table(acq, indices=None, *, pedestals=False, errors="raise"):
    """The events `indices` of `acq` (None: all) as a ``pyarrow.Table``, one row per event and channel with
    samples or windows, in event order then channel order. `pedestals` and `errors` are those of
    ``Acquisition.read``."""
    table_schema = schema(_params(acq), name=acq.name, pedestals=pedestals)
    return table_from_arrays(acq.read(indices, pedestals=pedestals, errors=errors), table_schema)


def parquet_options(table_schema):
    """Writer options: no dictionaries (sample values repeat too seldom to pay for one), the bytes of the
    floats split into streams (exponent and high mantissa bytes then compress well), and the window labels,
    runs of consecutive numbers mostly, as deltas. The time axis is left plain: the compressor does as well
    on it for less work."""
    encodings = {"data.list.element": "BYTE_STREAM_SPLIT", "event": "DELTA_BINARY_PACKED",
                 "channel": "DELTA_BINARY_PACKED", "window_labels.list.element": "DELTA_BINARY_PACKED"}
    if "timing" in table_schema.names:
        encodings["timing.list.element"] = "DELTA_BINARY_PACKED"
    return {"use_dictionary": False, "column_encoding": encodings}


def _inside(child, parent):
    child, parent = os.path.realpath(child), os.path.realpath(parent)
    return child == parent or child.startswith(parent.rstrip(os.sep) + os.sep)


def write_parquet(acq, path, *, indices=None, pedestals=False, batch_size=DEFAULT_BATCH_SIZE,
                  compression="zstd", errors="raise"):
    """Write the table of `acq` (events `indices`, None: all) to the Parquet file `path`, one row group per
    batch of `batch_size` events. The next batch is read on a thread while the current one is written, so at
    most three batches are in memory at a time. The file is written under a
    temporary name beside `path` and renamed when complete, so `path` never holds a partial file. Returns the
    number of events written (fewer than selected only with ``errors="skip"``)."""
    path = os.fspath(path)
    if _inside(path, acq.path):
        raise ValueError(f"{path}: refusing to write into the acquisition directory")
    if batch_size < 1:
        raise ValueError("batch_size must be at least 1")
    table_schema = schema(_params(acq), name=acq.name, pedestals=pedestals)
    directory = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(prefix="." + os.path.basename(path) + ".", suffix=".tmp", dir=directory)
    os.close(fd)
    written = 0
    try:
        batches = acq.iter_batches(batch_size, indices=indices, pedestals=pedestals, errors=errors)
        options = parquet_options(table_schema)
        with pq.ParquetWriter(tmp, table_schema, compression=compression, **options) as writer, \
                contextlib.closing(_ahead(batches)) as ahead:
            for arrays in ahead:
                written += len(arrays["index"])
                if not len(arrays["index"]):
                    continue
                for batch in batches_from_arrays(arrays, table_schema):
                    writer.write_batch(batch)
        os.chmod(tmp, 0o666 & ~_umask())
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    return written


def _ahead(iterator):
    """The items of `iterator`, each next one made on a thread while the caller works on the current one.
    Reading and writing both run without the interpreter lock, so they overlap."""
    slot = queue.Queue(maxsize=1)
    stop = threading.Event()
    end = object()

    def produce():
        try:
            for item in iterator:
                while not stop.is_set():
                    try:
                        slot.put((item, None), timeout=0.1)
                        break
                    except queue.Full:
                        continue
                if stop.is_set():
                    return
            slot.put((end, None))
        except BaseException as exc:  # handed to the consumer
            slot.put((end, exc))

    thread = threading.Thread(target=produce, name="brimoacq-read-ahead", daemon=True)
    thread.start()
    try:
        while True:
            item, error = slot.get()
            if error is not None:
                raise error
            if item is end:
                return
            yield item
    finally:
        stop.set()
        thread.join()


def _umask():
    # /proc tells without changing it; os.umask would change it for every thread for a moment.
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError, IndexError):
        pass
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


# --- Parquet datasets of many acquisitions -------------------------------------------------------------------
#
# A dataset directory holds one folder per acquisition, "acquisition=<name>" (the name percent-encoded), with
# files "part-<first event>.parquet" of consecutive events; readers that understand this layout (pyarrow,
# pandas, polars, DuckDB, Dask) give it back as a column "acquisition". The parts of an acquisition are written
# into a hidden staging folder beside it, which readers ignore, and replace the acquisition's folder only once
# all of them are complete: a failed or interrupted conversion leaves the previous folder (or none) in place.

DEFAULT_EVENTS_PER_PART = 10_000


class Part(NamedTuple):
    """Events start..stop of the acquisition at `path`, written into `folder`."""

    path: str
    name: str
    start: int
    stop: int
    folder: str
    pedestals: bool
    errors: str
    compression: str


class Job(NamedTuple):
    """One acquisition of a dataset: its parts are written into `staging`, which then becomes `final`."""

    path: str
    name: str
    staging: str
    final: str
    parts: tuple
    timing: bool


def plan_dataset(paths, out_dir, *, pedestals=False, events_per_part=DEFAULT_EVENTS_PER_PART,
                 compression="zstd", errors="raise", check_output=True):
    """The jobs that convert the acquisitions `paths` into the dataset `out_dir`, one per acquisition. Opens
    each acquisition here for its name and event count; the parts name only paths."""
    import brimoacq

    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    if events_per_part < 1:
        raise ValueError("events_per_partition must be at least 1")
    out_dir = os.path.abspath(os.fspath(out_dir))
    token = uuid.uuid4().hex[:12]
    jobs, names = [], {}
    for path in paths:
        path = os.path.abspath(os.fspath(path))
        acq = brimoacq.Acquisition(path)
        if check_output and _inside(out_dir, acq.path):
            raise ValueError(f"{out_dir}: refusing to write into the acquisition directory {acq.path}")
        name = acq.name
        if name in names:
            raise ValueError(f"two acquisitions are named {name!r} ({names[name]} and {path}): "
                             "the dataset tells acquisitions apart by name")
        names[name] = path
        folder = "acquisition=" + urllib.parse.quote(name, safe="")
        staging = os.path.join(out_dir, f".{folder}.{token}")
        count = len(acq)
        bounds = list(range(0, count, events_per_part)) or [0]
        parts = tuple(Part(path, name, start, min(start + events_per_part, count), staging, bool(pedestals),
                           errors, compression) for start in bounds)
        jobs.append(Job(path, name, staging, os.path.join(out_dir, folder), parts, has_timing(_params(acq))))
    return jobs


def write_part(part):
    """Write one part file; returns (events, rows) written. Runs wherever the part is sent: it opens the
    acquisition from its path."""
    import brimoacq

    os.makedirs(part.folder, exist_ok=True)
    acq = brimoacq.Acquisition(part.path)
    target = os.path.join(part.folder, f"part-{part.start:012d}.parquet")
    events = write_parquet(acq, target, indices=range(part.start, part.stop), pedestals=part.pedestals,
                           batch_size=min(DEFAULT_BATCH_SIZE, max(part.stop - part.start, 1)),
                           compression=part.compression, errors=part.errors)
    return events, pq.ParquetFile(target).metadata.num_rows


def publish(job, results=()):
    """Put the finished staging folder of `job` in place of its acquisition folder; returns the events and
    rows written, summed over `results` (those of write_part)."""
    os.makedirs(job.staging, exist_ok=True)
    old = None
    if os.path.lexists(job.final):
        old = f"{job.staging}.old"
        os.replace(job.final, old)
    os.replace(job.staging, job.final)
    if old is not None:
        shutil.rmtree(old, ignore_errors=True)
    return sum(r[0] for r in results), sum(r[1] for r in results)


def discard(jobs):
    """Remove the staging folders that a failed conversion left."""
    for job in jobs:
        shutil.rmtree(job.staging, ignore_errors=True)
