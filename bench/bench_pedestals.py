#!/usr/bin/env python3
"""Pedestal decoding against Python, side by side in one run.

Writes realistic pedestal tables with the real gzip and pickle modules (protocol 4), times
pickle.loads(gzip.decompress(data)) on each file, runs the C++ benchmark on the same files and
prints the ratio C++ / Python (below 1 means the native decoder is faster). Then runs the
correction benchmark, whose ratios are against a memcpy of the raw packet and a minimal parse.

usage: bench_pedestals.py PATH/TO/bench_pedestals
"""
import gzip
import os
import pickle
import random
import subprocess
import sys
import tempfile
import timeit

import benchlib


def table(channels, windows, samples, as_int, rng):
    if as_int:
        return [[[rng.randint(900, 1300) for _ in range(samples)] for _ in range(windows)] for _ in range(channels)]
    return [[[round(rng.gauss(1100.0, 40.0), 3) for _ in range(samples)] for _ in range(windows)]
            for _ in range(channels)]


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    exe = sys.argv[1]
    rng = random.Random(7)
    shapes = [(96, 8, 512), (4, 512, 64)]
    with tempfile.TemporaryDirectory() as d:
        files = []
        for ch, win, sa in shapes:
            for as_int in (False, True):
                name = os.path.join(d, f"ped_{ch}x{win}x{sa}_{'int' if as_int else 'float'}.gz")
                raw = pickle.dumps({"data": table(ch, win, sa, as_int, rng)}, protocol=4)
                with open(name, "wb") as f:
                    f.write(gzip.compress(raw))
                files.append(name)
        py = {}
        for name in files:
            with open(name, "rb") as f:
                data = f.read()
            timer = timeit.Timer(lambda: pickle.loads(gzip.decompress(data)))
            n, _ = timer.autorange()
            py[name] = min(timer.repeat(repeat=5, number=n)) / n
        out = subprocess.run([exe, "decode", *files], check=True, capture_output=True, text=True).stdout
        print(f"{'file (protocol 4)':<34} {'size':>9} {'python':>10} {'native':>10} {'native/python':>14}")
        for line in out.splitlines():
            _, name, secs = line.split()
            secs = float(secs)
            print(f"{os.path.basename(name):<34} {os.path.getsize(name):>9} {py[name] * 1e3:>8.2f}ms "
                  f"{secs * 1e3:>8.2f}ms {secs / py[name]:>14.2f}")
            shape = os.path.basename(name)[len("ped_"):-len(".gz")]
            benchlib.result(f"pedestal decoding {shape}", f"{secs * 1e3:.3g} ms",
                            f"{py[name] * 1e3:.3g} ms (gzip+pickle)", secs / py[name], "<= 1", secs <= py[name])
    print()
    sys.stdout.flush()
    subprocess.run([exe, "correct"], check=True)


if __name__ == "__main__":
    main()
