"""PrefixSearch.to_bytes / from_bytes: the serialized index as Python sees it."""

import os
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given, settings, strategies as st

from _quillmesh import PrefixSearch
from trie_bytes import cat_trie_bytes, encode_trie, varint

ONE_NODE = bytes.fromhex("0100 0100 00 0101000000 00 00 00 0100")
TWO_NODES = bytes.fromhex("020001 020061 0101 02010101000101010101000101 00 0107 01 020001")



def unexpected_variant(type_name, found):
    return f'UnexpectedVariant {{ type_name: "{type_name}", allowed: Range {{ min: 0, max: 1 }}, found: {found} }}'


OPTION = "core::option::Option<quillmesh::payload::Payload>"


def decode_error(rendering):
    return "decode error: " + rendering


def test_worked_examples_round_trip_byte_for_byte():
    assert len(ONE_NODE) == 15 and len(TWO_NODES) == 28
    for data in (ONE_NODE, TWO_NODES, cat_trie_bytes()):
        assert PrefixSearch.from_bytes(data).to_bytes() == data
    assert PrefixSearch.from_bytes(b=ONE_NODE).to_bytes() == ONE_NODE


def test_to_bytes_gives_a_new_bytes_object_each_time():
    index = PrefixSearch.from_bytes(TWO_NODES)
    first, second = index.to_bytes(), index.to_bytes()
    assert type(first) is bytes and first == second == TWO_NODES


@pytest.mark.parametrize("data, message", [
    (b"", "UnexpectedEnd { additional: 1 }"),
    (b"\x01", "UnexpectedEnd { additional: 1 }"),
    (b"\xff", "InvalidIntegerType { expected: U64, found: Reserved }"),
    (b"\xff\x00\x00\x00\x00\x00\x00\x00\x00", "InvalidIntegerType { expected: U64, found: Reserved }"),
    (b"\xfe", "InvalidIntegerType { expected: U64, found: U128 }"),
    (b"\xfb\x01", "UnexpectedEnd { additional: 1 }"),
    (b"\x01\xfd", "InvalidIntegerType { expected: U32, found: U64 }"),
    (b"\x01\xff", "InvalidIntegerType { expected: U32, found: Reserved }"),
    (ONE_NODE[:-1] + b"\x02", "InvalidBooleanValue(2)"),
    (ONE_NODE[:5] + b"\x01\x02", unexpected_variant(OPTION, 2)),
    (ONE_NODE[:5] + b"\x02\x00\xff", unexpected_variant(OPTION, 255)),
    (ONE_NODE[:12] + b"\x02\x01\x00", unexpected_variant("IdMode", 2)),
    (ONE_NODE[:12] + b"\xfc\xff\xff\xff\xff", unexpected_variant("IdMode", 4294967295)),
    (ONE_NODE[:10] + b"\x01" + bytes(range(15)), "UnexpectedEnd { additional: 1 }"),
    (b"\x00\x01\x80", "InvalidCharEncoding([128, 0, 0, 0])"),
    (b"\x00\x01\xf5\x80\x80\x80", "InvalidCharEncoding([245, 0, 0, 0])"),
    (b"\x00\x01\xed\xa0\x80", "InvalidCharEncoding([237, 160, 128, 0])"),
    (b"\x00\x01\xe0\x80\x80", "InvalidCharEncoding([224, 128, 128, 0])"),
    (b"\x00\x01\xf4\x90\x80\x80", "InvalidCharEncoding([244, 144, 128, 128])"),
    (b"\x00\x01\xf0\x9f\x98", "UnexpectedEnd { additional: 1 }"),
    (b"\xfd\x00\x00\x00\x00\x01\x00\x00\x00", "OutsideUsizeRange(4294967296)"),
    (b"\x00\x00\x00\x00\xfd\xff\xff\xff\xff\xff\xff\xff\xff", "OutsideUsizeRange(18446744073709551615)"),
])
def test_decode_errors(data, message):
    with pytest.raises(ValueError) as info:
        PrefixSearch.from_bytes(data)
    assert str(info.value) == decode_error(message)
    assert type(info.value) is ValueError


def test_variant_rendering_is_written_out_exactly():
    # Pins the helper used in the table above to the literal text.
    assert unexpected_variant("IdMode", 2) == \
        'UnexpectedVariant { type_name: "IdMode", allowed: Range { min: 0, max: 1 }, found: 2 }'


@pytest.mark.parametrize("extra", [b"\x00", b"\xff", b"garbage that is not an index", bytes(4096)])
def test_trailing_bytes_are_ignored(extra):
    assert PrefixSearch.from_bytes(ONE_NODE + extra).to_bytes() == ONE_NODE


@pytest.mark.parametrize("data", [
    b"\xfb\x01\x00" + ONE_NODE[1:],                                # node_shifts length as u16
    ONE_NODE[:2] + b"\xfc\x01\x00\x00\x00" + ONE_NODE[3:],          # child_labels length as u32
    ONE_NODE[:5] + b"\xfd\x01\x00\x00\x00\x00\x00\x00\x00" + ONE_NODE[6:],  # payloads length as u64
    ONE_NODE[:7] + b"\xfb\x00\x00" + ONE_NODE[8:],                  # total_count 0 as u16
])
def test_non_minimal_varints_decode_and_reencode_minimal(data):
    assert PrefixSearch.from_bytes(data).to_bytes() == ONE_NODE


