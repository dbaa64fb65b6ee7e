import pytest
from hypothesis import given, settings, strategies as st

import quillmesh
from _quillmesh import PrefixSearch
from trie_bytes import cat_trie_bytes, encode_trie
from oracle import levenshtein


@pytest.fixture(scope="module")
def cat():
    return PrefixSearch.from_bytes(cat_trie_bytes())


def chain_bytes(length, label="a", is_terminal=None):
    """Root plus `length` nodes, each the only child of the one before."""
    n = length + 1
    if is_terminal is None:
        is_terminal = [False] + [True] * length
    return encode_trie(list(range(n)), "\0" + label * length, list(range(1, n)),
                       [None] * n, is_terminal=is_terminal)


def panic_message(call):
    try:
        call()
    except BaseException as e:  # PanicException derives from BaseException only
        assert (type(e).__module__, type(e).__name__) == ("pyo3_runtime", "PanicException")
        assert not isinstance(e, Exception)
        return str(e)
    pytest.fail("no PanicException raised")


def oob(length, index):
    return f"index out of bounds: the len is {length} but the index is {index}"


@pytest.mark.parametrize("args, kwargs, expected", [
    (("cat",), {}, [("cat", 1, 0), ("car", 1, 1), ("cart", 1, 1)]),
    (("cat", 1, 2), {}, [("cat", 1, 0), ("car", 1, 1)]),
    (("cat", 0), {}, [("cat", 1, 0)]),
    (("ca", 1), {}, [("cat", 1, 1), ("car", 1, 1)]),
    (("dg", 1), {}, [("dog", 1, 1)]),
    (("", 1), {}, []),
    (("", 3), {}, [("cat", 1, 3), ("car", 1, 3), ("dog", 1, 3)]),
    (("Cat", 0), {}, []),
    (("cat",), {"limit": None}, [("cat", 1, 0), ("car", 1, 1), ("cart", 1, 1)]),
    (("cat",), {"limit": 99}, [("cat", 1, 0), ("car", 1, 1), ("cart", 1, 1)]),
    ((), {"limit": 1, "term": "dog", "max_dist": 0}, [("dog", 1, 0)]),
])
def test_cat_table(cat, args, kwargs, expected):
    assert cat.fuzzy_match(*args, **kwargs) == expected


def test_result_shape(cat):
    result = cat.fuzzy_match("cat")
    assert type(result) is list
    assert all(type(t) is tuple and [type(x) for x in t] == [str, int, int] for t in result)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("kwargs, error, text", [
    ({"term": "cat", "max_dist": None}, TypeError,
     "argument 'max_dist': 'NoneType' object cannot be interpreted as an integer"),
    ({"term": "cat", "max_dist": -1}, OverflowError, None),
    ({"term": "cat", "max_dist": 2**32}, OverflowError, "out of range integral type conversion attempted"),
    ({"term": "cat", "max_dist": 1.0}, TypeError, "argument 'max_dist': "),
    ({"term": "cat", "limit": "2"}, TypeError, "argument 'limit': "),
    ({"term": "cat", "limit": -1}, OverflowError, None),
    ({"term": "cat", "limit": 2**32}, OverflowError, "out of range integral type conversion attempted"),
    ({"term": b"cat"}, TypeError, "argument 'term': 'bytes' object cannot be converted to 'PyString'"),
    # Conversion runs in parameter order: the first bad argument is reported.
    ({"term": 5, "max_dist": None}, TypeError, "argument 'term': "),
    ({"term": "cat", "max_dist": None, "limit": -1}, TypeError, "argument 'max_dist': "),
])
def test_argument_conversion(cat, kwargs, error, text):
    with pytest.raises(error) as info:
        cat.fuzzy_match(**kwargs)
    if text is not None:
        assert str(info.value).startswith(text)


def test_lone_surrogate_fails_term_conversion(cat):
    with pytest.raises(UnicodeEncodeError):
        cat.fuzzy_match("ca\ud800")


def test_integers_through_the_index_protocol(cat):
    assert cat.fuzzy_match("cat", Index(0), Index(1)) == [("cat", 1, 0)]
    assert cat.fuzzy_match("cat", True) == cat.fuzzy_match("cat", 1)


def test_astral_and_accented_labels():
    p = PrefixSearch.from_bytes(encode_trie([0, 1, 2], "\0é\U0001F600", [1, 2], [None] * 3,
                                            is_terminal=[False, False, True]))
    assert p.fuzzy_match("é\U0001F600", 0) == [("é\U0001F600", 1, 0)]
    assert p.fuzzy_match("e\U0001F600") == [("é\U0001F600", 1, 1)]
    assert p.fuzzy_match("\U0001F600") == [("é\U0001F600", 1, 1)]


