"""Packet encoders for the board models that ``brimoacq`` reads.

Each board writes its events in a layout of its own. An encoder here is the inverse of the module's parser
for that layout: it turns an event description (per channel, the windows that were read, each with its window
number and samples) into the packet bytes the board would have written, and refuses with ``ValueError`` any
description that the layout cannot carry, so that a packet written here always parses back to exactly what
was described.

Layout constants come from the acquisition's params with the same rule the parsers use: a key counts only
when its value is a non-negative integer (a bool does not count), masks take the low 16 bits and shifts are
applied modulo 16; anything else gives the model's default. The defaults are the parsers' own, read from the
module (``LAYOUT_DEFAULTS``).
"""

from __future__ import annotations

import math
import string
from typing import Dict, List, NamedTuple, Optional, Sequence, Tuple

import numpy as np

import brimoacq

U64_MAX = (1 << 64) - 1
# An index entry stores the event length in 32 bits.
MAX_PACKET_BYTES = (1 << 32) - 1
VOMBEL96_CHANNELS = 96

# {model: {layout key: the value its parser uses when params do not give one}}, for every "model" value the
# module reads, in the module's order.
LAYOUT_DEFAULTS = brimoacq._layout_defaults()
MODELS = tuple(LAYOUT_DEFAULTS)
LANWEV_MODELS = ("lanwev1_evalr2", "lanwev2_eval", "lanwev2_evalr1", "lanwev2_evalr2")


class Window(NamedTuple):
    """One window of one channel: its window number, its samples, and (lanwev boards only) its timing."""

    label: int
    samples: Sequence
    timing: Optional[int] = None


Event = Dict[int, List[Window]]


# --- params lookup -----------------------------------------------------------------------------------


def layout_int(params, key, default):
    value = params.get(key)
    if isinstance(value, bool) or not isinstance(value, int) or value < 0 or value > U64_MAX:
        return default
    return value


def _hex_stop_word(value, default):
    # The lanwev stop word is given as a string of hex digits (no "0x"), optionally with a leading "+".
    if not isinstance(value, str):
        return default
    digits = value[1:] if value.startswith("+") else value
    if not digits or any(ch not in string.hexdigits for ch in digits):
        return default
    number = int(digits, 16)
    if number > U64_MAX:
        return default
    return number & 0xFFFF


# --- field and word helpers ----------------------------------------------------------------------------


def _field(value, mask, shift, what):
    word = (value << shift) & mask
    if (word & mask) >> shift != value:
        raise ValueError(f"{what} {value} does not fit its field (mask {mask:#06x}, shift {shift})")
    return word


def _header(fields, model):
    """OR the fields into one word and check that each reads back (masks may overlap)."""
    word = 0
    for value, mask, shift, what in fields:
        word |= _field(value, mask, shift, f"{model}: {what}")
    for value, mask, shift, what in fields:
        if (word & mask) >> shift != value:
            raise ValueError(f"{model}: {what} {value} collides with another field of the same header word")
    return word


def _encode_samples(samples, mask, shift, model, complement=False):
    values = samples
    stored = (values << shift) & mask
    decoded = (stored & mask) >> shift
    bad = np.nonzero(decoded != values)[0]
    if bad.size:
        value = int(values[bad[0]])
        raise ValueError(
            f"{model}: sample {value} does not fit the sample field (mask {mask:#06x}, shift {shift})"
        )
    if complement:
        stored = ~stored & 0xFFFF
    return stored


def _check_size(nbytes, model):
    if nbytes > MAX_PACKET_BYTES:
        raise ValueError(f"{model}: a packet of {nbytes} bytes is longer than an index entry can describe")
    if nbytes == 0:
        raise ValueError(f"{model}: this description gives an empty packet, which no parser accepts")


def _be(words):
    return np.asarray(words, dtype=np.int64).astype(">u2").tobytes()


def _le(words):
    return np.asarray(words, dtype=np.int64).astype("<u2").tobytes()


def _require_equal_counts(model, event):
    counts = {len(wins) for wins in event.values()}
    if len(counts) > 1:
        raise ValueError(f"{model}: every channel of an event must carry the same number of windows")
    return counts.pop() if counts else 0


def _readout_order(event):
    """(channel, window) pairs in the order of a board that reads out window by window, channels in turn."""
    depth = max((len(w) for w in event.values()), default=0)
    return [(c, event[c][n]) for n in range(depth) for c in sorted(event) if n < len(event[c])]


def cyclic_labels(first, windows):
    """Window numbers of a channel block that starts at window `first` and carries all `windows` windows."""
    w16 = windows & 0xFFFF
    end = (first + windows) % 65536
    if w16 == 0:
        return []
    return [i % w16 for i in range(first, end)] if end > first else []


