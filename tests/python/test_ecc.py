"""The vombel96 error-correcting code from Python: word arithmetic, whole-packet check and correction,
argument handling, and the worker pool seen from the interpreter (worker counts, fork)."""

import array
import hashlib
import os
import random
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import brimoacq

# The bits each syndrome bit covers, and the bit named by each syndrome value 1..15.
SYNDROME_BITS = [
    [0, 1, 3, 4, 6, 8, 10],
    [0, 2, 3, 5, 6, 9, 11],
    [1, 2, 3, 7, 8, 9, 12],
    [4, 5, 6, 7, 8, 9, 13],
]
BIT_OF_SYNDROME = {1: 10, 2: 11, 3: 0, 4: 12, 5: 1, 6: 2, 7: 3, 8: 13, 9: 4, 10: 5, 11: 6, 12: 7,
                   13: 8, 14: 9, 15: 15}
CHIP_BLOCK = 131140
FULL = 6 * CHIP_BLOCK + 2
WORDS_PER_CHANNEL = 4096


def ref_syndrome(word):
    return [sum((word >> b) & 1 for b in bits) % 2 for bits in SYNDROME_BITS]


def ref_parity(word):
    return sum((word >> b) & 1 for b in range(16)) % 2


def ref_value(word):
    s = ref_syndrome(word)
    return s[0] + 2 * s[1] + 4 * s[2] + 8 * s[3]