def word_bytes(word):
    """Root plus one node per code point of `word`, its end terminal."""
    n = len(word) + 1
    return encode_trie(list(range(n)), "\0" + word, list(range(1, n)), [None] * n,
                       is_terminal=[False] * len(word) + [True])


# Result texts of every UTF-8 width, and a wide character at either end
# and across the eighth byte.
@pytest.mark.parametrize("word", [
    "", "a", "abcdefg", "abcdefgh", "abcdefghi", "abcdefghijklmnop",
    "é", "abcdefgé", "abcdefghé", "éabcdefgh", "abcdefghijklmnoé",
    "\u20ac" * 9, "abcdefg\U0001F600", "\x7f" * 8 + "\x80",
])
def test_result_text_of_any_width(word):
    p = PrefixSearch.from_bytes(word_bytes(word))
    expected = [(word, 1, 0)] if word else []
    got = p.fuzzy_match(word, 0)
    assert got == expected
    if word:
        assert type(got[0][0]) is str and got[0][0].isascii() == word.isascii()


# ---------------------------------------------------------------- decisions

@pytest.mark.parametrize("data", [
    encode_trie([], "", [], []),
    encode_trie([0], "", [0], [None]),  # lengths disagree, but there is no node
])
def test_index_without_nodes_answers_empty(data):
    p = PrefixSearch.from_bytes(data)
    assert p.fuzzy_match("cat") == []
    assert p.fuzzy_match("", 5, 3) == []


def test_limit_zero_answers_empty_without_walking(cat):
    assert cat.fuzzy_match("cat", 1, 0) == []
    broken = PrefixSearch.from_bytes(encode_trie([], "\0", [], [None]))
    assert panic_message(lambda: broken.fuzzy_match("a")) == oob(0, 0)
    assert broken.fuzzy_match("a", 1, 0) == []


def test_bound_above_65535_behaves_as_65535():
    flags = [False] * 66001
    for depth in (1, 65535, 65536):
        flags[depth] = True
    p = PrefixSearch.from_bytes(chain_bytes(66000, is_terminal=flags))
    capped = p.fuzzy_match("", 65535)
    assert capped == [("a", 1, 1), ("a" * 65535, 1, 65535)]
    for max_dist in (65536, 65537, 131071, 2**32 - 1):
        assert p.fuzzy_match("", max_dist) == capped


def test_long_terms_keep_exact_distances():
    one = PrefixSearch.from_bytes(chain_bytes(1))
    assert one.fuzzy_match("a" * 65536, 2**32 - 1) == [("a", 1, 65535)]
    # 65536 edits: beyond the bound, never wrapped to a small distance.
    assert one.fuzzy_match("a" * 65537, 2**32 - 1) == []
    assert one.fuzzy_match("b" * 65537, 0) == []


def test_deep_chain_needs_no_call_stack():
    p = PrefixSearch.from_bytes(chain_bytes(100_000))
    tail = p.fuzzy_match("a" * 100_000, 2)
    assert [(len(text), d) for text, _, d in tail] == [(99_998, 2), (99_999, 1), (100_000, 0)]
    flags = [False] * 100_001
    for depth in (1, 65536, 65537):
        flags[depth] = True
    sparse = PrefixSearch.from_bytes(chain_bytes(100_000, is_terminal=flags))
    # A short term with the largest bound goes as deep as the bound allows.
    assert sparse.fuzzy_match("a", 2**32 - 1) == [("a", 1, 0), ("a" * 65536, 1, 65535)]


# ---------------------------------------------------------------- inconsistent indexes

@pytest.mark.parametrize("data, term, message, answerable", [
    # no node_shifts entry for the root
    (encode_trie([], "\0", [], [None], is_terminal=[False]), "a", oob(0, 0), None),
    # child index beyond child_labels
    (encode_trie([0, 1], "\0a", [5], [None] * 2, is_terminal=[False, True]), "a", oob(2, 5), None),
    # the root's range reaches past the end of child_transitions
    (encode_trie([0, 3], "\0a", [1], [None] * 2, is_terminal=[False, True]), "a", oob(1, 1), None),
    # is_terminal shorter than child_labels
    (encode_trie([0, 1], "\0a", [1], [None] * 2, is_terminal=[False]), "a", oob(1, 1), "zzz"),
    # node_shifts shorter than child_labels: fails on entering node 1
    (encode_trie([0], "\0a", [1], [None] * 2, is_terminal=[False, True]), "a", oob(1, 1), "zzz"),
    # a self-loop whose flag is missing
    (encode_trie([0, 1], "\0a", [1, 1], [None] * 2, is_terminal=[False]), "aa", oob(1, 1), "zzz"),
])
def test_inconsistent_index_panics_and_stays_usable(data, term, message, answerable):
    p = PrefixSearch.from_bytes(data)
    assert panic_message(lambda: p.fuzzy_match(term)) == message
    assert panic_message(lambda: p.fuzzy_match(term, 3)) == message
    assert p.fuzzy_match(term, 1, 0) == []
    assert p.to_bytes() == data
    if answerable is not None:
        # A query whose rows leave the bound before the bad read still answers.
        assert p.fuzzy_match(answerable, 0) == []


