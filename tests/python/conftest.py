"""Writes real acquisition directories for the tests: metadata.yml, chunk files with their index files
and optional calibration files, with pellorv3 packets built word by word."""

import gzip
import pickle
import struct

import pytest

import brimoacq


def pellorv3_packet(windows, header=(0x1234, 0x5678, 0x9ABC), footer=0xFFFF):
    """A big-endian pellorv3 packet with the default layout: three header words, then per window one
    header word (channel in bits 9-10, window number in bits 1-8) and its samples (bits 1-12), then one
    footer word. `windows` is a list of (channel, window, samples)."""
    words = list(header)
    for channel, window, samples in windows:
        words.append((channel << 9) | (window << 1))
        words.extend((s & 0xFFF) << 1 for s in samples)
    words.append(footer)
    return struct.pack(">%dH" % len(words), *words)


def simple_packet(event, channels=4, samples=4, windows_per_channel=1):
    """A pellorv3 packet whose sample values encode the event number, so that tests can tell events
    apart: channel c, window w, sample k holds (event * 16 + c * 4 + k) mod 4096."""
    wins = []
    for w in range(windows_per_channel):
        for c in range(channels):
            wins.append((c, w, [(event * 16 + c * 4 + k) % 4096 for k in range(samples)]))
    return pellorv3_packet(wins)


def metadata_text(model="pellorv3", channels=4, windows=256, samples=4, extra=None, registers=True):
    lines = ["params:", "  model: %s" % model, "  channels: %d" % channels,
             "  windows: %d" % windows, "  samples: %d" % samples]
    for key, value in (extra or {}).items():
        lines.append("  %s: %s" % (key, value))
    if registers:
        lines += ["registers:", "  reg0: 1", "  reg1: 2"]
    return "\n".join(lines) + "\n"


def write_chunk(path, n, packets):
    index = bytearray()
    data = bytearray()
    for p in packets:
        index += struct.pack("<II", len(data), len(p))
        data += p
    (path / ("%d.bin" % n)).write_bytes(bytes(data))
    (path / ("%d.idx" % n)).write_bytes(bytes(index))


def write_acquisition(path, chunks=(), metadata=None, misc=None, **params):
    """Creates the acquisition directory `path`. `chunks` is a list of lists of packets; `misc` maps a
    calibration file name to a Python object stored as a gzip-compressed pickle (or to raw bytes)."""
    path.mkdir(parents=True, exist_ok=True)
    (path / "metadata.yml").write_text(metadata if metadata is not None else metadata_text(**params))
    for n, packets in enumerate(chunks):
        write_chunk(path, n, packets)
    for name, value in (misc or {}).items():
        blob = value if isinstance(value, bytes) else gzip.compress(pickle.dumps(value))
        (path / name).write_bytes(blob)
    return path


@pytest.fixture
def make_acq(tmp_path):
    """Factory: make_acq(name, chunks=..., **metadata params) -> path of a new acquisition."""
    def make(name="acq", **kwargs):
        return write_acquisition(tmp_path / name, **kwargs)
    return make


@pytest.fixture
def acq10(make_acq):
    """A pellorv3 acquisition of 10 events in two chunks (6 + 4)."""
    packets = [simple_packet(e) for e in range(10)]
    path = make_acq("run_10", chunks=[packets[:6], packets[6:]])
    return brimoacq.Acquisition(str(path)), packets


@pytest.fixture
def dotdot_acq(make_acq):
    """An Acquisition opened through a path ending in "/..": valid, but without a final name."""
    root = make_acq("parent")
    (root / "child").mkdir()
    return brimoacq.Acquisition(str(root / "child") + "/..")
