"""Times a vectorized numpy check of a full clean vombel96 packet against the native check, from C++
and from Python.

The numpy check is the same computation as the native one: each channel's 4096 little-endian sample
words as one row of a (channels, 4096) array, the four syndrome masks and the global parity folded
with shifts and XORs, and records gathered for the words that are not clean. The packet is written
to a temporary file that the native benchmark (bench_ecc, built with -DBRIMOACQ_BUILD_BENCH=ON) reads,
so both time the same bytes; the ratio is printed. When the module is importable, brimoacq.ecc_check
is timed on the same packet called from Python, with the cost of a call that does no work (a 2-byte
packet) and of a one-chip packet beside it. Either side is skipped when it is not available.

Usage: PYTHONPATH=build-py python3 bench/bench_ecc.py [path/to/bench_ecc] [runs]
"""

import os
import subprocess
import sys
import tempfile
import time

import numpy as np

import benchlib

CHIP_BLOCK = 131140
CHANNEL_BLOCK = 8196
SAMPLE_BYTES = 8192
MASKS = (0x055B, 0x0A6D, 0x138E, 0x23F0)
SYNDROME_TO_BIT = (0, 10, 11, 0, 12, 1, 2, 3, 13, 4, 5, 6, 7, 8, 9, 15)
FULL_PACKET = 6 * CHIP_BLOCK + 2