def test_cycle_ends_once_rows_leave_the_bound():
    p = PrefixSearch.from_bytes(encode_trie([0, 1], "\0a", [1, 1], [None] * 2, is_terminal=[False, True]))
    assert p.fuzzy_match("aaa") == [("aa", 1, 1), ("aaa", 1, 0), ("aaaa", 1, 1)]


# ---------------------------------------------------------------- oracle

ALPHABET = ["a", "b", "é", "\U0001F600"]


def oracle(shifts, labels, transitions, terminal, query, bound):
    out = []

    def visit(v, path):
        start = shifts[v]
        end = shifts[v + 1] if v + 1 < len(shifts) else len(transitions)
        for k in range(start, end):
            c = transitions[k]
            if labels[c] == "\0":
                continue
            spelled = path + labels[c]
            d = levenshtein(spelled, query)
            if d <= bound and terminal[c]:
                out.append((spelled, 1, d))
            visit(c, spelled)

    visit(0, "")
    return out


@st.composite
def tries(draw):
    n = draw(st.integers(1, 12))
    labels = ["\0"] + [draw(st.sampled_from(ALPHABET + ["\0"])) for _ in range(n - 1)]
    children = [[] for _ in range(n)]
    for i in range(1, n):
        children[draw(st.integers(0, i - 1))].append(i)
        if draw(st.integers(0, 5)) == 0:  # now and then a second parent
            children[draw(st.integers(0, i - 1))].append(i)
    shifts, transitions = [], []
    for v in range(n):
        shifts.append(len(transitions))
        transitions.extend(draw(st.permutations(children[v])))
    terminal = [draw(st.booleans()) for _ in range(n)]
    return shifts, labels, transitions, terminal


@settings(max_examples=300, deadline=None)
@given(trie=tries(), query=st.text(st.sampled_from(ALPHABET + ["z"]), max_size=5),
       max_dist=st.integers(0, 3), limit=st.one_of(st.none(), st.integers(1, 4)))
def test_matches_brute_force_oracle(trie, query, max_dist, limit):
    shifts, labels, transitions, terminal = trie
    p = PrefixSearch.from_bytes(encode_trie(shifts, labels, transitions, [None] * len(labels),
                                            is_terminal=terminal))
    expected = oracle(shifts, labels, transitions, terminal, query, max_dist)
    if limit is not None:
        expected = expected[:limit]
    assert p.fuzzy_match(query, max_dist, limit) == expected


# Words over one-byte letters, laid out by quillmesh.layout (children
# consecutive and in label order): max_dist 1 is then answered from the edits
# themselves, and must agree with a brute-force scan of the words, in code
# point order. Terms are words with a letter doubled, dropped, changed or put
# in, so that texts reached by more than one edit are frequent; "š" and "\0"
# are never labels.
ONE_BYTE_LETTERS = "ab\u00e9\u00ff"


@st.composite
def words_and_term(draw):
    words = draw(st.lists(st.text(st.sampled_from(ONE_BYTE_LETTERS), min_size=1, max_size=6),
                          min_size=1, max_size=40, unique=True))
    term = draw(st.sampled_from(words))
    for _ in range(draw(st.integers(0, 2))):
        at = draw(st.integers(0, len(term)))
        letter = draw(st.sampled_from(ONE_BYTE_LETTERS + "z\u0161\0"))
        edit = draw(st.sampled_from(["double", "drop", "change", "put"]))
        if edit == "double" and at < len(term):
            term = term[:at] + term[at] + term[at:]
        elif edit == "drop":
            term = term[:at] + term[at + 1:]
        elif edit == "change":
            term = term[:at] + letter + term[at + 1:]
        else:
            term = term[:at] + letter + term[at:]
    return words, term


@settings(max_examples=300, deadline=None)
@given(case=words_and_term(), limit=st.one_of(st.none(), st.integers(1, 4)))
def test_max_dist_one_on_a_laid_out_index_matches_brute_force(case, limit):
    words, term = case
    index = quillmesh.build([(w, bytes(16), 1) for w in words], video_top_n=4)
    expected = sorted((w, 1, d) for w in words if (d := levenshtein(w, term)) <= 1)
    if limit is not None:
        expected = expected[:limit]
    assert index.fuzzy_match(term, 1, limit) == expected
