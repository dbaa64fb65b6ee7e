"""Writes the serialized index format from plain Python values.

Tests use it to restore indexes with from_bytes, including inconsistent ones
the builder would refuse. It writes minimal varints, as the module does.
"""

import struct


def varint(value):
    if value < 0:
        raise ValueError("varints are unsigned")
    if value <= 250:
        return bytes([value])
    if value <= 0xFFFF:
        return b"\xfb" + struct.pack("<H", value)
    if value <= 0xFFFFFFFF:
        return b"\xfc" + struct.pack("<I", value)
    return b"\xfd" + struct.pack("<Q", value)


def seq(items, encode_item):
    return varint(len(items)) + b"".join(encode_item(x) for x in items)


def char(c):
    if isinstance(c, int):
        c = chr(c)
    return c.encode("utf-8")


def payload(p):
    """p is None (absent) or (total_count, video_ids, video_counts)."""
    if p is None:
        return b"\x00"
    total, ids, counts = p
    return b"\x01" + varint(total) + seq(ids, varint) + seq(counts, varint)


def encode_trie(node_shifts, child_labels, child_transitions, payloads,
                video_uuids=(), video_int_ids=(), id_mode=0, is_terminal=None):
    """The eight fields in their serialized order.

    child_labels: a str (one label per character, '\\0' for none) or a list of
    one-character strings / code points. is_terminal defaults to "has a payload".
    """
    labels = list(child_labels)
    if is_terminal is None:
        is_terminal = [p is not None for p in payloads]
    for u in video_uuids:
        if len(u) != 16:
            raise ValueError("uuids are 16 bytes")
    return b"".join([
        seq(list(node_shifts), varint),
        seq(labels, char),
        seq(list(child_transitions), varint),
        seq(list(payloads), payload),
        varint(len(video_uuids)) + b"".join(bytes(u) for u in video_uuids),
        seq(list(video_int_ids), varint),
        varint(id_mode),
        seq(list(is_terminal), lambda t: b"\x01" if t else b"\x00"),
    ])


# The example trie used throughout the tests: 'cat' (node 3), 'car' (4),
# 'cart' (5) and 'dog' (8); nodes 1 'c', 2 'ca', 6 'd', 7 'do' are prefixes.
CAT_LABELS = "\0catrtdog"
CAT_SHIFTS = [0, 2, 3, 5, 5, 6, 6, 7, 8]
CAT_TRANSITIONS = [1, 6, 2, 3, 4, 5, 7, 8]
CAT_TERMINAL = [False, False, False, True, True, True, False, False, True]


def cat_trie_bytes(payloads=None, **kwargs):
    if payloads is None:
        payloads = [(0, [], []) for _ in CAT_LABELS]
    kwargs.setdefault("is_terminal", CAT_TERMINAL)
    return encode_trie(CAT_SHIFTS, CAT_LABELS, CAT_TRANSITIONS, payloads, **kwargs)
