"""Bulk array reads against baselines measured in the same run:

- read_pellorv3_vs_loop: Acquisition.read() of 10,000 pellorv3 events in 10 chunks (4 channels x 8 windows x 64
  samples) against `for ev in acq` (target ratio <= 0.1, i.e. at least 10x faster);
- read_pellorv3_vs_numpy: the same read() against a vectorized numpy decode of the same bytes read from the chunk
  files (target ratio <= 1.0);
- read_raw_vs_slicing: Acquisition.read_raw() of 100,000 events in 100 chunks against open().read() of the chunk
  files plus slicing out every packet (target ratio <= 2.0);
- read_vombel96_vs_parsed_event: read() of full vombel96 events (96 x 128 windows x 32 samples) against
  parsed_event, per sample (target ratio <= 0.2, i.e. at least 5x faster);
- read_vombel96_pypy_vs_cpython (with --pypy PYTHON): the same read() under PyPy against this interpreter
  (target ratio <= 1.5); PYTHON must import numpy and find a PyPy build of the module through --pypy-path.

Each figure is the best of several repetitions; each group of figures runs in a fresh process. One line per
figure, the RESULT line of bench/benchlib.py that bench/run.py collects.

Run: PYTHONPATH=<module build dir>:python python3 bench/bench_arrays.py [--quick]
"""

import argparse
import gc
import json
import os
import pathlib
import subprocess
import sys
import tempfile
import time

import numpy as np

import brimoacq

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import benchlib  # noqa: E402

try:
    import brimoacq_tools  # noqa: F401
except ImportError:
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "python"))
from brimoacq_tools.writer import encode_event, write_acquisition


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        gc.collect()
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def report(name, ours, baseline, target):
    ratio = ours / baseline
    benchlib.result(name, f"{ours:.4g} s", f"{baseline:.4g} s", ratio, f"<= {target}", ratio <= target)


# pellorv3: 3 header words, per window one header word (channel bits 9-10, window bits 1-8) and 64 samples
# (bits 1-12), one footer word; all big-endian.
PELLOR = {"model": "pellorv3", "channels": 4, "windows": 256, "samples": 64}


def pellor_packet(seed):
    rng = np.random.default_rng(seed)
    return encode_event(PELLOR, {c: [(int(w), rng.integers(0, 4096, 64).tolist())
                                     for w in rng.choice(256, 8, replace=False)] for c in range(4)})


def pellor_numpy(path, chunks):
    """The whole acquisition decoded with numpy: samples, window numbers and time axis per channel."""
    words = np.concatenate([np.frombuffer(open(path / f"{n}.bin", "rb").read(), dtype=">u2") for n in range(chunks)])
    per_event = 3 + 32 * 65 + 1
    events = words.reshape(-1, per_event)[:, 3:-1].reshape(-1, 32, 65)
    head = events[:, :, 0]
    channel = (head >> 9) & 3
    label = ((head >> 1) & 0xFF).astype(np.uint16)
    order = np.argsort(channel, axis=1, kind="stable")
    label = np.take_along_axis(label, order, axis=1)
    samples = np.take_along_axis(events[:, :, 1:], order[:, :, None], axis=1)
    data = ((samples >> 1) & 0xFFF).astype(np.float32)
    time_axis = ((label[:, :, None].astype(np.uint32) * 64 + np.arange(64, dtype=np.uint32)) & 0xFFFF).astype(np.uint16)
    return data, label, time_axis


