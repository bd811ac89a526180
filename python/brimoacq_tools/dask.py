"""Acquisitions as Dask DataFrames, and Parquet datasets written by a Dask cluster.

``read(paths)`` gives the table of ``brimoacq_tools.arrow`` over one or many acquisitions as a lazy
``dask.dataframe.DataFrame`` with a column "acquisition" (the acquisition's name, the last component of its
path), one partition per block of consecutive events of one acquisition. The tasks carry only paths and event
ranges: each partition is read where it runs, by ``Acquisition.read``, so the workers of a cluster need the
acquisitions on a file system they share, not the client's memory. ``to_parquet(paths, out_dir)`` writes the
partitioned dataset that ``brimoacq_tools.arrow`` describes the same way, one task per part file.

Both run on whatever scheduler is active: threads by default, or a ``distributed`` cluster once a
``distributed.Client`` is connected. ``Acquisition.read`` parses on a pool of one thread per processor in
each process; start workers with ``RAYON_NUM_THREADS`` set to their thread count so that several workers on
one machine do not each take all of its processors. Columns are pandas ``ArrowDtype`` columns, so the list columns stay
Arrow arrays. Needs ``pip install "brimoacq[dask]"``.
"""

from __future__ import annotations

try:
    import dask
    import dask.dataframe as dd
    import pandas as pd
    import pyarrow as pa
except ImportError as exc:  # one message, naming what to install
    raise ImportError(
        f'brimoacq_tools.dask needs dask[dataframe], pandas and pyarrow, one of which cannot be imported ({exc}): '
        'pip install "brimoacq[dask]"'
    ) from exc

from . import arrow as _arrow

__all__ = ["read", "to_parquet"]

DEFAULT_EVENTS_PER_PARTITION = _arrow.DEFAULT_EVENTS_PER_PART


def _frame(table, name, timing):
    frame = table.to_pandas(types_mapper=pd.ArrowDtype)
    frame.insert(0, "acquisition", pd.Series([name] * len(frame), dtype=pd.ArrowDtype(pa.string())))
    if timing and "timing" not in frame:
        frame["timing"] = pd.Series([None] * len(frame), dtype=pd.ArrowDtype(pa.list_(pa.uint32())))
    return frame


def _read_part(part, timing):
    import brimoacq

    acq = brimoacq.Acquisition(part.path)
    table = _arrow.to_table(acq, range(part.start, part.stop), pedestals=part.pedestals, errors=part.errors)
    return _frame(table, part.name, timing)


def _meta(timing):
    empty = _arrow.schema({}, timing=timing).empty_table()
    return _frame(empty, "", timing)


def read(paths, *, pedestals=False, events_per_partition=DEFAULT_EVENTS_PER_PARTITION, errors="raise"):
    """A lazy DataFrame of the events of the acquisitions `paths` (one path or a list), with the columns
    "acquisition", "event", "channel", "data", "window_labels", "time" and, when any of them is a lanwe
    board, "timing" (null for the others). `pedestals` and `errors` are those of ``Acquisition.read``."""
    jobs = _arrow.plan_dataset(paths, "", pedestals=pedestals, events_per_part=events_per_partition,
                               errors=errors, check_output=False)
    parts = [part for job in jobs for part in job.parts]
    timing = any(job.timing for job in jobs)
    return dd.from_map(_read_part, parts, timing=timing, meta=_meta(timing), enforce_metadata=False,
                       label="brimoacq-read")


def to_parquet(paths, out_dir, *, pedestals=False, events_per_partition=DEFAULT_EVENTS_PER_PARTITION,
               compression="zstd", errors="raise"):
    """Write the acquisitions `paths` into the Parquet dataset `out_dir` (folders "acquisition=<name>" of
    part files of `events_per_partition` events), one task per part file on the active Dask scheduler.
    An acquisition's folder is replaced only once all its parts are written. Returns {name: (events, rows)}."""
    jobs = _arrow.plan_dataset(paths, out_dir, pedestals=pedestals, events_per_part=events_per_partition,
                               compression=compression, errors=errors)
    tasks = []
    for job in jobs:
        written = [dask.delayed(_arrow.write_part, pure=False)(part) for part in job.parts]
        tasks.append(dask.delayed(_arrow.publish, pure=False)(job, written))
    try:
        results = dask.compute(*tasks)
    except BaseException:
        _arrow.discard(jobs)
        raise
    return {job.name: result for job, result in zip(jobs, results)}