def starts(channels):
    k = np.arange(channels, dtype=np.int64)
    return CHIP_BLOCK * (k // 16) + 3 + CHANNEL_BLOCK * (k % 16)


def parity16(x):
    x = x ^ (x >> 8)
    x = x ^ (x >> 4)
    x = x ^ (x >> 2)
    x = x ^ (x >> 1)
    return x & 1


def numpy_check(packet):
    """Records (channel_offset, packet_offset, raw, corrected, bit, parity) of a packet."""
    length = len(packet)
    chips = -(-(length - 2) // CHIP_BLOCK)
    if length < 2 or chips > 6 or (chips and chips * CHIP_BLOCK - 5 > length):
        raise ValueError(f"invalid packet length {length}")
    if chips == 0:
        return []
    a = np.frombuffer(packet, dtype=np.uint8)
    first = starts(16 * chips)
    # One row of little-endian words per channel.
    words = np.stack([a[s:s + SAMPLE_BYTES] for s in first]).view("<u2")
    syn = np.zeros(words.shape, dtype=np.uint16)
    for k, m in enumerate(MASKS):
        syn |= parity16(words & np.uint16(m)) << np.uint16(k)
    par = parity16(words)
    ch, idx = np.nonzero(syn | par)
    out = []
    table = np.array(SYNDROME_TO_BIT, dtype=np.uint16)
    s = syn[ch, idx]
    p = par[ch, idx]
    raw = words[ch, idx]
    bit = np.where(s != 0, table[s], 0)
    corrected = np.where((p == 1) & (s != 0), raw ^ (np.uint16(1) << bit), raw)
    for c, i, w, cw, b, pp in zip(ch.tolist(), idx.tolist(), raw.tolist(), corrected.tolist(),
                                  bit.tolist(), p.tolist()):
        out.append((2 * i, int(first[c]) + 2 * i, w, cw, b, pp))
    return out


def clean_packet(rng):
    packet = rng.integers(0, 256, FULL_PACKET, dtype=np.uint8)
    n = 96 * 4096
    w = (rng.integers(0, 1024, n, dtype=np.uint16)
         | (rng.integers(0, 2, n, dtype=np.uint16) << np.uint16(15)))
    for k, m in enumerate(MASKS):
        w |= parity16(w & np.uint16(m)) << np.uint16(10 + k)
    w |= parity16(w) << np.uint16(14)
    words = w.reshape(96, 4096).view(np.uint8)
    for c, s in enumerate(starts(96)):
        packet[s:s + SAMPLE_BYTES] = words[c]
    return packet.tobytes()


def median_seconds(runs, f):
    t = []
    for _ in range(runs):
        a = time.perf_counter()
        f()
        t.append(time.perf_counter() - a)
    t.sort()
    return t[len(t) // 2]


def per_call_seconds(f, calls=2000, runs=15):
    """Median time of one call of a cheap function, measured in batches."""
    def batch():
        for _ in range(calls):
            f()
    return median_seconds(runs, batch) / calls


def bench_module(packet, dirty, t_numpy, runs):
    try:
        import brimoacq
    except ImportError as e:
        print(f"# brimoacq not importable ({e}); set PYTHONPATH to the module's build directory")
        return
    assert brimoacq.ecc_check(packet) == []
    assert brimoacq.ecc_check(dirty) == numpy_check(dirty)
    for _ in range(20):  # start the pool and warm the caches
        brimoacq.ecc_check(packet)
    t_py = median_seconds(max(runs, 200), lambda: brimoacq.ecc_check(packet))
    one_chip = packet[:CHIP_BLOCK + 2]
    t_chip = per_call_seconds(lambda: brimoacq.ecc_check(one_chip), calls=200)
    empty = bytes(2)
    t_empty = per_call_seconds(lambda: brimoacq.ecc_check(empty), calls=20000)
    print(f"python_clean_ms {t_py * 1e3:.4f} ms (target <= 0.2)")
    print(f"python_clean_gbps {len(packet) / t_py / 1e9:.3f} GB/s (target >= 4)")
    print(f"ratio_python_vs_numpy {t_numpy / t_py:.1f} x (target >= 50)")
    print(f"python_two_byte_us {t_empty * 1e6:.3f} us (target < 50)")
    print(f"python_one_chip_us {t_chip * 1e6:.3f} us")
    benchlib.result("ecc_check from Python, full clean packet",
                    f"{t_py * 1e6:.3g} us ({len(packet) / t_py / 1e9:.3g} GB/s)", f"{t_numpy * 1e3:.3g} ms (numpy)",
                    t_py / t_numpy, "<= 0.02", t_numpy / t_py >= 50)
    benchlib.result("ecc_check from Python, 2-byte packet", f"{t_empty * 1e6:.3g} us", "-", "-", "< 50 us",
                    t_empty < 50e-6)


def bench_native(exe, packet, t_numpy):
    if not os.path.exists(exe):
        print(f"# {exe} not found; build it with -DBRIMOACQ_BUILD_BENCH=ON for the native figures")
        return
    with tempfile.NamedTemporaryFile(suffix=".bin") as f:
        f.write(packet)
        f.flush()
        out = subprocess.run([exe, "--packet", f.name], check=True, capture_output=True, text=True).stdout
    figures = {line.split()[0]: float(line.split()[1]) for line in out.splitlines() if line.strip()}
    t_native = figures["clean_ms"] / 1e3
    print(out, end="")
    print(f"ratio_native_vs_numpy {t_numpy / t_native:.1f} x")
    benchlib.result("ecc check native, full clean packet",
                    f"{t_native * 1e6:.3g} us ({figures['clean_gbps']:.3g} GB/s)", f"{t_numpy * 1e3:.3g} ms (numpy)",
                    t_native / t_numpy)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    exe = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "build-bench", "bench_ecc")
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 50
    rng = np.random.default_rng(1)
    packet = clean_packet(rng)
    assert numpy_check(packet) == []
    # The numpy check finds what a plain loop finds on a dirty packet.
    dirty = bytearray(packet)
    for off in (3, 8195 - 2, 778643 + 100):
        dirty[off] ^= 0x08
    assert [r[1] for r in numpy_check(bytes(dirty))] == [3, 8193, 778743]

    t_numpy = median_seconds(runs, lambda: numpy_check(packet))
    print(f"numpy_clean_ms {t_numpy * 1e3:.4f} ms")
    print(f"numpy_clean_gbps {len(packet) / t_numpy / 1e9:.3f} GB/s")
    bench_native(exe, packet, t_numpy)
    bench_module(packet, bytes(dirty), t_numpy, runs)


if __name__ == "__main__":
    main()
