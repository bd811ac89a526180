"""Acquisition.parsed_event on an event of 96 x 4096 samples against the cost of producing that many
Python floats at all: numpy.frombuffer(...).astype(numpy.float32).tolist() on the same sample count,
measured side by side in one run. Prints the ratio; the target is at most 1.3.

Run with the module on the path: PYTHONPATH=<module build dir> python3 bench/bench_parsed_event.py
"""

import gc
import pathlib
import struct
import sys
import tempfile
import time

import numpy

import brimoacq

SAMPLES = 96 * 4096
# A pellorv3 event of the same sample count: 4 channels, each reading 384 windows of 256 samples from a
# ring of 16 windows, so that, as on a 4096-sample board, each channel's time axis runs over 0..4095.
CHANNELS, READ, RING, S = 4, 384, 16, 256
assert CHANNELS * READ * S == SAMPLES


def pellorv3_event():
    words = [0x1234, 0x5678, 0x9ABC]
    for w in range(READ):
        for c in range(CHANNELS):
            words.append((c << 9) | ((w % RING) << 1))
            words.extend(((w * 7 + c * 3 + k) & 0xFFF) << 1 for k in range(S))
    words.append(0xFFFF)
    return struct.pack(">%dH" % len(words), *words)


def write_acquisition(root):
    packet = pellorv3_event()
    (root / "metadata.yml").write_text(
        "params:\n  model: pellorv3\n  channels: %d\n  windows: %d\n  samples: %d\nregisters: {}\n"
        % (CHANNELS, RING, S))
    (root / "0.bin").write_bytes(packet)
    (root / "0.idx").write_bytes(struct.pack("<II", 0, len(packet)))


def best_of(fn, repeats):
    best = float("inf")
    for _ in range(repeats):
        gc.collect()
        start = time.perf_counter()
        result = fn()
        del result  # freeing the objects is part of the cost in both cases
        best = min(best, time.perf_counter() - start)
    return best


def main():
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 15
    with tempfile.TemporaryDirectory() as d:
        root = pathlib.Path(d)
        write_acquisition(root)
        acq = brimoacq.Acquisition(root)
        event = acq.parsed_event(0)
        assert sum(len(ch) for ch in event["data"]) == SAMPLES
        raw = numpy.arange(SAMPLES, dtype=numpy.uint16).tobytes()
        baseline_fn = lambda: numpy.frombuffer(raw, dtype=numpy.uint16).astype(numpy.float32).tolist()
        parsed_fn = lambda: acq.parsed_event(0)
        baseline_fn(), parsed_fn()  # warm up
        baseline, parsed = [], []
        for _ in range(3):  # interleaved rounds, so that machine load affects both alike
            baseline.append(best_of(baseline_fn, repeats))
            parsed.append(best_of(parsed_fn, repeats))
        b, p = min(baseline), min(parsed)
        print("samples per event:          %d" % SAMPLES)
        print("numpy tolist (baseline):    %.2f ms" % (b * 1e3))
        print("parsed_event:               %.2f ms" % (p * 1e3))
        print("ratio parsed_event/baseline: %.2f (target <= 1.30)" % (p / b))


if __name__ == "__main__":
    main()
