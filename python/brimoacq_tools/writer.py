"""Synthetic acquisitions: write directories that ``brimoacq`` reads, for every supported board model.

An acquisition directory holds "metadata.yml" (board "params" and "registers"), numbered chunks of raw event
packets (``<n>.bin`` with the index ``<n>.idx``: one 8-byte little-endian entry per event, byte offset in the
low 32 bits and length in the high 32 bits) and optional calibration files, of which the writer can produce
"pedestals_calibration": a gzip-compressed pickle of ``{"data": table}`` with ``table[channel][window][sample]``.

Events are described per channel as a list of windows (``Window(label, samples, timing)``), in the order
the board read them. ``encode_event`` turns a description into the model's packet (refusing with
``ValueError`` what the layout cannot carry), ``expected_event`` gives the dict that
``Acquisition.parsed_event`` returns for that packet, and ``synthesize_events`` makes descriptions that look
like a digitizer's output: a pedestal baseline per cell, noise, and now and then a pulse.

vombel96 sample words can be written as error-correcting code words (``encode_event(..., ecc=True)``; the
default for full-size events, those whose sample words are exactly the ones ``brimoacq.ecc_check``
examines), and ``flip_bits`` inverts chosen bits of a packet to give that check something to find.

Example::

    from brimoacq_tools import write_synthetic
    acq = write_synthetic("/tmp/run_1", model="vombel96", events=50, seed=1)
    # acq.path, acq.params, acq.events (descriptions), acq.pedestals (table)
"""

from __future__ import annotations

import gzip
import os
import pickle
import re
import struct
from pathlib import Path
from typing import Iterable, List, Mapping, NamedTuple, Optional, Union

import numpy as np
import yaml

from .models import CODECS, MODELS, U64_MAX, Window, codec_for, ecc_encode, ecc_word_offset, flip_bits

MISC_FILES = ("readout_metadata", "pedestals_calibration", "timing_calibration", "adc2mv_calibration")
MAX_CHUNK_OFFSET = (1 << 32) - 1  # an index entry stores the event offset in 32 bits
REQUIRED = ("model", "channels", "windows", "samples")

def default_params(model: str, **overrides) -> dict:
    """Params for `model` with typical board sizes; keyword arguments override them or add layout keys."""
    if model not in CODECS:
        raise ValueError(f"unsupported board model {model!r}; choose one of: {', '.join(MODELS)}")
    params = {"model": model, **CODECS[model].board}
    params.update(overrides)
    return check_params(params)


def check_params(params: Mapping) -> dict:
    """Validate params and return a plain dict with Python ints (numpy integers are converted)."""
    if not isinstance(params, Mapping):
        raise ValueError("params must be a mapping")
    out = {}
    for key, value in params.items():
        if not isinstance(key, str):
            raise ValueError(f"params keys must be strings, not {key!r}")
        if isinstance(value, np.integer):
            value = int(value)
        out[key] = value
    for key in REQUIRED:
        if key not in out:
            raise ValueError(f"params lack {key!r}")
    codec_for(out)
    for key in REQUIRED[1:]:
        value = out[key]
        if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value <= U64_MAX:
            raise ValueError(f"params {key!r} must be an integer from 0 to 2**64 - 1, not {value!r}")
    codec_for(out).check_params(out)
    return out


# --- event descriptions ----------------------------------------------------------------------------------


def _as_samples(values, what):
    if isinstance(values, np.ndarray) and values.dtype == np.int64 and values.ndim == 1:
        return values  # the encoders check every value against its field
    arr = np.asarray(values)
    if arr.ndim != 1:
        raise ValueError(f"{what}: samples must be a flat sequence of integers")
    if arr.dtype.kind == "b" or arr.dtype.kind not in "iuf" and arr.size:
        raise ValueError(f"{what}: samples must be integers")
    if arr.dtype.kind == "f":
        if not np.all(np.isfinite(arr)) or np.any(arr != np.round(arr)):
            raise ValueError(f"{what}: samples must be whole numbers")
    if arr.size and (arr.min() < 0 or arr.max() > 0xFFFF):
        raise ValueError(f"{what}: samples must be 0 to 65535")  # also keeps the int64 cast exact
    return arr.astype(np.int64)


def _as_int(value, what):
    if isinstance(value, np.integer):
        value = int(value)
    if isinstance(value, bool) or not isinstance(value, int) or value < 0:
        raise ValueError(f"{what} must be a non-negative integer, not {value!r}")
    return value


