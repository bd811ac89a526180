"""Parsed events as dicts: keys, values and types per model, and parse failures."""

import struct

import pytest

import brimoacq

from brimoacq_tools.writer import encode_event
from conftest import pellorv3_packet, pellorv3_params, simple_packet

KEYS = ["data", "window_labels", "time", "timing", "ecc_errors"]


def words(*ws):
    return struct.pack(">%dH" % len(ws), *ws)


def parsed(make_acq, packet, **params):
    acq = brimoacq.Acquisition(make_acq(chunks=[[packet]], **params))
    return acq.parsed_event(0)


@pytest.mark.parametrize("model", ["pellorv3", "mirranv2"])   # mirranv2 reads pellorv3 packets
def test_pellorv3_dict(make_acq, model):
    # 3 header words, windows 0x0000 (channel 0, window 0) and 0x0202 (channel 1, window 1) of four
    # samples each, one footer word; sample word 0x0FFF holds 2047.
    packet = words(1, 2, 3, 0x0000, 0x0FFF, 2, 4, 6, 0x0202, 8, 10, 12, 14, 0xFFFF)
    event = parsed(make_acq, packet, model=model, channels=3, samples=4)
    assert list(event) == KEYS
    assert event["data"] == [[2047.0, 1.0, 2.0, 3.0], [4.0, 5.0, 6.0, 7.0], []]
    assert event["window_labels"] == [[0], [1], []]
    assert event["time"] == [[0, 1, 2, 3], [0, 1, 2, 3], []]
    assert event["timing"] is None and event["ecc_errors"] is None
    assert type(event["data"][0][0]) is float
    assert type(event["window_labels"][1][0]) is int and type(event["time"][0][3]) is int


def lanwev_window(channel, timing_high, timing_low, window, samples, stop=0xFA5A):
    return words(channel, timing_high, timing_low, window, *samples, stop)


@pytest.mark.parametrize("model", ["lanwev1_evalr2", "lanwev2_eval", "lanwev2_evalr1", "lanwev2_evalr2"])
def test_lanwev_dict_carries_timing(make_acq, model):
    # Window packets of 37 words: channel, two timing words, window word, 32 samples, stop word.
    samples = list(range(1, 33))
    packet = (lanwev_window(0, 0x001, 0x002, 5, samples)
              + lanwev_window(1, 0xFFF, 0xFFF, 6, samples)
              + lanwev_window(0, 0x001, 0x003, 6, samples))
    event = parsed(make_acq, packet, model=model, channels=2, samples=32, windows=64)
    assert list(event) == KEYS
    assert event["timing"] == [[0x1002, 0x1003], [0xFFFFFF]]   # 24-bit values beyond 16 bits
    assert event["window_labels"] == [[5, 6], [6]]
    assert event["data"] == [[float(s) for s in samples] * 2, [float(s) for s in samples]]
    assert event["ecc_errors"] is None


def test_vombel96_dict_has_ecc_errors_per_channel(make_acq):
    params = dict(model="vombel96", channels=1, windows=1, samples=1, num_chips=1)
    event = parsed(make_acq, encode_event(params, {0: [(0, [5])]}), **params)
    assert list(event) == KEYS
    assert event["ecc_errors"] == [[] for _ in range(96)]
    assert event["timing"] is None
    assert len(event["data"]) == 96
    assert event["data"][0] == [5.0] and event["window_labels"][0] == [0] and event["time"][0] == [0]


def test_values_beyond_the_small_int_range(make_acq):
    # Channel 0 reads windows 200 and 201 of 300 samples: time values run up to 601.
    samples = list(range(300))
    params = pellorv3_params(channels=1, samples=300)
    event = parsed(make_acq, encode_event(params, {0: [(200, samples), (201, samples)]}), **params)
    assert event["window_labels"] == [[200, 201]]
    assert event["time"] == [list(range(600))]
    assert event["data"] == [[float(s) for s in samples] * 2]


def test_each_call_builds_a_new_dict(make_acq):
    packet = encode_event(pellorv3_params(samples=2), {0: [(0, [1, 2])]})
    acq = brimoacq.Acquisition(make_acq(chunks=[[packet]], samples=2))
    first = acq[0]
    first["data"][0].append(99.0)
    second = acq[0]
    assert second["data"] == [[1.0, 2.0], [], [], []]
    assert second["time"] is not first["time"]


@pytest.mark.parametrize("packet, params, message", [
    (simple_packet(0)[:-1], {}, "unexpected length of data"),
    (b"", {}, "required data missing when parsing"),
    (pellorv3_packet([(3, 0, [1, 2, 3, 4])]), {"channels": 2}, "invalid channel number"),
    (simple_packet(0), {"model": "pellorv3_future"}, "data is from an unsupported board model"),
    (b"\x00", {"model": "PELLORV3"}, "data is from an unsupported board model"),
], ids=["odd length", "empty", "channel", "future model", "model case"])
def test_parse_failures(make_acq, packet, params, message):
    acq = brimoacq.Acquisition(make_acq(chunks=[[packet]], **params))
    types = set()
    for fetch in (lambda: acq.parsed_event(0), lambda: acq[0], lambda: acq[0:1]):
        with pytest.raises(Exception) as info:
            fetch()
        types.add(type(info.value))
        assert info.value.args == ("Failed to parse event: " + message,)
    [error] = types   # one type, the same every time
    assert (error.__name__, error.__module__, error.__bases__) == ("ParsingError", "acquisition", (Exception,))
    assert list(acq) == []