def _set_time_axis(labels, windows, samples):
    """Time axis of one channel from its window labels: the first window starts at 0, a window with a
    smaller number than the first wrapped around the end of the sample buffer."""
    if not labels:
        return []
    first = labels[0]
    w32 = windows & 0xFFFFFFFF
    out = []
    for label in labels:
        rel = (label - first) if label >= first else (label + w32 - first)
        rel = (rel & 0xFFFFFFFF) & 0xFFFF
        base = rel * samples
        out.extend(((base + n) & 0xFFFF) for n in range(samples))
    return out


# --- vombel96 error-correcting code ---------------------------------------------------------------------

# Each 16-bit vombel96 sample word is a code word: data bits 0-9, check bits 10-13 (check bit 10 + k makes
# the parity under ECC_MASKS[k] even), and bits 14 and 15 that only the global parity over all sixteen bits
# counts. The writer sets bit 14 to make that parity even and leaves bit 15 clear.
ECC_MASKS = (0x055B, 0x0A6D, 0x138E, 0x23F0)
ECC_PARITY_BIT = 14
# The geometry that ecc_check and ecc_correct assume, whatever the params say: chip blocks of 131140
# bytes (a header byte, sixteen channel blocks of a header word, 4096 sample words and a footer word,
# then padding), at most six of them, and a two-byte event footer.
ECC_CHIP_BYTES = 131140
ECC_CHANNEL_BLOCK_BYTES = 8196
ECC_CHANNEL_WORDS = 4096
ECC_MAX_CHIPS = 6
ECC_FOOTER_BYTES = 2
ECC_FULL_PACKET_BYTES = ECC_MAX_CHIPS * ECC_CHIP_BYTES + ECC_FOOTER_BYTES


def _parity(values):
    v = values ^ (values >> 8)
    v ^= v >> 4
    v ^= v >> 2
    v ^= v >> 1
    return v & 1


def ecc_encode(data):
    """The code words of 10-bit data values (an int or an integer array): check bits 10-13 give a zero
    syndrome and bit 14 an even global parity."""
    d = np.asarray(data, dtype=np.int64)
    if d.size and (d.min() < 0 or d.max() > 0x3FF):
        raise ValueError("ECC data values must be 0 to 1023 (ten bits)")
    word = d.copy()
    for k, mask in enumerate(ECC_MASKS):
        word |= _parity(d & mask & 0x3FF) << (10 + k)
    word |= _parity(word) << ECC_PARITY_BIT
    return int(word) if word.ndim == 0 else word


def ecc_word_offset(channel, sample):
    """Byte offset in a packet of sample word `sample` (0 to 4095) of channel `channel` (0 to 95), as
    ecc_check reports it in the record's packet offset."""
    if not 0 <= channel < ECC_MAX_CHIPS * 16 or not 0 <= sample < ECC_CHANNEL_WORDS:
        raise ValueError(f"no ECC word for channel {channel}, sample {sample}")
    chip, pos = divmod(channel, 16)
    return ECC_CHIP_BYTES * chip + 3 + ECC_CHANNEL_BLOCK_BYTES * pos + 2 * sample


