"""Acquisition.parsed_event on a vombel96 event of 96 x 4096 samples against the cost of producing that many
Python floats at all: numpy.frombuffer(...).astype(numpy.float32).tolist() on the same sample count,
measured side by side in one run. Prints the ratio; the target is at most 1.3.

Run with the module on the path: PYTHONPATH=<module build dir>:python python3 bench/bench_parsed_event.py
"""

import gc
import pathlib
import sys
import tempfile
import time

import numpy

import benchlib
import brimoacq

try:
    import brimoacq_tools  # noqa: F401
except ImportError:
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "python"))
from brimoacq_tools.writer import write_acquisition

SAMPLES = 96 * 4096
# A full vombel96 event with the default layout: six chip blocks of sixteen channels, each channel
# carrying all 128 windows of 32 samples from a first window of its own (the channel number); the k-th
# sample of a channel is (7k + its channel within the chip) mod 1024.
CHIPS, CHANNELS_PER_CHIP, WINDOWS, S = 6, 16, 128, 32
assert CHIPS * CHANNELS_PER_CHIP * WINDOWS * S == SAMPLES
PARAMS = {"model": "vombel96", "channels": CHIPS * CHANNELS_PER_CHIP, "windows": WINDOWS, "samples": S}


def vombel96_event():
    event = {}
    for c in range(CHIPS * CHANNELS_PER_CHIP):
        samples = (numpy.arange(WINDOWS * S) * 7 + c % CHANNELS_PER_CHIP) & 0x3FF
        labels = [(c + w) % WINDOWS for w in range(WINDOWS)]
        event[c] = [(label, samples[w * S:(w + 1) * S]) for w, label in enumerate(labels)]
    return event


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
        root = write_acquisition(pathlib.Path(d) / "run", PARAMS, [vombel96_event()])
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
        benchlib.result("parsed_event, full vombel96 event", "%.3g ms" % (p * 1e3), "%.3g ms (numpy tolist)" % (b * 1e3),
                        p / b, "<= 1.3", p / b <= 1.3)


if __name__ == "__main__":
    main()
