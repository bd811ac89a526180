"""Writes the seed corpus of the fuzz targets (fuzz/corpus/<target>/) from the synthetic writer.

    PYTHONPATH=python python3 fuzz/make_corpus.py

The inputs are small on purpose (a few events of few channels) so that the fuzzers run fast from them and
the checked-in corpus stays small. Regression inputs found by fuzzing live next to the seeds under names
starting with "regress-"; this script leaves them alone.
"""

from __future__ import annotations

import gzip
import pickle
import struct
import sys
from pathlib import Path

import yaml

from brimoacq_tools.writer import default_params, encode_event, make_pedestals, synthesize_events

HERE = Path(__file__).resolve().parent
CORPUS = HERE / "corpus"

# Model selectors of the parser and CSV targets: the order of the C++ Model enumeration.
MODELS = ("pellorv3", "pellorv3s", "quarvelv3", "lanwev1_evalr2", "ovisk_pellor", "skerd16", "kivro",
          "vombel96", "mirranv2")
# Small boards; vombel96 keeps its 96 channels over six chips, with short windows.
SIZES = {
    "pellorv3": dict(channels=2, windows=16, samples=8),
    "mirranv2": dict(channels=2, windows=16, samples=8),
    "pellorv3s": dict(channels=2, windows=8, samples=4),
    "quarvelv3": dict(channels=2, windows=8, samples=4),
    "lanwev1_evalr2": dict(channels=2, windows=8, samples=4),
    "ovisk_pellor": dict(channels=2, windows=16, samples=8),
    "skerd16": dict(channels=2, windows=4, samples=4),
    "kivro": dict(channels=2, windows=8, samples=4),
    "vombel96": dict(channels=96, windows=2, samples=2),
}


def params_blob(params) -> bytes:
    """The parameter prefix of fuzz_entry.h: channels, windows, samples (u16 each), no layout keys."""
    return struct.pack("<HHHB", params["channels"], params["windows"], params["samples"], 0)


def packets(model, count=2, seed=0, **overrides):
    params = default_params(model, **{**SIZES[model], **overrides})
    events = synthesize_events(params, count, seed=seed, windows_per_event=2)
    return params, [encode_event(params, e) for e in events]


def write(target: str, name: str, data: bytes):
    d = CORPUS / target
    d.mkdir(parents=True, exist_ok=True)
    (d / name).write_bytes(data)


def main():
    for target in ("parser", "csv", "metadata", "pedestals"):
        for old in (CORPUS / target).glob("seed-*"):
            old.unlink()

    for sel, model in enumerate(MODELS):
        params, pkts = packets(model)
        for n, pkt in enumerate(pkts):
            blob = bytes([sel]) + params_blob(params) + pkt
            write("parser", f"seed-{model}-{n}", blob)
            if n == 0:
                write("csv", f"seed-{model}", blob)
        meta = {"params": dict(params), "registers": {"trigger_delay": 0, "model": model}}
        write("metadata", f"seed-{model}.yml", yaml.safe_dump(meta, sort_keys=False).encode())

    # Layout keys spelled out, a tagged value and a flow mapping in the metadata reader's input.
    write("metadata", "seed-keys.yml", b"params:\n  model: vombel96\n  channels: 96\n  windows: 4\n"
          b"  samples: 32\n  num_chips: 6\n  n_chip_headers: 0x1\n  databitmask: !custom 4095\n"
          b"  n_window_footers: -1\n  stop_word: 1.5e3\nregisters: {a: [1, 2, {b: ~}], c: 'x'}\n")
    # Events described field by field for the CSV target (see fuzz_csv.cpp): two channels, "samples" 2.
    raw = bytes([2, 2])
    raw += bytes([2]) + struct.pack("<HH", 5, 6) + bytes([4]) + struct.pack("<4H", 1, 2, 3, 4)
    raw += bytes([4]) + struct.pack("<4H", 0, 1, 2, 3) + bytes([2]) + struct.pack("<HH", 7, 8)
    raw += bytes([1]) + struct.pack("<H", 6) + bytes([3]) + struct.pack("<3H", 9, 9, 9) + bytes([0, 0])
    write("csv", "seed-fields-lanwe", bytes([0x81]) + raw)
    write("csv", "seed-fields-plain", bytes([0x80]) + raw)

    # Pedestal files: byte 0 even, the gzip file as written; odd, the bare pickle.
    params = default_params("skerd16", **SIZES["skerd16"])
    table = make_pedestals(params, seed=1)
    for proto in range(0, pickle.HIGHEST_PROTOCOL + 1):
        blob = pickle.dumps({"data": table}, protocol=proto)
        write("pedestals", f"seed-pickle-{proto}", b"\x01" + blob)
        if proto in (2, pickle.HIGHEST_PROTOCOL):
            write("pedestals", f"seed-gzip-{proto}", b"\x00" + gzip.compress(blob, mtime=0))
    write("pedestals", "seed-pickle-bytes-key", b"\x01" + pickle.dumps({b"data": [[[1.0, 2]]]}, protocol=2))
    write("pedestals", "seed-pickle-tuple", b"\x01" + pickle.dumps({"data": ((1, 2.5), [[3]])}, protocol=4))


if __name__ == "__main__":
    sys.exit(main())