def channel_start(k):
    return CHIP_BLOCK * (k // 16) + 3 + 8196 * (k % 16)


def word_at(packet, offset):
    return packet[offset] | (packet[offset + 1] << 8)


def put_word(packet, offset, word):
    packet[offset] = word & 0xFF
    packet[offset + 1] = word >> 8


def encode(data):
    """A clean code word carrying data bits 0-9 and bit 15 of `data`."""
    word = data & 0x83FF
    for k, s in enumerate(ref_syndrome(word)):
        word |= s << (10 + k)
    return word | (ref_parity(word) << 14)


@pytest.fixture(scope="module")
def clean():
    """A full packet of random clean words; the bytes outside the sample ranges are random too, and
    must never be looked at."""
    rng = random.Random(96)
    codewords = [encode(d) for d in range(0x10000) if d & 0x7C00 == 0]
    packet = bytearray(rng.randbytes(FULL))
    for k in range(96):
        words = array.array("H", rng.choices(codewords, k=WORDS_PER_CHANNEL))
        if sys.byteorder == "big":
            words.byteswap()
        start = channel_start(k)
        packet[start:start + 2 * WORDS_PER_CHANNEL] = words.tobytes()
    return bytes(packet)


def random_positions(rng, count):
    """`count` distinct (channel, sample) positions in random order."""
    return rng.sample([(c, s) for c in range(96) for s in range(0, WORDS_PER_CHANNEL, 7)], count)


@pytest.fixture(scope="module")
def dirty(clean):
    """The clean packet with single errors, double errors and odd-parity zero-syndrome words at random
    places, and the records expected for them in packet order."""
    rng = random.Random(7)
    packet = bytearray(clean)
    expected = []
    for n, (channel, sample) in enumerate(random_positions(rng, 60)):
        offset = channel_start(channel) + 2 * sample
        original = word_at(packet, offset)
        if n % 3 == 0:      # single error in a data or check bit: repaired
            bits = [rng.randrange(14)]
        elif n % 3 == 1:    # double error: reported, left alone (bits 14 and 15 together are invisible)
            bits = rng.sample(range(16), 2)
            while set(bits) == {14, 15}:
                bits = rng.sample(range(16), 2)
        else:               # bit 14 or 15 alone: odd parity without a syndrome, left alone
            bits = [rng.choice([14, 15])]
        raw = original
        for b in bits:
            raw ^= 1 << b
        put_word(packet, offset, raw)
        s = ref_value(raw)
        p = ref_parity(raw)
        corrected = original if len(bits) == 1 and bits[0] < 14 else raw
        expected.append((2 * sample, offset, raw, corrected, BIT_OF_SYNDROME.get(s, 0), p))
    expected.sort(key=lambda r: r[1])
    return bytes(packet), expected


# --- word arithmetic --------------------------------------------------------------------------------

@pytest.mark.parametrize("s, index", [
    ([1, 1, 0, 0], 0), ([0, 0, 0, 0], None), ((1, 1, 1, 1), 15), ([1, 0, 0, 0], 10),
    ([0, 0, 0, 1], 13), ([2, 0, 0, 0], 11), ([16, 0, 0, 0], None), ([0, 0, 0, 2], None),
    ([255, 255, 255, 255], None), (b"\x01\x01\x00\x00", 0), (range(4), None), ([1, 1, 1, 0], 3),
])
def test_syndrome_to_index_examples(s, index):
    assert brimoacq.syndrome_to_index(s) == index


def test_every_word_against_a_plain_reference():
    for word in range(0x10000):
        s = ref_syndrome(word)
        assert brimoacq.syndrome(word) == s, hex(word)
        assert brimoacq.global_parity(word) == ref_parity(word), hex(word)
        value = s[0] + 2 * s[1] + 4 * s[2] + 8 * s[3]
        assert brimoacq.syndrome_to_index(s) == BIT_OF_SYNDROME.get(value), hex(word)


# --- argument handling ------------------------------------------------------------------------------

OUT_OF_RANGE = "out of range integral type conversion attempted"


@pytest.mark.parametrize("call, error, message", [
    (lambda: brimoacq.syndrome(65536), OverflowError, OUT_OF_RANGE),
    (lambda: brimoacq.syndrome(-1), OverflowError, OUT_OF_RANGE),
    (lambda: brimoacq.global_parity(1 << 80), OverflowError, OUT_OF_RANGE),
    (lambda: brimoacq.syndrome("1"), TypeError, "argument 'data': "),
    (lambda: brimoacq.global_parity(1.0), TypeError, "argument 'data': "),
    (lambda: brimoacq.syndrome_to_index([1, 2, 3]), ValueError, "expected a sequence of length 4 (got 3)"),
    (lambda: brimoacq.syndrome_to_index([0] * 5), ValueError, "expected a sequence of length 4 (got 5)"),
    (lambda: brimoacq.syndrome_to_index([256, 0, 0, 0]), OverflowError, OUT_OF_RANGE),
    (lambda: brimoacq.syndrome_to_index([0, -1, 0, 0]), OverflowError, OUT_OF_RANGE),
    (lambda: brimoacq.syndrome_to_index([0, "a", 0, 0]), TypeError, "argument 's': "),
    (lambda: brimoacq.syndrome_to_index(5), TypeError, "argument 's': "),
    (lambda: brimoacq.ecc_check("ab"), TypeError, "argument 'raw_bytes': Can't extract `str` to `Vec`"),
    (lambda: brimoacq.ecc_correct("ab"), TypeError, "argument 'raw_bytes': Can't extract `str` to `Vec`"),
    (lambda: brimoacq.ecc_check(5), TypeError, "argument 'raw_bytes': "),
    (lambda: brimoacq.ecc_check(None), TypeError, "argument 'raw_bytes': "),
    (lambda: brimoacq.ecc_check([0, 1.5]), TypeError, "argument 'raw_bytes': "),
    (lambda: brimoacq.ecc_correct([0, "x"]), TypeError, "argument 'raw_bytes': "),
    (lambda: brimoacq.ecc_check([0, 256]), OverflowError, OUT_OF_RANGE),
    (lambda: brimoacq.ecc_correct([-1, 0]), OverflowError, OUT_OF_RANGE),
    (lambda: brimoacq.ecc_check(array.array("H", [0, 300])), OverflowError, OUT_OF_RANGE),
    (lambda: brimoacq.syndrome(), TypeError, "missing 1 required argument: 'data'"),
    (lambda: brimoacq.ecc_check(b"\0\0", b"\0\0"), TypeError, "takes 1 positional argument"),
    (lambda: brimoacq.ecc_check(data=b"\0\0"), TypeError, "unexpected keyword argument 'data'"),
])
def test_argument_errors(call, error, message):
    with pytest.raises(error) as info:
        call()
    text = str(info.value)
    assert text == message if error is not TypeError else message in text
    if error is not TypeError:
        assert not text.startswith("argument")


def test_keyword_arguments():
    assert brimoacq.syndrome(data=1) == [1, 1, 0, 0]
    assert brimoacq.global_parity(data=3) == 0
    assert brimoacq.syndrome_to_index(s=[1, 1, 0, 0]) == 0
    assert brimoacq.ecc_check(raw_bytes=b"\0\0") == []
    assert brimoacq.ecc_correct(raw_bytes=b"\0\0") == bytearray(2)


DOCS = {
    "syndrome": "syndrome(data)\n--\n\nCalculate the syndrome for a given 16-bit data word.\nThe syndrome is "
                "a 4-byte array where each byte represents the parity of specific bits in the data word.\n\n"
                "# Arguments\n* `data` - A 16-bit unsigned integer representing the data word.\n# Returns\n"
                "* An array of 4 bytes, each representing the parity of specific bits in the data word.\n",
    "global_parity": "global_parity(data)\n--\n\nCalculate the global parity for a 16-bit data word.\n\nThe "
                     "global parity is the XOR of all bits in the data word, excluding the last bit.\ngp = d(0) "
                     "xor \u00a0d(1) xor d(2) xor \u00a0d(3) xor \u00a0d(4) xor d(5) xor \u00a0d(6) xor d(7) xor "
                     "\u00a0d(8) xor \u00a0d(9) xor d(10) xor d(11) xor d(12) xor d(13) xor d(14)\n\n# Arguments"
                     "\n* `data` - A 16-bit unsigned integer representing the data word.\n# Returns\n* An "
                     "integer representing the global parity of the data word.\n",
    "syndrome_to_index": "syndrome_to_index(s)\n--\n\nConvert a syndrome to an index based on the "
                         "corrections.\n\n# Arguments\n* `s` - bit position or None.",
    "ecc_check": "ecc_check(raw_bytes)\n--\n\n",
    "ecc_correct": "ecc_correct(raw_bytes)\n--\n\n",
}


@pytest.mark.parametrize("name", sorted(DOCS))
def test_docstrings_and_signatures(name):
    head, body = DOCS[name].split("\n--\n\n")
    function = getattr(brimoacq, name)
    assert function.__text_signature__ == head[len(name):]
    assert (function.__doc__ or "") == body


# --- whole packets ----------------------------------------------------------------------------------

@pytest.mark.parametrize("channel, start", [(0, 3), (15, 122943), (16, 131143), (95, 778643)])
@pytest.mark.parametrize("sample", [0, 4095])
@pytest.mark.parametrize("word, bit, parity, corrected", [
    (0x0008, 3, 1, 0x0000),
    (0x0400, 10, 1, 0x0000),
    (0x0800, 11, 1, 0x0000),
    (0x1000, 12, 1, 0x0000),
    (0x2000, 13, 1, 0x0000),
    (0x0003, 2, 0, 0x0003),   # double error: reported, not repaired
    (0x3C00, 15, 0, 0x3C00),  # syndrome 15, even parity
    (0x4000, 0, 1, 0x4000),   # odd parity, zero syndrome: names no bit, bit 0 stays as it is
    (0x8000, 0, 1, 0x8000),
    (0x5C08, 0, 1, 0x5C08),   # five flips whose syndromes cancel
])
def test_one_suspicious_word_in_a_zero_packet(channel, start, sample, word, bit, parity, corrected):
    packet = bytearray(FULL)
    offset = start + 2 * sample
    put_word(packet, offset, word)
    assert brimoacq.ecc_check(bytes(packet)) == [(2 * sample, offset, word, corrected, bit, parity)]
    fixed = brimoacq.ecc_correct(packet)
    expected = bytearray(packet)
    put_word(expected, offset, corrected)
    assert fixed == expected


def test_clean_packet(clean):
    assert brimoacq.ecc_check(clean) == []
    fixed = brimoacq.ecc_correct(clean)
    assert type(fixed) is bytearray and fixed == clean


def test_random_errors_are_reported_in_packet_order_and_singles_repaired(clean, dirty):
    packet, expected = dirty
    records = brimoacq.ecc_check(packet)
    assert records == expected
    assert all(type(r) is tuple and len(r) == 6 for r in records)
    # Only the single errors are undone: every other record leaves its word as it was.
    want = bytearray(packet)
    for _, offset, _, corrected, _, _ in expected:
        put_word(want, offset, corrected)
    fixed = brimoacq.ecc_correct(packet)
    assert fixed == want
    assert brimoacq.ecc_check(fixed) == [r for r in expected if r[2] == r[3]]


def test_many_single_errors_restore_the_packet(clean):
    rng = random.Random(11)
    packet = bytearray(clean)
    for channel, sample in random_positions(rng, 500):
        offset = channel_start(channel) + 2 * sample
        put_word(packet, offset, word_at(packet, offset) ^ (1 << rng.randrange(14)))
    assert len(brimoacq.ecc_check(packet)) == 500
    assert brimoacq.ecc_correct(packet) == clean


def containers(packet):
    wide = bytes(b for pair in zip(packet, packet) for b in pair)
    return {
        "bytes": bytes(packet),
        "bytearray": bytearray(packet),
        "list": list(packet),
        "tuple": tuple(packet),
        "memoryview": memoryview(bytes(packet)),
        "strided memoryview": memoryview(wide)[::2],
        "array B": array.array("B", packet),
        "array H": array.array("H", list(packet)),  # wider items: read as integers
    }


@pytest.mark.parametrize("kind", list(containers(b"")))
def test_every_container_gives_equal_results_and_stays_unchanged(dirty, kind):
    packet, expected = dirty
    arg = containers(packet)[kind]
    before = bytes(arg)
    assert brimoacq.ecc_check(arg) == expected
    fixed = brimoacq.ecc_correct(arg)
    assert type(fixed) is bytearray and fixed == brimoacq.ecc_correct(packet) != packet
    assert bytes(arg) == before


VALID_LENGTHS = [2] + [n * CHIP_BLOCK + d for n in range(1, 7) for d in (-5, 2)]
INVALID_LENGTHS = [0, 1, 3, 100, CHIP_BLOCK - 6, CHIP_BLOCK + 3, 2 * CHIP_BLOCK - 6, FULL + 1,
                   FULL + CHIP_BLOCK, 10 * FULL]


@pytest.mark.parametrize("length", VALID_LENGTHS)
def test_valid_lengths(length):
    packet = bytearray(length)
    if length % CHIP_BLOCK != CHIP_BLOCK - 5:
        packet[-1] = 0xFF  # beyond the last channel range: never examined
    assert brimoacq.ecc_check(packet) == []
    assert brimoacq.ecc_correct(packet) == packet


@pytest.mark.parametrize("function", [brimoacq.ecc_check, brimoacq.ecc_correct])
@pytest.mark.parametrize("length", INVALID_LENGTHS)
def test_invalid_lengths_raise_value_error(function, length):
    with pytest.raises(ValueError, match=r"invalid packet length %d: .*131135 to 131142" % length):
        function(bytes(length))


@pytest.mark.parametrize("function", [brimoacq.ecc_check, brimoacq.ecc_correct])
@pytest.mark.parametrize("length", [2, 3, FULL])
def test_buffer_released_on_every_path(function, length):
    arg = bytearray(length)
    try:
        function(arg)
    except ValueError:
        pass
    arg.append(0)  # a buffer still exported would make this a BufferError


# --- the worker pool from Python --------------------------------------------------------------------

CHILD = textwrap.dedent("""
    import hashlib, sys
    import brimoacq
    packet = open(sys.argv[1], "rb").read()
    print(hashlib.sha256(repr(brimoacq.ecc_check(packet)).encode()).hexdigest())
    print(hashlib.sha256(brimoacq.ecc_correct(packet)).hexdigest())
""")


def digests(packet):
    return [hashlib.sha256(repr(brimoacq.ecc_check(packet)).encode()).hexdigest(),
            hashlib.sha256(brimoacq.ecc_correct(packet)).hexdigest()]


@pytest.mark.parametrize("env", [
    {"RAYON_NUM_THREADS": "1"},
    {"RAYON_NUM_THREADS": "2"},
    {"RAYON_NUM_THREADS": "7"},
    {"RAYON_NUM_THREADS": "x", "RAYON_RS_NUM_CPUS": "1"},
])
def test_equal_results_for_any_worker_count(dirty, tmp_path, env):
    packet, _ = dirty
    path = tmp_path / "packet.bin"
    path.write_bytes(packet)
    module_dir = os.path.dirname(os.path.abspath(brimoacq.__file__))
    child_env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    child_env.update(env)
    child_env["PYTHONPATH"] = os.pathsep.join([module_dir] + sys.path)
    out = subprocess.run([sys.executable, "-c", CHILD, str(path)], env=child_env, capture_output=True,
                         text=True, timeout=120, check=True).stdout
    assert out.split() == digests(packet)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_forked_child_uses_a_pool_of_its_own(dirty):
    packet, expected = dirty
    assert brimoacq.ecc_check(packet) == expected  # the parent's pool is running
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            ok = brimoacq.ecc_check(packet) == expected and brimoacq.ecc_check(packet) == expected
            code = 0 if ok else 2
        finally:
            os._exit(code)
    deadline = time.monotonic() + 60
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            pytest.fail("the forked child hung in ecc_check")
        time.sleep(0.02)
    assert os.waitstatus_to_exitcode(status) == 0
    assert brimoacq.ecc_check(packet) == expected  # and the parent's pool still works
