"""Parsed events as dicts: keys, values and types per model, and parse failures."""

import struct

import pytest

import brimoacq

from conftest import pellorv3_packet

KEYS = ["data", "window_labels", "time", "timing", "ecc_errors"]


def words(*ws):
    return struct.pack(">%dH" % len(ws), *ws)


def parsed(make_acq, packet, **params):
    acq = brimoacq.Acquisition(make_acq(chunks=[[packet]], **params))
    return acq.parsed_event(0)


def test_pellorv3_dict(make_acq):
    # 3 header words, windows 0x0000 (channel 0, window 0) and 0x0202 (channel 1, window 1) of four
    # samples each, one footer word; sample word 0x0FFF holds 2047.
    packet = words(1, 2, 3, 0x0000, 0x0FFF, 2, 4, 6, 0x0202, 8, 10, 12, 14, 0xFFFF)
    event = parsed(make_acq, packet, channels=3, samples=4)
    assert list(event) == KEYS
    assert event["data"] == [[2047.0, 1.0, 2.0, 3.0], [4.0, 5.0, 6.0, 7.0], []]
    assert event["window_labels"] == [[0], [1], []]
    assert event["time"] == [[0, 1, 2, 3], [0, 1, 2, 3], []]
    assert event["timing"] is None and event["ecc_errors"] is None
    assert type(event["data"][0][0]) is float
    assert type(event["window_labels"][1][0]) is int and type(event["time"][0][3]) is int


def test_values_beyond_the_small_int_range(make_acq):
    # Channel 0 reads windows 200 and 201 of 300 samples: time values run up to 601.
    samples = list(range(300))
    packet = pellorv3_packet([(0, 200, samples), (0, 201, samples)])
    event = parsed(make_acq, packet, channels=1, samples=300, windows=256)
    assert event["window_labels"] == [[200, 201]]
    assert event["time"] == [list(range(600))]
    assert event["data"] == [[float(s) for s in samples] * 2]


def test_each_call_builds_a_new_dict(make_acq):
    acq = brimoacq.Acquisition(make_acq(chunks=[[pellorv3_packet([(0, 0, [1, 2])])]], samples=2))
    first = acq[0]
    first["data"][0].append(99.0)
    second = acq[0]
    assert second["data"] == [[1.0, 2.0], [], [], []]
    assert second["time"] is not first["time"]


@pytest.mark.parametrize("packet, params, message", [
    (pellorv3_packet([(0, 0, [1, 2, 3, 4])])[:-1], {}, "unexpected length of data"),
    (b"", {}, "required data missing when parsing"),
    (pellorv3_packet([(3, 0, [1, 2, 3, 4])]), {"channels": 2}, "invalid channel number"),
    (pellorv3_packet([(0, 0, [1, 2, 3, 4])]), {"model": "pellorv3_future"},
     "data is from an unsupported board model"),
    (b"\x00", {"model": "PELLORV3"}, "data is from an unsupported board model"),
])
def test_parse_failures(make_acq, packet, params, message):
    acq = brimoacq.Acquisition(make_acq(chunks=[[packet]], **params))
    for fetch in (lambda: acq.parsed_event(0), lambda: acq[0], lambda: acq[0:1]):
        with pytest.raises(Exception) as info:
            fetch()
        assert type(info.value).__name__ == "ParsingError"
        assert str(info.value) == "Failed to parse event: " + message
    assert list(acq) == []
