"""The typing model: each rule decides the first suggestion where the plain
edit distance cannot (a handful of typos per rule, on a small index), and the
distances under it are those of a plain table on random strings."""

import random

import pytest

import quillmesh
from oracle import levenshtein, optimal_string_alignment
from quillmesh._native import score_typing_edits
from quillmesh.typing_model import COSTS, EditCosts

# Every word once, with one use, except where the prior is what is tested.
WORDS = {w: 1 for w in (
    "letter lever big bigs hand herd cat cut the tea phone fore mat gap "
    "coffee coffer until untie tomorrow borrow receive recede chocolate chocolates "
    "field filed quick quack dinner diner sheep shed"
).split()}
WORDS.update({"bob": 100, "bog": 1, "sit": 50, "sat": 1})

RULES = [
    # (rule, typo, distance, expected first suggestion)
    ("a doubled letter dropped", "leter", "osa", "letter"),
    ("a doubled letter dropped", "cofee", "osa", "coffee"),
    ("a doubled letter dropped", "tomorow", "osa", "tomorrow"),
    ("a letter doubled", "bigg", "osa", "big"),
    ("a letter doubled", "untill", "osa", "until"),
    ("a letter doubled", "dinnner", "osa", "dinner"),
    ("a vowel for a vowel", "hend", "osa", "hand"),
    ("a vowel for a vowel", "recieve", "osa", "receive"),
    ("a vowel left out", "choclate", "osa", "chocolate"),
    ("a neighbouring key", "cst", "osa", "cat"),
    ("a neighbouring key", "quivk", "osa", "quick"),
    ("a group that sounds alike", "fone", "osa", "phone"),
    ("a letter that sounds alike", "kat", "osa", "cat"),
    ("a letter that sounds alike", "kwick", "osa", "quick"),
    ("neighbours swapped", "teh", "osa", "the"),
    ("neighbours swapped", "feild", "osa", "field"),
    ("neighbours swapped: two edits without transpositions", "teh", "levenshtein", "tea"),
    ("the first letter is seldom wrong", "gat", "osa", "gap"),
    ("the first letter is seldom wrong", "xheep", "osa", "sheep"),
    ("the likelier word among equal edits", "bop", "osa", "bob"),
    ("the likelier word among equal edits", "set", "osa", "sit"),
]


@pytest.mark.parametrize("rule, typo, distance, expected", RULES, ids=[f"{r[0]}: {r[1]}" for r in RULES])
def test_each_rule_decides_the_first_suggestion(rule, typo, distance, expected):
    index = quillmesh.Index(quillmesh.build([(w, 1, 1) for w in WORDS]), WORDS)
    got = quillmesh.suggest(index, typo, distance=distance)
    assert got and got[0].term == expected, (rule, got[:3])


def test_the_prior_follows_the_counts():
    flipped = dict(WORDS, bob=1, bog=100)
    index = quillmesh.Index(quillmesh.build([(w, 1, 1) for w in flipped]), flipped)
    assert quillmesh.suggest(index, "bop")[0].term == "bog"


UNIT = EditCosts(*[1.0] * 11, 0.0)


def test_distances_against_a_plain_table():
    rng = random.Random(20)
    # Letters of no sound-alike group, so that at unit prices the cost is the distance.
    for alphabet in ("ab", "abe", "abmo"):
        for _ in range(400):
            typo = "".join(rng.choice(alphabet) for _ in range(rng.randint(0, 8)))
            words = ["".join(rng.choice(alphabet) for _ in range(rng.randint(0, 8))) for _ in range(6)]
            for transpositions, oracle in ((True, optimal_string_alignment), (False, levenshtein)):
                got = score_typing_edits(typo, words, UNIT, transpositions)
                want = [oracle(w, typo) for w in words]
                assert [d for d, _ in got] == want, (typo, words, transpositions)
                assert [c for _, c in got] == [float(d) for d in want], (typo, words, transpositions)
                # The model's prices change the cost, never the distance.
                assert [d for d, _ in score_typing_edits(typo, words, COSTS, transpositions)] == want


def test_distances_of_code_points_beyond_ascii():
    got = score_typing_edits("çafé", ["café", "açfé", "cafe", ""], COSTS, True)
    assert [d for d, _ in got] == [1, 1, 2, 4]


BAD = [
    (("x", ["a"], COSTS[:5], True), ValueError, "costs must hold 12 prices"),
    (("x", ("a",), COSTS, True), TypeError, "words must be a list of str"),
    (("x", ["a", 1], COSTS, True), TypeError, "words must be a list of str"),
    ((1, ["a"], COSTS, True), TypeError, "typo must be a str"),
    (("x", ["a"], [1.0] * 11 + ["z"], True), TypeError, "must be real number"),
    (("x", ["a"], COSTS), TypeError, "takes 4 positional arguments but 3 were given"),
]


@pytest.mark.parametrize("args, error, message", BAD)
def test_bad_arguments_of_the_scorer(args, error, message):
    with pytest.raises(error, match=message):
        score_typing_edits(*args)
