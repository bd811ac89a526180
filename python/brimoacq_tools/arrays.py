"""Views of the arrays that ``Acquisition.read`` returns.

``read`` gives every channel of every event back to back in "data" (float32) with "offsets" (int64,
E x C + 1) marking where run (event e, channel c) starts, "time" parallel to "data", "window_labels" with
"window_offsets", and "timing" for the lanwe models. ``to_awkward`` wraps that as an awkward-array record
array without copying; ``dense`` pads it into an [E, C, max samples] block for the fixed-size boards.
"""

from __future__ import annotations

from typing import Mapping

import numpy as np

__all__ = ["to_awkward", "dense"]


def _shape(arrays: Mapping[str, np.ndarray]):
    events = len(arrays["index"])
    runs = len(arrays["offsets"]) - 1
    channels = runs // events if events else 0
    if events and runs != events * channels:
        raise ValueError(f"offsets hold {runs} channel runs, not a whole number per each of {events} events")
    return events, channels


def to_awkward(arrays: Mapping[str, np.ndarray]):
    """An awkward Array of E records with fields "index", "data", "time", "window_labels" (and "timing"),
    the per-channel fields of type [C][var]; no data is copied."""
    try:
        import awkward as ak
    except ImportError as e:  # awkward-array is an optional extra
        raise ImportError('to_awkward needs awkward-array: pip install "brimoacq[awkward]"') from e
    events, channels = _shape(arrays)
    index = ak.index.Index64

    def per_channel(values, offsets):
        runs = ak.contents.ListOffsetArray(index(offsets), ak.contents.NumpyArray(values))
        return ak.contents.RegularArray(runs, channels, zeros_length=events)

    fields = {
        "index": ak.contents.NumpyArray(arrays["index"]),
        "data": per_channel(arrays["data"], arrays["offsets"]),
        "time": per_channel(arrays["time"], arrays["offsets"]),
        "window_labels": per_channel(arrays["window_labels"], arrays["window_offsets"]),
    }
    if "timing" in arrays:
        fields["timing"] = per_channel(arrays["timing"], arrays["window_offsets"])
    record = ak.contents.RecordArray(list(fields.values()), list(fields.keys()), length=events)
    return ak.Array(record)


def dense(arrays: Mapping[str, np.ndarray]) -> np.ndarray:
    """The samples as a float32 array [E, C, max samples], each channel padded with NaN to the longest."""
    events, channels = _shape(arrays)
    offsets = np.asarray(arrays["offsets"], dtype=np.int64)
    lengths = np.diff(offsets)
    width = int(lengths.max()) if lengths.size else 0
    out = np.full((events * channels, width), np.nan, dtype=np.float32)
    if lengths.size:
        # Position of every sample in its run, then one scatter.
        run = np.repeat(np.arange(lengths.size), lengths)
        column = np.arange(offsets[-1] - offsets[0]) - np.repeat(offsets[:-1] - offsets[0], lengths)
        out[run, column] = arrays["data"][offsets[0] : offsets[-1]]
    return out.reshape(events, channels, width)
