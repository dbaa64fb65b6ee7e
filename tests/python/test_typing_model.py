"""The typing model: each rule decides the first suggestion where the plain
edit distance cannot (a handful of typos per rule, on a small index), and the
distances under it are those of a plain table on random strings."""

import importlib
import random

import pytest

import quillmesh
from oracle import levenshtein, optimal_string_alignment
from quillmesh._native import score_typing_edits
from quillmesh.typing_model import COSTS, EditCosts

# Without its rule, each typo's expected word would cost the same as its
# decoy, or more; the decoy is used twice as often, so it wins such ties.
WITHOUT = {
    "remove_double": "remove", "insert_double": "insert", "remove_vowel": "remove",
    "substitute_vowel": "substitute", "substitute_sound": "substitute",
    "substitute_near_key": "substitute", "insert_near_key": "insert",
    "first_letter": 0.0, "transpose": 100.0, "PRIOR_WEIGHT": 0.0,
}

RULES = [
    # (the price of the rule, typo, expected first suggestion, decoy)
    ("remove_double", "leter", "letter", "lester"),
    ("remove_double", "cofee", "coffee", "cofree"),
    ("remove_double", "tomorow", "tomorrow", "tomorows"),
    ("insert_double", "bigg", "big", "bgg"),
    ("insert_double", "untill", "until", "untll"),
    ("insert_double", "dinnner", "dinner", "dnnner"),
    ("remove_vowel", "choclate", "chocolate", "chocklate"),
    ("remove_vowel", "histry", "history", "hisntry"),
    ("substitute_vowel", "hend", "hand", "herd"),
    ("substitute_vowel", "wimen", "women", "widen"),
    ("substitute_near_key", "cst", "cat", "cut"),
    ("substitute_near_key", "quivk", "quick", "quirk"),
    ("insert_near_key", "sitr", "sit", "str"),
    ("substitute_sound", "fone", "phone", "fore"),
    ("substitute_sound", "kat", "cat", "mat"),
    ("substitute_sound", "kwick", "quick", "kick"),
    ("transpose", "teh", "the", "tech"),
    ("transpose", "feild", "field", "feilds"),
    ("first_letter", "gat", "gap", "cat"),
    ("first_letter", "pist", "pint", "mist"),
    # The likelier word among equal edits: here the expected one is the more
    # used (100 times, the decoy once), and the decoy comes first by term.
    ("PRIOR_WEIGHT", "bop", "bog", "bob"),
    ("PRIOR_WEIGHT", "set", "sit", "sat"),
]


def rule_index(rule, expected, decoy):
    counts = {expected: 100, decoy: 1} if rule == "PRIOR_WEIGHT" else {expected: 1, decoy: 2}
    return quillmesh.Index(quillmesh.build([(w, 1, 1) for w in counts]), counts)


@pytest.mark.parametrize("rule, typo, expected, decoy", RULES, ids=[f"{r[0]}: {r[1]}" for r in RULES])
def test_each_rule_decides_the_first_suggestion(rule, typo, expected, decoy, monkeypatch):
    index = rule_index(rule, expected, decoy)
    assert [s.term for s in quillmesh.suggest(index, typo)] == [expected, decoy]
    # The same typo with the rule's price made that of any edit of its kind.
    ranking = importlib.import_module("quillmesh.suggest")
    if rule == "PRIOR_WEIGHT":
        monkeypatch.setattr(ranking, "PRIOR_WEIGHT", WITHOUT[rule])
    else:
        plain = WITHOUT[rule]
        price = getattr(COSTS, plain) if isinstance(plain, str) else plain
        monkeypatch.setattr(ranking, "COSTS", COSTS._replace(**{rule: price}))
    assert quillmesh.suggest(index, typo)[0].term == decoy


def test_without_transpositions_a_swap_is_two_edits():
    index = quillmesh.build_index([("the", 1, 1), ("tea", 2, 1)])
    assert [tuple(s) for s in quillmesh.suggest(index, "teh", distance="levenshtein")] == [
        ("tea", 1, 1), ("the", 2, 1)]
    assert [s.term for s in quillmesh.suggest(index, "teh")] == ["the", "tea"]


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