def normalize_event(params: Mapping, event: Mapping) -> dict:
    """Check an event description against the params and return {channel: [Window]} sorted by channel.

    `event` maps a channel number to its windows in packet order; a window is a `Window` or a tuple
    (label, samples) or (label, samples, timing). Channels without windows are dropped. On lanwev boards a
    window without timing gets its position in the channel (0, 1, ...)."""
    codec = codec_for(params)
    if not isinstance(event, Mapping):
        raise ValueError("an event description maps channel numbers to lists of windows")
    spw = codec.samples_per_window(params)
    limit = codec.channel_limit(params)
    out = {}
    for channel in sorted(event, key=lambda c: _as_int(c, "channel")):
        c = _as_int(channel, "channel")
        if c >= limit:
            raise ValueError(f"{params['model']}: channel {c} is not below the channel count {limit}")
        wins = []
        for n, win in enumerate(event[channel]):
            if not isinstance(win, (tuple, list)) or not 2 <= len(win) <= 3:
                raise ValueError(f"channel {c}: a window is (label, samples) or (label, samples, timing)")
            what = f"channel {c} window {n}"
            label = _as_int(win[0], f"{what}: the window number")
            samples = _as_samples(win[1], what)
            if samples.size != spw:
                raise ValueError(f"{what}: {params['model']} windows carry {spw} samples here, not {samples.size}")
            timing = win[2] if len(win) == 3 else None
            if codec.has_timing():
                timing = n if timing is None else _as_int(timing, f"{what}: the timing")
            elif timing is not None:
                raise ValueError(f"{what}: only lanwev boards record a timing value")
            wins.append(Window(label, samples, timing))
        if wins:
            out[c] = wins
    return out


def encode_event(params: Mapping, event: Mapping, ecc: Optional[bool] = None) -> bytes:
    """The raw packet of one event as the board writes it.

    `ecc` (vombel96 only): True writes the sample words as error-correcting code words, False does not,
    None does for full-size events, those whose sample words are exactly the ones that ``ecc_check``
    examines."""
    params = check_params(params)
    codec = codec_for(params)
    ev = normalize_event(params, event)
    if not codec.has_ecc():
        if ecc:
            raise ValueError(f"{params['model']}: only vombel96 packets carry an error-correcting code")
        return codec.encode(params, ev)
    return codec.encode(params, ev, ecc=ecc)


def expected_event(params: Mapping, event: Mapping) -> dict:
    """The dict that ``Acquisition.parsed_event`` gives for the packet of this description.

    "data", "window_labels" and "time" have one list per channel of the event record (96 for vombel96,
    params "channels" otherwise); "timing" is a list per channel for the lanwev boards and None otherwise;
    "ecc_errors" is 96 empty lists for vombel96 and None otherwise."""
    params = check_params(params)
    codec = codec_for(params)
    ev = normalize_event(params, event)
    codec.encode(params, ev)  # refuse what cannot be written, exactly as encode_event does
    outer = codec.outer_channels(params)
    data = [[] for _ in range(outer)]
    labels = [[] for _ in range(outer)]
    for c, wins in ev.items():
        data[c] = [float(v) for w in wins for v in w.samples.tolist()]
        labels[c] = [w.label for w in wins]
    timing = None
    if codec.has_timing():
        timing = [[] for _ in range(outer)]
        for c, wins in ev.items():
            timing[c] = [w.timing for w in wins]
    return {
        "data": data,
        "window_labels": labels,
        "time": codec.expected_time(params, ev, outer),
        "timing": timing,
        "ecc_errors": [[] for _ in range(outer)] if codec.has_ecc() else None,
    }


def correct_expected(expected: dict, pedestals, params: Mapping) -> Optional[dict]:
    """Subtract a pedestal table from an expected event the way the CSV export does (32-bit float
    arithmetic, cell chosen by window number and sample position); None where the export drops the event."""
    S, C = params["samples"], params["channels"]
    table = pedestals.tolist() if isinstance(pedestals, np.ndarray) else pedestals
    out = dict(expected)
    data = [list(ch) for ch in expected["data"]]
    labels = expected["window_labels"]
    for c in range(C):
        if c >= len(labels):
            return None
        if not labels[c] or c >= len(data) or not data[c]:
            if labels[c] and c >= len(data):
                return None
            continue
        if c >= len(table) or S == 0:
            return None
        row = table[c]
        values = np.asarray(data[c], dtype=np.float32)
        subtract = np.empty_like(values)
        for j in range(values.size):
            w, s = divmod(j, S)
            if w >= len(labels[c]) or labels[c][w] >= len(row) or s >= len(row[labels[c][w]]):
                return None
            subtract[j] = np.float32(row[labels[c][w]][s])
        data[c] = (values - subtract).astype(np.float32).astype(np.float64).tolist()
    out["data"] = data
    return out