def ecc_channel_ranges(length):
    """The (start, end) byte ranges of the sample words that ecc_check examines in a packet of `length`
    bytes, or None for a length that it refuses."""
    if length < ECC_FOOTER_BYTES:
        return None
    chips = -(-(length - ECC_FOOTER_BYTES) // ECC_CHIP_BYTES)
    if chips > ECC_MAX_CHIPS:
        return None
    ranges = [(ecc_word_offset(c, 0), ecc_word_offset(c, 0) + 2 * ECC_CHANNEL_WORDS) for c in range(16 * chips)]
    if ranges and ranges[-1][1] > length:
        return None
    return ranges


def flip_bits(packet, flips):
    """A copy of `packet` with chosen bits inverted: `flips` holds (offset, bit) pairs naming bit `bit`
    (0 to 15) of the little-endian 16-bit word at byte `offset`."""
    out = bytearray(packet)
    for offset, bit in flips:
        if not 0 <= bit < 16 or not 0 <= offset or offset + (2 if bit >= 8 else 1) > len(out):
            raise ValueError(f"bit {bit} of the word at byte {offset} is outside the {len(out)}-byte packet")
        out[offset + bit // 8] ^= 1 << (bit % 8)
    return bytes(out)


# --- models ----------------------------------------------------------------------------------------------


class Codec:
    """Common behaviour; each model overrides what its layout needs."""

    name = ""
    # Board sizes of synthetic acquisitions: like the real boards', but keeping the data small.
    board = dict(channels=8, windows=64, samples=32)

    def __init__(self, name=None):
        if name is not None:
            self.name = name

    def key(self, params, key):
        """The layout key's value in params, or this model's default."""
        return layout_int(params, key, LAYOUT_DEFAULTS[self.name][key])

    def mask(self, params, key):
        return self.key(params, key) & 0xFFFF

    def header_fields(self, params):
        """The channel field ("chanmask", "chan_shift") and window-number field ("windmask") of a header word."""
        return dict(
            cm=self.mask(params, "chanmask"),
            cs=self.mask(params, "chan_shift") % 16,
            wm=self.mask(params, "windmask"),
        )

    def outer_channels(self, params):
        return params["channels"]

    def channel_limit(self, params):
        return params["channels"]

    def samples_per_window(self, params):
        return params["samples"]

    def check_params(self, params):
        pass

    def encode(self, params, event):
        raise NotImplementedError

    def expected_time(self, params, event, outer):
        time = [[] for _ in range(outer)]
        for c, wins in event.items():
            if c < min(params["channels"], outer):
                time[c] = _set_time_axis([w.label for w in wins], params["windows"], params["samples"])
        return time

    def has_timing(self):
        return False

    def has_ecc(self):
        return False

    # What the synthesizer may use.
    def channel_max(self, params):
        return params["channels"] - 1

    def label_max(self, params):
        return 0xFFFF

    def sample_max(self, params):
        return 0xFFFF

    def plan_labels(self, params, rng, per_event):
        """The channels of a synthetic event and the window numbers every one of them reads: `per_event`
        consecutive ones from a random start."""
        chans = [c for c in range(params["channels"]) if c <= self.channel_max(params)]
        nlab = max(1, min(params["windows"], self.label_max(params) + 1))
        start = int(rng.integers(0, nlab))
        return chans, [(start + n) % nlab for n in range(per_event)]

    def plan(self, params, rng, per_event):
        """Channels and window numbers of one synthetic event: {channel: [(label, timing)]}."""
        chans, labels = self.plan_labels(params, rng, per_event)
        return {c: [(label, None) for label in labels] for c in chans}

    def default_per_event(self, params):
        return max(1, min(4, params["windows"]))


class _FieldCodec(Codec):
    """Models whose window (or channel block) header word carries a channel field and a window-number field
    (consts cm, cs and wm from `header_fields`) and whose samples are stored under a data mask (dm), both
    shifted up by the "n_last_bits" (nlb) where the model has that key."""

    def channel_max(self, params):
        k = self.consts(params)
        return min(params["channels"] - 1, k["cm"] >> k["cs"])

    def label_max(self, params):
        k = self.consts(params)
        return k["wm"] >> k.get("nlb", 0)

    def sample_max(self, params):
        k = self.consts(params)
        return k["dm"] >> k.get("nlb", 0)

    def head(self, k, channel, label, what="window number"):
        fields = [(channel, k["cm"], k["cs"], "channel"), (label, k["wm"], k.get("nlb", 0), what)]
        return _header(fields, self.name)

    def sample_words(self, k, values, complement=False):
        return _encode_samples(values, k["dm"], k.get("nlb", 0), self.name, complement)


class Pellorv3(_FieldCodec):
    name = "pellorv3"
    board = dict(channels=4, windows=256, samples=32)

    def consts(self, p):
        return dict(
            self.header_fields(p),
            dm=self.mask(p, "databitmask"),
            nlb=self.key(p, "n_last_bits") % 16,
            H=self.key(p, "n_event_headers"),
            nwh=self.key(p, "n_window_headers"),
            F=self.key(p, "n_footers"),
        )

    def samples_per_window(self, params):
        k = self.consts(params)
        return k["nwh"] + params["samples"] - 1

    def encode(self, params, event):
        k = self.consts(params)
        model, S = self.name, params["samples"]
        ww = k["nwh"] + S
        if ww == 0:
            raise ValueError(f"{model}: \"n_window_headers\" and \"samples\" 0 give windows of no words")
        if k["F"] == 0:
            raise ValueError(f"{model}: \"n_footers\" 0 puts the window region past the end of the packet")
        chans = sorted(event)
        K = len(chans)
        R = sum(len(event[c]) for c in chans)
        # Windows go to channels by position: window r belongs to the (r mod K)-th smallest channel.
        for i, c in enumerate(chans):
            if len(event[c]) != len(range(i, R, K)):
                raise ValueError(
                    f"{model}: windows are assigned round-robin over the sorted channel list, so the channels "
                    "must carry equal numbers of windows (the lower channels may carry one more)"
                )
        N = k["H"] + R * ww + k["F"] - 1
        _check_size(2 * N, model)
        if N == 1:
            raise ValueError(f"{model}: a 2-byte packet is refused by the parser")
        if ((N - k["H"] - 1) % (1 << 64)) % (S + 1) != 0:
            raise ValueError(f"{model}: the layout keys give a packet length that fails the parser's length check")
        words = np.zeros(N, dtype=np.int64)
        pos = k["H"]
        for r in range(R):
            c = chans[r % K]
            win = event[c][r // K]
            words[pos] = self.head(k, c, win.label)
            words[pos + 1 : pos + ww] = self.sample_words(k, win.samples)
            pos += ww
        return _be(words)


class Mirranv2(Pellorv3):
    name = "mirranv2"


def _select_pair(L, C, W, half, d_of_j, fits):
    """The (channels, windows) pair a length-inferring parser picks for a packet of L bytes."""
    cands = []
    if half < 0:
        return None
    for J in range(C, 0, -1):
        d = d_of_j(J)
        if d == 0 or d > half:
            continue
        if half % d == 0:
            i = half // d
            if 1 <= i <= W - 1:
                cands.append((J, i))
    if len(cands) == 1:
        return cands[0]
    for J, i in cands:
        if fits(J):
            return (J, i)
    return None


class Pellorv3S(_FieldCodec):
    """Packets of event headers, then per window one channel block (header word and samples) for each channel
    and the window headers, then the footer; the channel and window counts are inferred from the length."""

    name = "pellorv3s"
    board = dict(channels=4, windows=64, samples=32)

    def consts(self, p):
        return dict(
            self.header_fields(p),
            nch=self.key(p, "n_channel_headers"),
            dm=self.mask(p, "datamask"),
            H=self.key(p, "n_event_headers"),
            F=self.key(p, "n_footer_words"),
            nwh=self.key(p, "n_window_headers"),
            # quarvelv3 has no such key: its window blocks end in its "n_window_headers" words.
            nwf=layout_int(p, "n_window_footers", LAYOUT_DEFAULTS[self.name].get("n_window_footers", 0)),
            nlb=self.key(p, "n_last_bits") % 16,
        )

    def samples_per_window(self, params):
        return self.consts(params)["nch"] + params["samples"] - 1

    def default_per_event(self, params):
        return max(1, min(4, params["windows"] - 1))

    def _layout(self, params, event):
        k = self.consts(params)
        model, S, W = self.name, params["samples"], params["windows"]
        B = k["nch"] + S
        if B == 0:
            raise ValueError(f"{model}: channel blocks of no words (\"n_channel_headers\" and \"samples\" 0)")
        chans = sorted(event)
        J = len(chans)
        if J == 0:
            raise ValueError(f"{model}: an event without channels has no packet length the parser accepts")
        I = _require_equal_counts(model, event)
        if not 1 <= I <= W - 1:
            raise ValueError(
                f"{model}: packets carry 1 to windows - 1 = {W - 1} windows per channel (the window count is "
                f"inferred from the packet length), not {I}"
            )
        return k, B, chans, J, I

    def check_inferred_counts(self, params, L, J, I, half, d_of_j, fits):
        """Refuse a packet whose length the parser reads as another channel and window count."""
        model = self.name
        pick = _select_pair(L, params["channels"], params["windows"], half, d_of_j, fits)
        if pick != (J, I):
            raise ValueError(
                f"{model}: a packet of {J} channels x {I} windows has the length of {pick[0]} channels x "
                f"{pick[1]} windows and would be read as such" if pick else
                f"{model}: the parser finds no channel and window count for a packet of {L} bytes"
            )

    def pack(self, k, B, chans, I, event, nwords):
        words = np.zeros(nwords, dtype=np.int64)
        pos = k["H"]
        for n in range(I):
            for c in chans:
                win = event[c][n]
                words[pos] = self.head(k, c, win.label)
                words[pos + 1 : pos + B] = self.sample_words(k, win.samples)
                pos += B
            pos += k["nwh"]
        return _be(words)

    def encode(self, params, event):
        k, B, chans, J, I = self._layout(params, event)
        model = self.name
        if k["nwh"] != k["nwf"]:
            raise ValueError(f"{model}: \"n_window_headers\" and \"n_window_footers\" must be equal")
        if k["nwh"] >= B:
            raise ValueError(f"{model}: \"n_window_headers\" must be smaller than a channel block")
        L = 2 * (k["H"] + k["F"] + I * (k["nwf"] + J * B))
        _check_size(L, model)
        self.check_inferred_counts(
            params, L, J, I, L // 2 - k["H"] - k["F"], lambda j: k["nwf"] + j * B,
            lambda j: L >= 2 * k["H"] + 2 * (k["nwh"] + j * B),
        )
        return self.pack(k, B, chans, I, event, L // 2)


class Quarvelv3(Pellorv3S):
    name = "quarvelv3"

    def encode(self, params, event):
        k, B, chans, J, I = self._layout(params, event)
        model = self.name
        if k["nwh"] >= B:
            raise ValueError(f"{model}: \"n_window_headers\" must be smaller than a channel block")
        if k["F"] == 0:
            raise ValueError(f"{model}: \"n_footer_words\" 0 puts the window region past the end of the packet")
        Wb = J * B + k["nwh"]
        N = k["H"] + I * Wb + k["F"] - 1
        L = 2 * N
        _check_size(L, model)
        # The length table assumes 4 words of event header and footer and 1 word per window block.
        if L != 2 * (I * (1 + J * B) + 4):
            raise ValueError(
                f"{model}: \"n_event_headers\", \"n_window_headers\" and \"n_footer_words\" give packet lengths "
                "that the length table does not know"
            )
        self.check_inferred_counts(
            params, L, J, I, L // 2 - 4, lambda j: 1 + j * B, lambda j: L >= 2 * k["H"] + 2 * (j * B + k["nwh"])
        )
        return self.pack(k, B, chans, I, event, N)


class Lanwev1(Codec):
    def consts(self, p):
        return dict(
            cm=self.mask(p, "chanmask"),
            awm=self.mask(p, "abs_wind_mask"),
            tm=self.mask(p, "timing_mask"),
            ts=self.key(p, "timing_shift") & 0x1F,
            W=self.key(p, "packet_size") // 2 + 1,
            H=self.key(p, "headers"),
            stop=_hex_stop_word(p.get("stop_word"), LAYOUT_DEFAULTS[self.name]["stop_word"]),
        )

    def has_timing(self):
        return True

    def channel_max(self, params):
        return min(params["channels"] - 1, self.consts(params)["cm"])

    def label_max(self, params):
        return self.consts(params)["awm"]

    def timing_words(self, k, t):
        lo = t & k["tm"]
        hi = (t >> k["ts"]) & k["tm"] & 0xFFFF
        if t < 0 or ((((hi & k["tm"]) << k["ts"]) | (lo & k["tm"])) & 0xFFFFFFFF) != t:
            raise ValueError(
                f"{self.name}: timing {t} cannot be written with \"timing_mask\" {k['tm']:#06x} and "
                f"\"timing_shift\" {k['ts']}"
            )
        return hi, lo

    def encode(self, params, event):
        k = self.consts(params)
        model, S, W, H = self.name, params["samples"], k["W"], k["H"]
        if S == 0:
            raise ValueError(f"{model}: windows without samples are skipped by the parser")
        if H < 4:
            raise ValueError(f"{model}: \"headers\" below 4 overlaps the header words and the samples")
        if H + S > W - 1:
            raise ValueError(
                f"{model}: {H} header words and {S} samples do not fit a window packet of {W} words "
                "(set \"packet_size\")"
            )
        if not event:
            raise ValueError(f"{model}: an event needs at least one window")
        packets = []
        for c, win in _readout_order(event):
            if not np.any(win.samples):
                raise ValueError(f"{model}: channel {c}: an all-zero window is skipped by the parser")
            words = np.zeros(W, dtype=np.int64)
            words[0] = _field(c, k["cm"], 0, f"{model}: channel")
            words[1], words[2] = self.timing_words(k, win.timing)
            words[3] = _field(win.label, k["awm"], 0, f"{model}: window number")
            words[H : H + S] = _encode_samples(win.samples, 0xFFFF, 0, model)
            words[W - 1] = k["stop"]
            hits = np.nonzero(words[: W - 1] == k["stop"])[0]
            if hits.size:
                what = "a sample" if H <= hits[0] < H + S else "a header or padding word"
                raise ValueError(
                    f"{model}: channel {c}: {what} equals the stop word {k['stop']:#06x} and would split "
                    "the window packet"
                )
            packets.append(words)
        _check_size(2 * W * len(packets), model)
        return _be(np.concatenate(packets))

    def expected_time(self, params, event, outer):
        S = params["samples"]
        time = [[] for _ in range(outer)]
        firsts = {c: wins[0].timing for c, wins in event.items() if wins}
        if not firsts:
            return time
        tmin = min(firsts.values())
        for c, wins in event.items():
            start = ((firsts[c] - tmin) * S) % 65536
            end = ((firsts[c] - tmin + len(wins)) * S) % 65536
            time[c] = list(range(start, end)) if end > start else []
        return time

    def plan(self, params, rng, per_event):
        k = self.consts(params)
        chans, labels = self.plan_labels(params, rng, per_event)
        tmax = ((k["tm"] << k["ts"]) | k["tm"]) & 0xFFFFFFFF
        t0 = int(rng.integers(0, max(1, min(tmax, 1 << 24) - per_event - 4)))
        plan = {}
        for c in chans:
            tc = t0 + int(rng.integers(0, 3))  # channels trigger within a few windows of each other
            plan[c] = [(label, tc + n) for n, label in enumerate(labels)]
        return plan


class Ovisk(_FieldCodec):
    board = dict(channels=8, windows=256, samples=32)

    def consts(self, p):
        return dict(
            self.header_fields(p),
            nc=self.key(p, "num_chips"),
            dm=self.mask(p, "databitmask"),
            stop=self.mask(p, "chip_stop_word"),
            C=self.key(p, "n_chip_headers"),
            F=self.key(p, "n_window_headers"),
        )

    def chip_of(self, k, cpc, c):
        """(chip, channel within chip) naming event channel c = cpc * chip + channel within chip."""
        cwc_max = k["cm"] >> k["cs"]
        if cpc == 0:
            return (0, c) if c <= cwc_max else None
        chip, cwc = divmod(c, cpc)
        while chip >= 0:
            if chip <= 15 and cwc <= cwc_max:
                return chip, cwc
            chip, cwc = chip - 1, cwc + cpc
        return None

    def channel_max(self, params):
        k = self.consts(params)
        if k["nc"] == 0:
            return -1
        cpc = params["channels"] // k["nc"]
        ok = [c for c in range(min(params["channels"], 1024)) if self.chip_of(k, cpc, c)]
        return max(ok) if ok else -1

    def plan(self, params, rng, per_event):
        k = self.consts(params)
        cpc = params["channels"] // k["nc"] if k["nc"] else 0
        plan = super().plan(params, rng, per_event)
        return {c: w for c, w in plan.items() if self.chip_of(k, cpc, c)}

    def encode(self, params, event):
        k = self.consts(params)
        model = self.name
        if k["nc"] == 0:
            raise ValueError(f"{model}: \"num_chips\" 0 leaves the channel layout undefined")
        if k["F"] == 0:
            raise ValueError(f"{model}: \"n_window_headers\" 0 overlaps the window header and the first sample")
        cpc = params["channels"] // k["nc"]
        chips: Dict[int, List[Tuple[int, int, Window]]] = {}
        for c, wins in event.items():
            where = self.chip_of(k, cpc, c)
            if where is None:
                raise ValueError(
                    f"{model}: channel {c} cannot be named by a 4-bit chip number and the channel field "
                    f"(mask {k['cm']:#06x}) with {cpc} channels per chip"
                )
            for n, win in enumerate(wins):
                chips.setdefault(where[0], []).append((n, where[1], win))
        if not chips:
            if k["C"] == 0:
                raise ValueError(f"{model}: an empty event needs \"n_chip_headers\" of at least 1")
            chips = {0: []}
        blocks = []
        for chip in sorted(chips):
            words = [chip << 12] + [0] * max(0, k["C"] - 1) if k["C"] else []
            for n, cwc, win in sorted(chips[chip], key=lambda t: (t[0], t[1])):
                words.append(self.head(k, cwc, win.label))
                words.extend([0] * (k["F"] - 1))
                words.extend(self.sample_words(k, win.samples).tolist())
            if not words or words[0] >> 12 != chip:
                raise ValueError(f"{model}: with \"n_chip_headers\" 0 the first window header must name the chip")
            if k["stop"] in words:
                raise ValueError(f"{model}: a word of chip {chip} equals the chip stop word {k['stop']:#06x}")
            blocks.append(words)
        out = []
        for i, words in enumerate(blocks):
            if i:
                out.append(k["stop"])
            out.extend(words)
        out.append(k["stop"])  # the last word of an event is never examined
        _check_size(2 * len(out), model)
        return _be(out)


class _FullBuffer(_FieldCodec):
    """Shared by skerd16 and vombel96: a channel block carries every window of the channel's sample buffer,
    cyclically from a first window named in its header, samples stored one's-complemented."""

    def consts(self, p):
        return dict(
            self.header_fields(p),
            nch=self.key(p, "n_chip_headers"),
            ncf=self.key(p, "n_chip_footers"),
            nwh=self.key(p, "n_window_headers"),
            nwf=self.key(p, "n_window_footers"),
            dm=self.mask(p, "data_mask"),
        )

    def default_per_event(self, params):
        return params["windows"]

    def plan(self, params, rng, per_event):
        W = params["windows"]
        nfirst = max(1, min(W, self.label_max(params) + 1))
        first = int(rng.integers(0, nfirst))  # one trigger position for the whole board
        return {c: [(label, None) for label in cyclic_labels(first, W)] for c in self.plan_channels(params)}

    def blocks(self, params, event):
        """Split each channel's windows into channel blocks of all `windows` windows."""
        k = self.consts(params)
        model, W, S = self.name, params["windows"], params["samples"]
        if W == 0 or W > 0xFFFF:
            raise ValueError(f"{model}: \"windows\" must be 1 to 65535")
        if k["nwh"] == 0:
            raise ValueError(f"{model}: \"n_window_headers\" 0 overlaps the block header and the first sample")
        out = []
        for c in sorted(event):
            wins = event[c]
            if len(wins) % W:
                raise ValueError(
                    f"{model}: channel {c}: a channel block carries all {W} windows of the channel, "
                    f"not {len(wins)}"
                )
            for g in range(0, len(wins), W):
                group = wins[g : g + W]
                first = group[0].label
                if [w.label for w in group] != cyclic_labels(first, W):
                    raise ValueError(
                        f"{model}: channel {c}: window numbers must run cyclically through all {W} windows "
                        f"from the first one ({first})"
                    )
                samples = np.concatenate([w.samples for w in group]) if S else np.zeros(0, dtype=np.int64)
                words = [0] * k["nwh"] + self.sample_words(k, samples, complement=True).tolist()
                words += [0] * k["nwf"]
                out.append((c, first, words))
        return out


class Skerd16(_FullBuffer):
    name = "skerd16"
    board = dict(channels=16, windows=8, samples=16)

    def plan_channels(self, params):
        return range(self.channel_max(params) + 1)

    def encode(self, params, event):
        k = self.consts(params)
        model, C = self.name, params["channels"]
        blocks = self.blocks(params, event)
        if len(blocks) != C:
            raise ValueError(
                f"{model}: a packet holds exactly \"channels\" = {C} channel blocks, the description gives "
                f"{len(blocks)}"
            )
        lblk = k["nwh"] + params["windows"] * params["samples"] + k["nwf"]
        total = k["nch"] + k["ncf"] + 2 * C * lblk
        _check_size(total, model)
        if k["nch"] + k["ncf"] < 1:
            raise ValueError(f"{model}: the words start at byte 1, so the chip header and footer need a byte")
        words = []
        for c, first, body in blocks:
            body[0] = self.head(k, c, first, "first window")
            words.extend(body)
        packet = b"\x00" + _le(words)
        packet += bytes(total - len(packet))
        if ((total - 1) // 2) // lblk != C:
            raise ValueError(f"{model}: the chip header and footer sizes make the parser read extra blocks")
        return packet


class Vombel96(_FullBuffer):
    name = "vombel96"
    board = dict(channels=96, windows=4, samples=32)

    def consts(self, p):
        return dict(
            super().consts(p),
            nc=self.key(p, "num_chips"),
            nef=self.key(p, "n_event_footers"),
        )

    def outer_channels(self, params):
        return VOMBEL96_CHANNELS

    def channel_limit(self, params):
        return VOMBEL96_CHANNELS

    def has_ecc(self):
        return True

    def check_params(self, params):
        if params["channels"] > VOMBEL96_CHANNELS:
            raise ValueError("vombel96: boards have at most 96 channels")

    def channel_max(self, params):
        return min(params["channels"], VOMBEL96_CHANNELS) - 1

    def plan_channels(self, params):
        k = self.consts(params)
        cpc = params["channels"] // k["nc"] if k["nc"] else 0
        return range(min(cpc * k["nc"], VOMBEL96_CHANNELS))

    def encode(self, params, event, ecc=None):
        """`ecc`: True writes every sample word as an ECC code word, False leaves bits 10-15 as the one's
        complement gives them, None (the default) writes code words when the packet has exactly the
        geometry that ecc_check examines (a full-size event: all sixteen channel blocks of every chip, 4096
        sample words each) and the sample field lies within the ten data bits."""
        k = self.consts(params)
        model = self.name
        if ecc and k["dm"] & ~0x3FF:
            raise ValueError(f"{model}: ECC words carry ten data bits; \"data_mask\" {k['dm']:#06x} reaches beyond them")
        if k["nc"] == 0:
            raise ValueError(f"{model}: \"num_chips\" 0 leaves the chip layout undefined")
        cpc = params["channels"] // k["nc"]
        blocks = self.blocks(params, event)
        if blocks and cpc == 0:
            raise ValueError(f"{model}: fewer channels than chips leaves no channel block in a chip")
        if cpc and len(blocks) % cpc:
            raise ValueError(
                f"{model}: a chip block carries exactly {cpc} channel blocks, so the described channels must "
                "fill whole chips"
            )
        out = bytearray()
        sample_ranges = []  # byte range of each channel block's sample words
        nsamp = params["windows"] * params["samples"]
        for g in range(0, len(blocks), max(cpc, 1)):
            group = blocks[g : g + cpc]
            chip = group[0][0] // cpc
            if chip > 63:
                raise ValueError(f"{model}: chip number {chip} does not fit 6 bits")
            words = []
            for c, first, body in group:
                cwc = c - cpc * chip
                if ((cpc & 0xFFFF) * chip + cwc) & 0xFFFF != c:
                    raise ValueError(f"{model}: channel {c} cannot be named from chip {chip}")
                body[0] = self.head(k, cwc, first, "first window")
                words.extend(body)
            block = bytes([chip] + [0] * max(0, k["nch"] - 1)) if k["nch"] else b""
            for j, (_, _, body) in enumerate(group):
                start = len(out) + len(block) + 2 * (j * len(body) + k["nwh"])
                sample_ranges.append((start, start + 2 * nsamp))
            block += _le(words) + bytes(k["ncf"])
            if block[0] & 0x3F != chip:
                raise ValueError(f"{model}: with \"n_chip_headers\" 0 the first payload byte must name the chip")
            out += block
        out += bytes(k["nef"])
        _check_size(len(out), model)
        if len(out) % 2:
            raise ValueError(f"{model}: the chip and footer sizes give an odd packet length")
        if ecc is None:
            ecc = not k["dm"] & ~0x3FF and sample_ranges == ecc_channel_ranges(len(out))
        if ecc:
            for start, end in sample_ranges:
                words = np.frombuffer(bytes(out[start:end]), dtype="<u2").astype(np.int64)
                out[start:end] = ecc_encode(words & 0x3FF).astype("<u2").tobytes()
        return bytes(out)

    def expected_ecc(self):
        return [[] for _ in range(VOMBEL96_CHANNELS)]


class Kivrov1(Codec):
    name = "kivro"

    def consts(self, p):
        return dict(
            E=self.key(p, "n_event_headers"),
            H=self.key(p, "n_window_headers"),
            F=self.key(p, "n_footer_words"),
        )

    def sizes(self, params):
        k = self.consts(params)
        S = params["samples"]
        U = 2 * (k["E"] + 4 * (k["H"] + S) + k["F"]) + 2
        V = 2 * (k["H"] + S)
        return k, U, V, U - 4 - 2 * k["E"]

    def per_block(self, params):
        k, U, V, R = self.sizes(params)
        return R // V if V and R > 0 and R % V == 0 else 4

    def plan(self, params, rng, per_event):
        # Board blocks carry a fixed number of windows: round the windows per channel up so they fill them.
        nchan = self.channel_max(params) + 1
        nwb = self.per_block(params)
        step = nwb // math.gcd(nwb, nchan) if nchan else 1
        per_event = -(-per_event // step) * step
        if per_event > 1024:
            raise ValueError(f"kivro: these layout keys need {per_event} windows per channel to fill board blocks")
        return super().plan(params, rng, per_event)

    def encode(self, params, event):
        k, U, V, R = self.sizes(params)
        model = self.name
        if k["H"] < 2:
            raise ValueError(f"{model}: \"n_window_headers\" below 2 leaves no room for the window and channel words")
        if k["E"] == 0:
            raise ValueError(f"{model}: \"n_event_headers\" 0 overlaps the board number and the first window")
        if R <= 0 or R % V:
            raise ValueError(f"{model}: the layout keys give a window region that is not a whole number of windows")
        nwb = R // V
        order = _readout_order(event)
        if not order or len(order) % nwb:
            raise ValueError(f"{model}: a board block carries exactly {nwb} windows; the event has {len(order)}")
        _check_size((len(order) // nwb) * U + 4, model)
        out = []
        for g in range(0, len(order), nwb):
            group = order[g : g + nwb]
            board = min(c for c, _ in group) // 4
            if board > 0xFFFF:
                raise ValueError(f"{model}: board number {board} does not fit 16 bits")
            words = [board] + [0] * (k["E"] - 1)
            for c, win in group:
                if c - 4 * board > 0xFFFF or win.label > 0xFFFF:
                    raise ValueError(f"{model}: channel {c} or window number {win.label} does not fit 16 bits")
                words += [win.label, c - 4 * board] + _encode_samples(win.samples, 0xFFFF, 0, model).tolist()
                words += [0] * (k["H"] - 2)
            words += [0, 0]  # footer word and the one after it
            out.extend(words)
        return _be(out) + bytes(4)


CODECS = {
    "pellorv3": Pellorv3(),
    "mirranv2": Mirranv2(),
    "pellorv3s": Pellorv3S(),
    "quarvelv3": Quarvelv3(),
    "skerd16": Skerd16(),
    "vombel96": Vombel96(),
    "kivro": Kivrov1(),
    "ovisk_mirran": Ovisk("ovisk_mirran"),
    "ovisk_pellor": Ovisk("ovisk_pellor"),
}
CODECS.update({name: Lanwev1(name) for name in LANWEV_MODELS})


def codec_for(params):
    model = params.get("model")
    if model not in CODECS:
        raise ValueError(f"unsupported board model {model!r}; choose one of: {', '.join(MODELS)}")
    return CODECS[model]