def bench_pellorv3(root, quick):
    events = 2000 if quick else 10_000
    packets = [pellor_packet(s) for s in range(50)]
    path = write_acquisition(root / "pellor", PELLOR, [packets[i % 50] for i in range(events)],
                             events_per_chunk=events // 10)
    acq = brimoacq.Acquisition(path)
    repeat = 3 if quick else 7
    ours = best(acq.read, repeat)
    loop = best(lambda: [ev for ev in acq], 1 if quick else 3)
    numpy_time = best(lambda: pellor_numpy(path, 10), repeat)
    report("read_pellorv3_vs_loop", ours, loop, 0.1)
    report("read_pellorv3_vs_numpy", ours, numpy_time, 1.0)


def bench_raw(root, quick):
    events, chunks = (20_000, 20) if quick else (100_000, 100)
    small = {**PELLOR, "samples": 16}
    packets = [encode_event(small, {c: [(w, list(range(16)))] for c in range(4)}) for w in range(20)]
    path = write_acquisition(root / "raw", small, [packets[i % 20] for i in range(events)],
                             events_per_chunk=events // chunks)
    acq = brimoacq.Acquisition(path)

    def baseline():
        out = []
        for n in range(chunks):
            with open(path / f"{n}.idx", "rb") as f:
                index = np.frombuffer(f.read(), dtype="<u8")
            with open(path / f"{n}.bin", "rb") as f:
                data = f.read()
            for off, length in zip((index & 0xFFFFFFFF).tolist(), (index >> 32).tolist()):
                out.append(data[off:off + length])
        return out

    repeat = 3 if quick else 7
    report("read_raw_vs_slicing", best(acq.read_raw, repeat), best(baseline, repeat), 2.0)


VOMBEL = {"model": "vombel96", "channels": 96, "windows": 128, "samples": 32}


def vombel_event(seed):
    event = {}
    for c in range(96):
        samples = (np.arange(128 * 32) * 7 + c % 16 + seed) & 0x3FF
        event[c] = [(((c + w) % 128), samples[w * 32:(w + 1) * 32].tolist()) for w in range(128)]
    return event


def vombel_path(root, events):
    packets = [encode_event(VOMBEL, vombel_event(s)) for s in range(4)]
    return write_acquisition(root / "vombel", VOMBEL, [packets[i % 4] for i in range(events)], events_per_chunk=8)


def bench_vombel(root, quick, pypy, pypy_path):
    events = 8 if quick else 32
    path = vombel_path(root, events)
    acq = brimoacq.Acquisition(path)
    repeat = 3 if quick else 5
    ours = best(acq.read, repeat)
    loop = best(lambda: [acq.parsed_event(i) for i in range(events)], 1 if quick else 3)
    report("read_vombel96_vs_parsed_event", ours, loop, 0.2)
    if pypy:
        env = {**os.environ, "PYTHONPATH": pypy_path}
        code = ("import sys,json,time,gc,brimoacq; a=brimoacq.Acquisition(sys.argv[1]); a.read(); t=[]\n"
                "for _ in range(int(sys.argv[2])):\n gc.collect(); t0=time.perf_counter(); a.read(); "
                "t.append(time.perf_counter()-t0)\nprint(json.dumps(min(t)))")
        got = subprocess.run([pypy, "-c", code, str(path), str(repeat)], env=env, capture_output=True, text=True)
        if got.returncode != 0:
            print(f"read_vombel96_pypy_vs_cpython skipped: {got.stderr.strip().splitlines()[-1:]}", flush=True)
        else:
            report("read_vombel96_pypy_vs_cpython", json.loads(got.stdout), ours, 1.5)


GROUPS = ("pellorv3", "raw", "vombel96")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="smaller acquisitions and fewer repetitions")
    parser.add_argument("--pypy", help="a PyPy interpreter with numpy, for the PyPy figure")
    parser.add_argument("--pypy-path", default="build-pypy:python", help="PYTHONPATH for --pypy")
    parser.add_argument("--only", choices=GROUPS, help="run one group of figures in this process")
    args = parser.parse_args()
    args.quick = args.quick or benchlib.quick()
    if args.only is None:
        # Each group in a process of its own, so that what one group leaves behind (a large heap, memory
        # not yet returned) does not weigh on the next one's figures.
        for group in GROUPS:
            subprocess.run([sys.executable, __file__, "--only", group, *sys.argv[1:]], check=True)
        return
    with tempfile.TemporaryDirectory() as tmp:
        root = pathlib.Path(tmp)
        if args.only == "pellorv3":
            bench_pellorv3(root, args.quick)
        elif args.only == "raw":
            bench_raw(root, args.quick)
        else:
            bench_vombel(root, args.quick, args.pypy, args.pypy_path)


if __name__ == "__main__":
    main()