@pytest.mark.parametrize("value, type_name", [
    (bytearray(ONE_NODE), "bytearray"),
    (memoryview(ONE_NODE), "memoryview"),
    (ONE_NODE.decode("latin-1"), "str"),
    (None, "NoneType"),
    ([1, 0], "list"),
])
def test_only_bytes_objects_are_accepted(value, type_name):
    with pytest.raises(TypeError) as info:
        PrefixSearch.from_bytes(value)
    assert str(info.value) == f"argument 'b': '{type_name}' object cannot be converted to 'PyBytes'"


def test_bytes_subclass_is_accepted():
    class Blob(bytes):
        pass

    assert PrefixSearch.from_bytes(Blob(TWO_NODES)).to_bytes() == TWO_NODES


# A declared count of 2^32-1 at each sequence, with nothing after it.
HUGE = b"\xfc\xff\xff\xff\xff"
HUGE_LENGTH_CASES = [
    HUGE,                                 # node_shifts
    b"\x00" + HUGE,                       # child_labels
    b"\x00\x00" + HUGE,                   # child_transitions
    b"\x00\x00\x00" + HUGE + b"\x00",     # payloads, one absent one, then nothing
    b"\x00\x00\x00\x00" + HUGE + b"\x01",  # video_uuids, 1 of 16 bytes
    b"\x00" * 5 + HUGE,                   # video_int_ids
    b"\x00" * 7 + HUGE + b"\x01",         # is_terminal
    b"\x00\x00\x00\x01\x01\x00" + HUGE,   # a payload's video_ids
]
HUGE_LENGTH_MESSAGES = ["UnexpectedEnd { additional: 1 }"] * 4 + ["UnexpectedEnd { additional: 15 }"] + \
    ["UnexpectedEnd { additional: 1 }"] * 3


@pytest.mark.parametrize("data, message", list(zip(HUGE_LENGTH_CASES, HUGE_LENGTH_MESSAGES)))
def test_huge_declared_length_without_data_is_a_plain_decode_error(data, message):
    with pytest.raises(ValueError) as info:
        PrefixSearch.from_bytes(data)
    assert str(info.value) == decode_error(message)


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="address-space limits do not mix with the sanitizer's shadow memory")
def test_huge_declared_length_allocates_nothing_by_it():
    # Under a 1 GiB address-space cap, reserving by any of these counts (16 GiB
    # and up) would fail with MemoryError or kill the process.
    script = textwrap.dedent(f"""
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
        from _quillmesh import PrefixSearch
        for data in {HUGE_LENGTH_CASES!r}:
            try:
                PrefixSearch.from_bytes(data)
            except ValueError as e:
                assert str(e).startswith("decode error: UnexpectedEnd"), e
            else:
                raise AssertionError("decoded")
        print("ok")
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout.strip()) == (0, "ok"), done.stderr


# ------------------------------------------------------------------ properties

u32 = st.one_of(st.sampled_from([0, 250, 251, 65535, 65536, 2**31, 2**32 - 1]),
                st.integers(0, 2**32 - 1))
scalar = st.one_of(st.just("\0"), st.characters(blacklist_categories=("Cs",)),
                   st.characters(min_codepoint=0x10000, max_codepoint=0x10FFFF))
payload = st.none() | st.tuples(u32, st.lists(u32, max_size=4), st.lists(u32, max_size=4))


@st.composite
def trie_bytes(draw):
    # Lengths may disagree: the format stores what it is given.
    n = draw(st.integers(0, 8))
    id_mode = draw(st.integers(0, 1))
    return encode_trie(
        node_shifts=draw(st.lists(u32, min_size=n, max_size=n + 1)),
        child_labels=draw(st.lists(scalar, min_size=n, max_size=n)),
        child_transitions=draw(st.lists(u32, max_size=10)),
        payloads=draw(st.lists(payload, min_size=n, max_size=n)),
        video_uuids=draw(st.lists(st.binary(min_size=16, max_size=16), max_size=3)) if id_mode == 0 else [],
        video_int_ids=draw(st.lists(u32, max_size=3)) if id_mode == 1 else [],
        id_mode=id_mode,
        is_terminal=draw(st.lists(st.booleans(), min_size=n, max_size=n)),
    )


@settings(max_examples=300, deadline=None)
@given(trie_bytes())
def test_round_trip_of_minimal_encodings(data):
    assert PrefixSearch.from_bytes(data).to_bytes() == data


@settings(max_examples=300, deadline=None)
@given(st.binary(max_size=64) | trie_bytes().map(bytearray).flatmap(
    lambda b: st.integers(0, len(b) - 1).flatmap(
        lambda i: st.integers(0, 255).map(lambda v: bytes(b[:i]) + bytes([v]) + bytes(b[i + 1:])))))
def test_any_input_decodes_to_a_stable_encoding_or_fails_cleanly(data):
    try:
        index = PrefixSearch.from_bytes(data)
    except ValueError as e:
        assert str(e).startswith("decode error: ")
        return
    out = index.to_bytes()
    assert len(out) <= len(data)
    assert PrefixSearch.from_bytes(out).to_bytes() == out


def test_varint_helper_agrees_with_the_module():
    # trie_bytes.py builds most test indexes; pin it to the module's bytes.
    for value, encoded in [(300, "fb2c01"), (70000, "fc70110100"), (2**32 - 1, "fcffffffff")]:
        assert varint(value).hex() == encoded
        data = encode_trie([value], "\0", [], [None])
        assert PrefixSearch.from_bytes(data).to_bytes() == data
