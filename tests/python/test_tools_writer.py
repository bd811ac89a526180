import gzip
import pickle
import struct

import brimoacq
import numpy as np
import pytest
import yaml

from brimoacq_tools import MODELS
from brimoacq_tools.writer import (correct_expected, default_params, encode_event, expected_event,
                                   make_pedestals, synthesize_events, write_acquisition, write_synthetic)


def test_layout_defaults_come_from_the_parsers_for_every_model():
    defaults = brimoacq._layout_defaults()
    assert set(defaults) == set(MODELS)
    # model values that share a parser share its table
    assert defaults["mirranv2"] == defaults["pellorv3"] and defaults["ovisk_mirran"] == defaults["ovisk_pellor"]
    assert defaults["lanwev2_eval"]["stop_word"] == 0xFA5A and defaults["quarvelv3"]["chanmask"] == 0x0C00


def words_be(packet):
    return list(struct.unpack(f">{len(packet) // 2}H", packet[: len(packet) // 2 * 2]))


def words_le(packet):
    return list(struct.unpack(f"<{len(packet) // 2}H", packet[: len(packet) // 2 * 2]))


def read_index(path):
    raw = path.read_bytes()
    return [struct.unpack_from("<II", raw, 8 * i) for i in range(len(raw) // 8)]


# --- packet layouts, checked against worked examples of each board's format -------------------------------

S4 = [1, 2, 3, 4]

PACKETS = [
    # pellorv3: 3 header words, windows of header + S samples, 1 footer word; header 0x0202 = channel 1 window 1
    ("pellorv3", dict(channels=4, windows=8, samples=4), {0: [(0, S4)], 1: [(1, S4)]},
     lambda p: len(p) == 28 and words_be(p)[3] == 0x0000 and words_be(p)[8] == 0x0202
     and words_be(p)[4:8] == [2, 4, 6, 8]),
    # mirranv2 packets are pellorv3 packets
    ("mirranv2", dict(channels=4, windows=8, samples=4), {2: [(2, S4)]},
     lambda p: words_be(p)[3] == 0x0404),
    # pellorv3s: 4 channels x 1 window of S=4 is 48 bytes; header 0x0305 = channel 3 window 5
    ("pellorv3s", dict(channels=4, windows=8, samples=4), {c: [(5, S4)] for c in range(4)},
     lambda p: len(p) == 48 and words_be(p)[3 + 15] == 0x0305),
    # quarvelv3: 4 channels x 2 windows of S=4 is 92 bytes, one extra word per window block
    ("quarvelv3", dict(channels=4, windows=8, samples=4), {c: [(3, S4), (4, S4)] for c in range(4)},
     lambda p: len(p) == 92 and words_be(p)[3 + 15] == 0x0C06 and words_be(p)[3 + 5:3 + 10][1:] == [2, 4, 6, 8]),
    # lanwev: 37-word window packets ending in the stop word; timing 0xABCDEF = words 0x0ABC, 0x0DEF
    ("lanwev2_eval", dict(channels=4, windows=64, samples=32), {1: [(7, range(1, 33), 0xABCDEF)]},
     lambda p: len(p) == 74 and words_be(p)[:4] == [1, 0x0ABC, 0x0DEF, 7] and words_be(p)[36] == 0xFA5A),
    # ovisk: chip blocks split by the stop word, a final unexamined word; channel 5 = chip 1, channel 1 in chip
    ("ovisk_mirran", dict(channels=8, windows=256, samples=4), {5: [(5, S4)], 0: [(2, [5, 6, 7, 8])]},
     lambda p: words_be(p) == [0, 0, 0, 0x0002, 5, 6, 7, 8, 0xFFFF, 0x1000, 0, 0, 0x0105, 1, 2, 3, 4, 0xFFFF]),
    # skerd16: 1 header byte, little-endian words from byte 1, 1090 + 1 bytes for 16 x 4 x 8; header 0x0301 is
    # channel 3 with windows 1, 2, 3, 0; samples one's-complemented
    ("skerd16", dict(channels=16, windows=4, samples=8),
     {c: [((k + (c == 3)) % 4, [0] * 8) for k in range(4)] for c in range(16)},
     lambda p: len(p) == 1091 and words_le(p[1:])[3 * 34] == 0x0301 and words_le(p[1:])[1] == 0xFFFF),
    # vombel96: channel 37 sits in chip 2 as channel 5; header 0x0503 names first window 3
    ("vombel96", dict(channels=96, windows=4, samples=2),
     {c: [(((3 if c == 37 else 0) + k) % 4, [1023, 0]) for k in range(4)] for c in range(96)},
     lambda p: len(p) == 6 * (4 + 32 * 10) + 2 and p[2 * 324] == 2
     and words_le(p[2 * 324 + 1:])[5 * 10] == 0x0503 and words_le(p[1:])[1:3] == [0xFC00, 0xFFFF]),
    # kivro: 290-byte board blocks of four windows plus a 4-byte trailer; channel 11 = board 2, channel 3
    ("kivro", dict(channels=12, windows=64, samples=32), {c: [(0x1234, [258] * 32)] for c in range(8, 12)},
     lambda p: len(p) == 294 and words_be(p)[0] == 2 and words_be(p)[7 + 3 * 34:7 + 3 * 34 + 3] == [0x1234, 3, 258]),
]


@pytest.mark.parametrize("model,sizes,event,check", PACKETS, ids=[p[0] for p in PACKETS])
def test_packet_layout(model, sizes, event, check):
    packet = encode_event(dict(model=model, **sizes), event)
    assert check(packet), packet.hex()


def test_expected_event_shapes_and_time_axes():
    # pellorv3 windows wrapping past the end of the buffer continue the time axis
    p = dict(model="pellorv3", channels=2, windows=8, samples=4)
    ev = expected_event(p, {1: [(6, S4), (7, S4), (0, S4)]})
    assert ev["time"] == [[], list(range(12))]
    assert ev["data"][1] == [1.0, 2.0, 3.0, 4.0] * 3 and ev["timing"] is None and ev["ecc_errors"] is None
    # lanwev time axes are offset by the difference of the first timing values, in windows
    p = dict(model="lanwev1_evalr2", channels=2, windows=64, samples=32)
    win = list(range(1, 33))
    ev = expected_event(p, {0: [(0, win, 100), (1, win, 101)], 1: [(0, win, 102), (1, win, 103)]})
    assert ev["time"] == [list(range(64)), list(range(64, 128))]
    assert ev["timing"] == [[100, 101], [102, 103]]
    # vombel96 always has 96 channels; channels at or above "channels" get no time axis
    p = dict(model="vombel96", channels=48, windows=2, samples=1)
    ev = expected_event(p, {c: [(1, [5]), (0, [6])] for c in range(40, 48)} | {c: [(0, [1]), (1, [2])] for c in range(88, 96)})
    assert len(ev["data"]) == 96 and ev["ecc_errors"] == [[]] * 96
    assert ev["time"][40] == [0, 1] and ev["time"][90] == [] and ev["window_labels"][90] == [0, 1]


# --- refusals ---------------------------------------------------------------------------------------------

W32 = list(range(1, 33))

REFUSALS = [
    ("pellorv3", {}, {0: [(0, [1] * 32)], 1: [(1, [1] * 32), (2, [1] * 32)]}, "round-robin"),
    ("pellorv3", {}, {0: [(0, [4096] + [1] * 31)]}, "does not fit"),
    ("pellorv3", {}, {4: [(0, [1] * 32)]}, "not below the channel count"),
    ("pellorv3", {}, {0: [(0, [1] * 31)]}, "carry 32 samples"),
    ("pellorv3", {"n_footers": 0}, {0: [(0, [1] * 32)]}, "past the end"),
    ("pellorv3", {}, {0: [(256, [1] * 32)]}, "window number 256 does not fit"),
    ("pellorv3s", {}, {0: [(0, W32)] * 64}, "1 to windows - 1"),
    ("pellorv3s", {"windows": 8, "samples": 4}, {0: [(0, S4)] * 2, 1: [(0, S4)] * 2}, "would be read as"),
    ("quarvelv3", {"windows": 8, "samples": 4}, {0: [(0, S4)] * 7}, "would be read as"),
    ("quarvelv3", {}, {0: [(0, W32)], 1: [(0, W32)] * 2}, "same number of windows"),
    ("quarvelv3", {"n_event_headers": 4}, {0: [(0, W32)]}, "length table"),
    ("lanwev2_evalr1", {}, {0: [(0, [0] * 32)]}, "all-zero"),
    ("lanwev2_evalr1", {}, {0: [(0, [0xFA5A] + [1] * 31)]}, "stop word"),
    ("lanwev2_evalr1", {"stop_word": "0"}, {0: [(0, [1] * 32)]}, "stop word"),
    ("lanwev2_evalr1", {}, {}, "at least one window"),
    ("lanwev2_evalr1", {"samples": 33}, {0: [(0, [1] * 33)]}, "do not fit"),
    ("lanwev2_evalr1", {}, {0: [(0, W32, 1 << 24)]}, "timing"),
    ("lanwev2_evalr1", {}, {64: [(0, W32)]}, "channel"),
    ("ovisk_pellor", {"channels": 16}, {5: [(0, W32)]}, "cannot be named"),
    ("ovisk_pellor", {"num_chips": 0}, {0: [(0, W32)]}, "num_chips"),
    ("ovisk_pellor", {"databitmask": 0xFFFF}, {0: [(0, [0xFFFF] * 32)]}, "stop word"),
    ("skerd16", {}, {0: [(0, [1] * 16)] * 8}, "cyclically"),
    ("skerd16", {}, {0: [(k, [1] * 16) for k in range(8)]}, "exactly \"channels\""),
    ("skerd16", {}, {c: [(k, [1] * 16) for k in range(7)] for c in range(16)}, "all 8 windows"),
    ("vombel96", {}, {c: [(k, [1] * 32) for k in range(4)] for c in range(8)}, "whole chips"),
    ("vombel96", {}, {0: [(k, [1024] * 32) for k in range(4)]}, "does not fit"),
    ("vombel96", {"channels": 97}, {}, "at most 96"),
    ("kivro", {}, {0: [(0, W32)] * 3}, "exactly 4 windows"),
    ("kivro", {"n_window_headers": 1}, {c: [(0, W32)] for c in range(4)}, "below 2"),
    ("kivro", {"n_footer_words": 2}, {c: [(0, W32)] for c in range(4)}, "whole number of windows"),
]


@pytest.mark.parametrize("model,overrides,event,match", REFUSALS, ids=[f"{r[0]}-{r[3]}" for r in REFUSALS])
def test_refuses_what_the_board_cannot_carry(model, overrides, event, match):
    with pytest.raises(ValueError, match=match):
        encode_event(default_params(model, **overrides), event)


@pytest.mark.parametrize(
    "params,event,match",
    [
        (dict(model="pellorv4", channels=1, windows=1, samples=1), {}, "unsupported board model"),
        (dict(model="pellorv3", channels=-1, windows=1, samples=1), {}, "'channels' must be"),
        (dict(model="pellorv3", channels=4, windows=8), {}, "lack 'samples'"),
        (dict(model="pellorv3", channels=4, windows=8, samples=True), {}, "'samples' must be"),
        (dict(model="pellorv3", channels=4, windows=8, samples=1), {0: [(0, [1.5])]}, "whole numbers"),
        (dict(model="pellorv3", channels=4, windows=8, samples=1), {0: [(0, [-1])]}, "0 to 65535"),
        (dict(model="pellorv3", channels=4, windows=8, samples=1), {0: [(0, [1], 3)]}, "only lanwev"),
        (dict(model="pellorv3", channels=4, windows=8, samples=1), {0: [5]}, "a window is"),
    ],
)
def test_refuses_bad_params_and_descriptions(params, event, match):
    with pytest.raises(ValueError, match=match):
        encode_event(params, event)


# --- synthetic events and the acquisition directory --------------------------------------------------------


@pytest.mark.parametrize("model", MODELS)
def test_synthetic_events_encode_and_stay_in_range(model):
    params = default_params(model)
    table = make_pedestals(params, seed=3)
    events = synthesize_events(params, 5, seed=3, pedestals=table, pulse_probability=1.0)
    assert events == [] or all(events)
    for event in events:
        encode_event(params, event)
        values = np.concatenate([w.samples for wins in event.values() for w in wins])
        assert values.min() >= 1  # never all zero, never below the baseline floor
    again = synthesize_events(params, 5, seed=3, pedestals=table, pulse_probability=1.0)
    assert [encode_event(params, e) for e in again] == [encode_event(params, e) for e in events]


def test_acquisition_directory_layout(tmp_path):
    params = default_params("pellorv3")
    events = synthesize_events(params, 7, seed=5)
    raw = [b"", b"\x01\x02\x03"]
    table = make_pedestals(params, seed=5)
    path = write_acquisition(tmp_path / "run_1", params, events + raw, events_per_chunk=3, pedestals=table,
                             registers={"gain": 2})
    packets = [encode_event(params, e) for e in events] + raw
    assert sorted(p.name for p in path.iterdir()) == sorted(
        ["metadata.yml", "pedestals_calibration"] + [f"{n}.{x}" for n in range(3) for x in ("bin", "idx")])
    read_back = []
    for n in range(3):
        data = (path / f"{n}.bin").read_bytes()
        entries = read_index(path / f"{n}.idx")
        assert entries[0][0] == 0 and sum(length for _, length in entries) == len(data)
        read_back += [data[off:off + length] for off, length in entries]
    assert read_back == packets
    meta = yaml.safe_load((path / "metadata.yml").read_text())
    assert meta == {"params": params, "registers": {"gain": 2}}
    assert pickle.loads(gzip.decompress((path / "pedestals_calibration").read_bytes())) == {"data": table}


def test_no_events_no_chunks_and_overwrite_rules(tmp_path):
    params = default_params("kivro")
    path = write_acquisition(tmp_path / "a", params, synthesize_events(params, 5, seed=1), events_per_chunk=1,
                             pedestals=make_pedestals(params))
    with pytest.raises(FileExistsError):
        write_acquisition(path, params, [])
    write_acquisition(path, params, [], overwrite=True)
    # stale chunks would otherwise still be counted as part of the new acquisition
    assert sorted(p.name for p in path.iterdir()) == ["metadata.yml"]
    (tmp_path / "f").write_text("x")
    with pytest.raises(FileExistsError):
        write_acquisition(tmp_path / "f", params, [])


def test_pedestal_correction_matches_float32_subtraction():
    params = dict(model="pellorv3", channels=1, windows=2, samples=2)
    expected = {"data": [[100.0, 100.0, 100.0, 100.0]], "window_labels": [[1, 0]], "time": [[0, 1, 2, 3]],
                "timing": None, "ecc_errors": None}
    table = [[[10.0, 20.0], [30.0, 40.0]]]
    assert correct_expected(expected, table, params)["data"] == [[70.0, 60.0, 90.0, 80.0]]
    assert correct_expected(expected, [[[0.1, 0.1], [0.1, 0.1]]], params)["data"][0][0] == float(
        np.float32(100.0) - np.float32(0.1))
    assert correct_expected(dict(expected, window_labels=[[2, 0]]), table, params) is None
    assert correct_expected(expected, [], params) is None


def test_write_synthetic_describes_what_it_wrote(tmp_path):
    acq = write_synthetic(tmp_path / "demo", model="skerd16", events=4, seed=2, events_per_chunk=3)
    assert acq.params["model"] == "skerd16" and len(acq.events) == 4
    entries = read_index(tmp_path / "demo" / "0.idx") + read_index(tmp_path / "demo" / "1.idx")
    assert len(entries) == 4 and acq.pedestals == make_pedestals(acq.params, seed=2)


# --- vombel96 error-correcting code words ----------------------------------------------------------------


@pytest.fixture(scope="module")
def full_size_vombel96():
    """One full-size vombel96 event (4096 sample words per channel block), encoded with code words."""
    params = default_params("vombel96", windows=128, samples=32)
    event = synthesize_events(params, 1, seed=4)[0]
    return params, event, encode_event(params, event)


@pytest.mark.parametrize("flips", [
    [],                                                 # written words are clean code words
    [(0, 0, 3)],                                        # data bit of the first word of channel 0
    [(0, 4095, 9), (95, 4095, 13)],                     # last word of the first and the last channel
    [(17, 64, 10), (40, 7, 0), (63, 2000, 12)],         # check bits and data bits across chips
])
def test_code_words_pass_ecc_check_and_flipped_bits_are_found_and_corrected(full_size_vombel96, flips):
    brimoacq = pytest.importorskip("brimoacq")
    from brimoacq_tools import ecc_word_offset, flip_bits

    params, event, packet = full_size_vombel96
    assert len(packet) == 786842
    offsets = [(ecc_word_offset(c, w), bit) for c, w, bit in flips]
    bad = flip_bits(packet, offsets)
    records = brimoacq.ecc_check(bad)
    assert [(r[1], r[4], r[5]) for r in records] == sorted((o, bit, 1) for o, bit in offsets)
    assert [r[0] for r in records] == [2 * w for c, w, bit in sorted(flips)]
    assert bytes(brimoacq.ecc_correct(bad)) == packet


def test_code_words_keep_samples_and_are_on_for_full_size_events_only(full_size_vombel96, tmp_path):
    brimoacq = pytest.importorskip("brimoacq")
    params, event, packet = full_size_vombel96
    plain = encode_event(params, event, ecc=False)
    assert plain != packet and len(plain) == len(packet)
    write_acquisition(tmp_path / "a", params, [packet])
    assert brimoacq.Acquisition(str(tmp_path / "a")).parsed_event(0) == expected_event(params, event)
    small = default_params("vombel96")  # 128 samples per channel block: not what ecc_check examines
    desc = synthesize_events(small, 1)[0]
    assert encode_event(small, desc) == encode_event(small, desc, ecc=False) != encode_event(small, desc, ecc=True)
    with pytest.raises(ValueError, match="only vombel96"):
        encode_event(default_params("skerd16"), synthesize_events(default_params("skerd16"), 1)[0], ecc=True)
