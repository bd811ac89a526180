"""Acquisition.parsed_event on a vombel96 event of 96 x 4096 samples against the cost of producing that many
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
# A full vombel96 event with the default layout: six chip blocks of sixteen channel blocks, each
# channel block a header word (channel within the chip in the high byte, first window in the low
# byte), 128 windows of 32 samples stored as their complement, and a footer word.
CHIPS, CHANNELS_PER_CHIP, WINDOWS, S = 6, 16, 128, 32
assert CHIPS * CHANNELS_PER_CHIP * WINDOWS * S == SAMPLES


def vombel96_event():
    packet = bytearray()
    for chip in range(CHIPS):
        packet.append(chip)                       # chip header byte: chip number
        for ch in range(CHANNELS_PER_CHIP):
            first = (chip * 16 + ch) % WINDOWS
            samples = [(~((k * 7 + ch) & 0x3FF)) & 0xFFFF for k in range(WINDOWS * S)]
            packet += struct.pack("<%dH" % (len(samples) + 2), (ch << 8) | first, *samples, 0)
        packet += bytes(3)                        # chip footer
    packet += bytes(2)                            # event footer
    return bytes(packet)


def write_acquisition(root):
    packet = vombel96_event()
    (root / "metadata.yml").write_text(
        "params:\n  model: vombel96\n  channels: %d\n  windows: %d\n  samples: %d\nregisters: {}\n"
        % (CHIPS * CHANNELS_PER_CHIP, WINDOWS, S))
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
