"""Synthetic acquisitions read back through the extension module: every packet parses to what was described."""

import numpy as np
import pytest

import brimoacq
from brimoacq_tools import MODELS
from brimoacq_tools.writer import (correct_expected, default_params, encode_event, expected_event,
                                   make_pedestals, synthesize_events, write_acquisition)


def round_trip(tmp_path, params, events, per_chunk=4):
    path = write_acquisition(tmp_path / params["model"], params, events, events_per_chunk=per_chunk)
    acq = brimoacq.Acquisition(str(path))
    assert len(acq) == len(events)
    assert acq.chunk_count == (len(events) + per_chunk - 1) // per_chunk
    for i, event in enumerate(events):
        assert acq.raw_event(i)["rawdata"] == encode_event(params, event)
        assert acq[i] == expected_event(params, event), f"event {i}"
    return acq


@pytest.mark.parametrize("model", MODELS)
def test_synthetic_events_parse_back_exactly(tmp_path, model):
    params = default_params(model)
    events = synthesize_events(params, 6, seed=11, pulse_probability=0.5)
    acq = round_trip(tmp_path, params, events)
    assert acq[1:5] == [expected_event(params, e) for e in events[1:5]]


# Layout keys away from their defaults, with descriptions that exercise them.
LAYOUTS = [
    ("pellorv3", dict(channels=8, chanmask=0xE000, chan_shift=13, windmask=0x00FF, n_last_bits=0,
                      databitmask=0x0FFF), None),
    ("mirranv2", dict(samples=8, n_event_headers=5), None),
    ("pellorv3s", dict(n_window_headers=1, n_window_footers=1, samples=16), None),
    ("quarvelv3", dict(n_channel_headers=2, samples=16), None),
    ("lanwev2_evalr2", dict(packet_size=10, samples=1, stop_word="+fa5b"), None),
    ("lanwev2_eval", dict(headers=6, samples=30, timing_shift=16, timing_mask=0xFFFF), None),
    ("ovisk_mirran", dict(num_chips=4, n_chip_headers=1, n_window_headers=2, chip_stop_word=0xEEEE), None),
    ("skerd16", dict(n_chip_headers=3, n_window_footers=2, channels=4), None),
    ("vombel96", dict(channels=48), None),
    ("vombel96", dict(n_chip_headers=2, n_chip_footers=2, num_chips=3, data_mask=0xFFFF), None),
    ("kivro", dict(n_window_headers=3, n_event_headers=2, channels=6), 2),
]


@pytest.mark.parametrize("model,overrides,per_event", LAYOUTS, ids=[f"{m}-{'-'.join(o)}" for m, o, _ in LAYOUTS])
def test_non_default_layouts_parse_back_exactly(tmp_path, model, overrides, per_event):
    params = default_params(model, **overrides)
    events = synthesize_events(params, 3, seed=5, windows_per_event=per_event)
    round_trip(tmp_path, params, events, per_chunk=2)


@pytest.mark.parametrize(
    "model,event",
    [
        # windows wrapping past the end of the sample buffer, lower channels with one window more
        ("pellorv3", {1: [(254, [7] * 32), (255, [8] * 32), (0, [9] * 32)], 3: [(254, [1] * 32), (255, [2] * 32)]}),
        # an event with no windows at all
        ("pellorv3", {}),
        ("ovisk_pellor", {}),
        ("vombel96", {}),
        # lanwev channels whose first windows were read at different times
        ("lanwev1_evalr2", {0: [(63, [5] * 32, 1000), (0, [6] * 32, 1001)], 5: [(1, [7] * 32, 998)]}),
    ],
)
def test_edge_descriptions_parse_back_exactly(tmp_path, model, event):
    round_trip(tmp_path, default_params(model), [event])


def test_pedestal_file_reads_back_through_the_module(tmp_path):
    params = default_params("vombel96", windows=2, samples=4)
    table = make_pedestals(params, seed=4)
    path = write_acquisition(tmp_path / "p", params, [], pedestals=table, pickle_protocol=2)
    acq = brimoacq.Acquisition(str(path))
    assert acq.pedestals_calibration == {"data": table}
    assert acq.timing_calibration is None


def csv_cells(path, channel):
    """(window, time, value) of every filled row of one channel, per event of an exported CSV file."""
    import csv

    events = {}
    with open(path, newline="") as f:
        for row in csv.DictReader(f):
            if row.get(f"data_ch{channel}", ""):
                cell = (float(row[f"windnum_ch{channel}"]), float(row[f"time_ch{channel}"]),
                        np.float32(row[f"data_ch{channel}"]))
                events.setdefault(int(row["evt_num"]), []).append(cell)
    return {e: sorted(cells) for e, cells in events.items()}


@pytest.mark.parametrize("model", ["vombel96", "pellorv3", "lanwev2_evalr1"])
def test_exported_csv_holds_the_pedestal_corrected_samples(tmp_path, model):
    params = default_params(model, channels=8) if model != "vombel96" else default_params(model, windows=2)
    table = make_pedestals(params, seed=9)
    events = synthesize_events(params, 4, seed=9, pedestals=table)
    path = write_acquisition(tmp_path / "run", params, events, pedestals=table)
    (tmp_path / "out").mkdir()
    brimoacq.export_csv(brimoacq.Acquisition(str(path)), range(4), str(tmp_path / "out"), True)
    exported = tmp_path / "out" / "run (chunk 0).csv"
    expected = [correct_expected(expected_event(params, e), table, params) for e in events]
    for c in range(params["channels"] if model != "vombel96" else 8):
        want = {
            n: sorted(zip([float(w) for w in ev["window_labels"][c] for _ in range(params["samples"])],
                          map(float, ev["time"][c]), np.float32(ev["data"][c])))
            for n, ev in enumerate(expected) if ev["data"][c]
        }
        assert csv_cells(exported, c) == want, f"channel {c}"