# --- synthetic waveforms ---------------------------------------------------------------------------------


def _table_shape(params):
    codec = codec_for(params)
    return codec.channel_max(params) + 1, params["windows"], params["samples"]


def make_pedestals(params: Mapping, seed: int = 0) -> List:
    """A pedestal table[channel][window][sample] for the params: a baseline per channel near a tenth of the
    sample range with a spread from cell to cell, in hundredths."""
    params = check_params(params)
    codec = codec_for(params)
    nch, nwin, nsamp = _table_shape(params)
    if nch * nwin * nsamp > 50_000_000:
        raise ValueError("the pedestal table of these params is too large to synthesize")
    top = max(1, codec.sample_max(params))
    rng = np.random.default_rng(seed)
    base = rng.uniform(0.08, 0.15, size=(max(nch, 0), 1, 1)) * top
    cells = base + rng.normal(0.0, 0.01 * top, size=(max(nch, 0), nwin, nsamp))
    return np.round(np.clip(cells, 0, top), 2).tolist()


def synthesize_events(
    params: Mapping,
    count: int,
    seed: int = 0,
    pedestals=None,
    windows_per_event: Optional[int] = None,
    pulse_probability: float = 0.1,
) -> List[dict]:
    """`count` event descriptions for the params, each channel's samples being its pedestals plus noise and,
    with `pulse_probability` per channel, a pulse. `pedestals` defaults to ``make_pedestals(params, seed)``."""
    return list(iter_synthesized_events(params, count, seed, pedestals, windows_per_event, pulse_probability))


def iter_synthesized_events(
    params: Mapping,
    count: int,
    seed: int = 0,
    pedestals=None,
    windows_per_event: Optional[int] = None,
    pulse_probability: float = 0.1,
):
    """The events of `synthesize_events` one by one, as they are made (the same events for the same
    arguments): for writing large acquisitions without holding every description."""
    params = check_params(params)
    codec = codec_for(params)
    if pedestals is None:
        pedestals = make_pedestals(params, seed)
    table = np.asarray(pedestals, dtype=np.float64)
    rng = np.random.default_rng(seed + 1)
    per_event = windows_per_event or codec.default_per_event(params)
    spw = codec.samples_per_window(params)
    S = params["samples"]
    top = codec.sample_max(params)
    sigma = max(1.0, 0.003 * top)
    stop = codec.consts(params).get("stop") if hasattr(codec, "consts") else None
    cells = np.arange(spw).clip(0, max(S - 1, 0))
    for _ in range(count):
        plan = codec.plan(params, rng, per_event)
        event = {}
        for c, wins in plan.items():
            n_total = len(wins) * spw
            wave = rng.normal(0.0, sigma, size=n_total)
            if rng.random() < pulse_probability and n_total:
                t = np.arange(n_total) - rng.integers(0, n_total)
                tau = max(1.0, spw / 8)
                tp = np.clip(t, 0, None) / tau
                shape = tp * np.exp(1 - tp)
                wave += rng.uniform(0.2, 0.6) * top * shape
            labels = np.array([label for label, _ in wins], dtype=np.int64)
            base = np.full((len(wins), spw), 0.1 * top)
            if c < table.shape[0] and S:
                known = labels < table.shape[1]
                base[known] = table[c][labels[known][:, None], cells[None, :]]
            v = np.clip(np.round(base + wave.reshape(len(wins), spw)), 1, top).astype(np.int64)
            if stop is not None:
                v[v == stop] -= 1
            out = [Window(label, row, timing) for (label, timing), row in zip(wins, v)]
            event[c] = out
        yield event


# --- writing ---------------------------------------------------------------------------------------------


def _default_registers(params):
    return {"trigger_delay": 0, "trigger_threshold": 0, "sample_rate_mhz": 1000, "model": params["model"]}


def _clear_old(path: Path):
    for entry in os.listdir(path):
        if re.fullmatch(r"[0-9]+\.(bin|idx)", entry) or entry in MISC_FILES:
            os.unlink(path / entry)


