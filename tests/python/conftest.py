"""Acquisition directories for the tests, written with brimoacq_tools.writer. `pellorv3_packet` builds
packets word by word for the bytes the writer will not produce (malformed or hand-checked packets)."""

import gzip
import pickle
import struct
import sys
from pathlib import Path

import pytest
import yaml

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "python"))

import brimoacq  # noqa: E402
from brimoacq_tools import MODELS  # noqa: E402
from brimoacq_tools.writer import encode_event, write_acquisition as write_packets  # noqa: E402

# Tests that look at CPython internals (reference counts, collector thresholds and callbacks, the C
# API through ctypes, descriptor docstrings) rather than at the module's behaviour; PyPy's C-API layer
# does not offer these.
cpython_only = pytest.mark.skipif(sys.implementation.name != "cpython",
                                  reason="relies on CPython internals")

REGISTERS = {"reg0": 1, "reg1": 2}


def pellorv3_params(**overrides):
    return {"model": "pellorv3", "channels": 4, "windows": 256, "samples": 4, **overrides}


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
    values = {c: [(event * 16 + c * 4 + k) % 4096 for k in range(samples)] for c in range(channels)}
    return encode_event(pellorv3_params(channels=channels, samples=samples),
                        {c: [(w, v) for w in range(windows_per_channel)] for c, v in values.items()})


def write_acquisition(path, chunks=(), metadata=None, misc=None, registers=True, **params):
    """Creates the acquisition directory `path` of pellorv3 params (overridden by keywords). `chunks` is a
    list of lists of packets, all but the last of equal length. A `metadata` text replaces metadata.yml,
    as does a model the writer does not know or `registers=False` (no "registers" section). `misc` maps a
    calibration file name to a Python object stored as a gzip-compressed pickle (or to raw bytes)."""
    params = pellorv3_params(**params)
    packets = [p for chunk in chunks for p in chunk]
    per_chunk = max(len(chunks[0]), 1) if chunks else 1
    assert [len(c) for c in chunks] == [len(packets[i:i + per_chunk]) for i in range(0, len(packets), per_chunk)]
    known = params["model"] in MODELS
    write_packets(path, params if known else pellorv3_params(), packets, events_per_chunk=per_chunk,
                  registers=REGISTERS)
    if metadata is None and not (known and registers):
        metadata = yaml.safe_dump({"params": params, **({"registers": REGISTERS} if registers else {})})
    if metadata is not None:
        (path / "metadata.yml").write_text(metadata)
    for name, value in (misc or {}).items():
        (path / name).write_bytes(value if isinstance(value, bytes) else gzip.compress(pickle.dumps(value)))
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
