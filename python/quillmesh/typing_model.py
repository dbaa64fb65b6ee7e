"""How people mistype: the model behind `quillmesh.suggest`'s order.

`suggest` ranks each candidate word w for a typed term t by a noisy-channel
score (Kernighan, Church and Gale 1990): the likelier the word and the
likelier that typing it went wrong in exactly this way, the better:

    score(w) = cost(t | w) - PRIOR_WEIGHT * ln(1 + uses(w))

lower first, equal scores by term (code point order). ``uses`` is the term's
summed count (0 where unknown, so without counts only the cost ranks).
``cost(t | w)`` is the cheapest way to turn w into t by edits, each priced by
what it edits, in the units of a negative log probability. Which edit is of
which kind is decided in the core (src/suggest/typing_edits.cpp); the prices
live here, and only here:

=====================  =======================================================
kind                   the edit
=====================  =======================================================
substitute             any other letter for a letter
substitute_vowel       a vowel for a vowel (a e i o u y)
substitute_sound       a letter or group that spells the same sound: c/k, c/s,
                       s/z, g/j, f/v, t/d, ph/f, ck/k, ck/c, x/ks, qu/kw, sc/s,
                       wh/w, gh/g, ch/sh (either way round)
substitute_near_key    a letter on a neighbouring QWERTY key (or the same
                       letter in the other case)
insert                 a letter typed that does not belong
insert_double          ... that repeats the letter beside it ("untill")
insert_near_key        ... on a key next to the letter beside it
remove                 a letter left out
remove_double          ... one of a doubled letter ("begining")
remove_vowel           ... a vowel
transpose              two neighbouring letters swapped ("teh")
first_letter           added to any edit at the start of the word: people
                       seldom get the first letter wrong
=====================  =======================================================

Where the numbers come from: `START` are round first guesses (an unknown
edit 3, the kinds known to be common cheaper). `COSTS` and `PRIOR_WEIGHT`
were then learned from real misspellings: ``make eval-suggest FIT=1`` takes
the 5,225 typo -> word pairs of Debian's misspell-fixer rules (whole-word
rules, word in the SUBTLEX-US list, typo not), splits them in two halves
with a fixed seed, and moves one price at a time by a factor (0.6 to 1.6)
while that raises the share of the training half whose first suggestion is
right. The other half and the misspell-fixer rules that match inside words
are never seen while learning; ``make eval-suggest`` reports the accuracy on
each. Thirteen numbers for 2,612 pairs: no price is fitted to one pair.
"""

from __future__ import annotations

from typing import NamedTuple

__all__ = ["COSTS", "EditCosts", "PRIOR_WEIGHT", "START"]


class EditCosts(NamedTuple):
    """The price of each kind of edit, in the order the core reads them."""

    substitute: float
    substitute_vowel: float
    substitute_sound: float
    substitute_near_key: float
    insert: float
    insert_double: float
    insert_near_key: float
    remove: float
    remove_double: float
    remove_vowel: float
    transpose: float
    first_letter: float


START = EditCosts(
    substitute=3.0, substitute_vowel=1.6, substitute_sound=1.6, substitute_near_key=2.2,
    insert=3.0, insert_double=1.6, insert_near_key=2.4,
    remove=3.0, remove_double=1.5, remove_vowel=2.2,
    transpose=1.6, first_letter=1.5,
)
START_PRIOR_WEIGHT = 1.0

# Learned by `make eval-suggest FIT=1` from START on the training half (its
# "learned:" line). Read as probabilities: a doubled letter dropped (0.9) is
# e^(7.26 - 0.9), about 580 times likelier than an unrelated letter put for another (7.26).
COSTS = EditCosts(
    substitute=7.26, substitute_vowel=3.52, substitute_sound=4.0, substitute_near_key=5.99,
    insert=6.6, insert_double=2.2, insert_near_key=5.28,
    remove=3.0, remove_double=0.9, remove_vowel=1.452,
    transpose=2.56, first_letter=1.979,
)
PRIOR_WEIGHT = 0.48