def write_acquisition(
    path: Union[str, os.PathLike],
    params: Mapping,
    events: Iterable,
    events_per_chunk: int = 1000,
    pedestals=None,
    registers: Optional[Mapping] = None,
    overwrite: bool = False,
    pickle_protocol: int = pickle.HIGHEST_PROTOCOL,
    ecc: Optional[bool] = None,
    bit_errors: Optional[Mapping[int, Iterable]] = None,
) -> Path:
    """Write an acquisition directory at `path` and return its path.

    `events` yields event descriptions (encoded with `encode_event`) or ready-made packets as ``bytes``
    (written unchanged, e.g. malformed ones; repeating a few hundred encoded packets is also the fast way to
    write a large acquisition for a benchmark). Chunks hold `events_per_chunk` events each, the last one fewer;
    a new chunk also starts before an event whose offset would not fit an index entry. `pedestals`, when
    given, is written as "pedestals_calibration". An existing acquisition at `path` is replaced only with
    `overwrite`, and then its old chunk and calibration files are removed first. `ecc` is passed to
    `encode_event`. `bit_errors` maps the position of an event in `events` to the (offset, bit) pairs that
    `flip_bits` inverts in its packet before it is written."""
    params = check_params(params)
    if isinstance(events_per_chunk, bool) or not isinstance(events_per_chunk, int) or events_per_chunk < 1:
        raise ValueError("events_per_chunk must be a positive integer")
    path = Path(path)
    if path.exists() and not path.is_dir():
        raise FileExistsError(f"{path} exists and is not a directory")
    if (path / "metadata.yml").exists():
        if not overwrite:
            raise FileExistsError(f"{path} already holds an acquisition")
    path.mkdir(parents=True, exist_ok=True)
    if overwrite:
        _clear_old(path)
    metadata = {"params": dict(params), "registers": dict(registers or _default_registers(params))}
    with open(path / "metadata.yml", "w", encoding="utf-8") as f:
        yaml.safe_dump(metadata, f, sort_keys=False, default_flow_style=False)

    chunk, in_chunk, offset, written = 0, 0, 0, 0
    data = index = None
    try:
        for event in events:
            if isinstance(event, (bytes, bytearray, memoryview)):
                packet = bytes(event)
            else:
                packet = encode_event(params, event, ecc=ecc)
            if bit_errors and written in bit_errors:
                packet = flip_bits(packet, bit_errors[written])
            written += 1
            if len(packet) > 0xFFFFFFFF:
                raise ValueError("a packet longer than 2**32 - 1 bytes cannot be indexed")
            if data is not None and (in_chunk == events_per_chunk or offset > MAX_CHUNK_OFFSET):
                data.close(), index.close()
                data = index = None
                chunk, in_chunk, offset = chunk + 1, 0, 0
            if data is None:
                data = open(path / f"{chunk}.bin", "wb")
                index = open(path / f"{chunk}.idx", "wb")
            data.write(packet)
            index.write(struct.pack("<II", offset, len(packet)))
            offset += len(packet)
            in_chunk += 1
    finally:
        if data is not None:
            data.close()
            index.close()

    if pedestals is not None:
        table = pedestals.tolist() if isinstance(pedestals, np.ndarray) else pedestals
        blob = pickle.dumps({"data": table}, protocol=pickle_protocol)
        with open(path / "pedestals_calibration", "wb") as f:
            f.write(gzip.compress(blob))
    return path


class SyntheticAcquisition(NamedTuple):
    path: Path
    params: dict
    events: list
    pedestals: Optional[list]


def write_synthetic(
    path: Union[str, os.PathLike],
    model: str = "vombel96",
    events: int = 100,
    seed: int = 0,
    pedestals: bool = True,
    events_per_chunk: int = 1000,
    overwrite: bool = False,
    windows_per_event: Optional[int] = None,
    ecc: Optional[bool] = None,
    bit_errors: Optional[Mapping[int, Iterable]] = None,
    **param_overrides,
) -> SyntheticAcquisition:
    """Write `events` synthetic events of `model` (default sizes, overridden by keyword arguments) and,
    with `pedestals`, the pedestal table their baselines came from. `ecc` and `bit_errors` are passed to
    `write_acquisition`."""
    params = default_params(model, **param_overrides)
    table = make_pedestals(params, seed)
    descs = synthesize_events(params, events, seed=seed, pedestals=table, windows_per_event=windows_per_event)
    write_acquisition(
        path, params, descs, events_per_chunk=events_per_chunk, pedestals=table if pedestals else None,
        overwrite=overwrite, ecc=ecc, bit_errors=bit_errors,
    )
    return SyntheticAcquisition(Path(path), params, descs, table if pedestals else None)


__all__ = [
    "CODECS",
    "MODELS",
    "Window",
    "check_params",
    "correct_expected",
    "default_params",
    "ecc_encode",
    "ecc_word_offset",
    "encode_event",
    "expected_event",
    "flip_bits",
    "iter_synthesized_events",
    "make_pedestals",
    "normalize_event",
    "synthesize_events",
    "write_acquisition",
    "write_synthetic",
]
