"""Long walks on crafted indexes stop at a signal; handlers that return leave answers unchanged."""

import signal

import pytest

from _quillmesh import PrefixSearch


def self_loop_twice():
    # One node listing itself twice: every path doubles at each level.
    return PrefixSearch.from_internal_data_v2([0, 1], ["", "a"], [None, (1, [0], [1])], [1, 1, 1], [b"\0\0\0\0"], 10)


@pytest.fixture
def alarm():
    old = signal.getsignal(signal.SIGALRM)
    yield
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, old)


CALLS = [
    ("fuzzy_match", lambda ps: ps.fuzzy_match("a" * 40, 1)),
    ("fuzzy_match_video", lambda ps: ps.fuzzy_match_video("a" * 40, 1)),
]


@pytest.mark.parametrize("name,call", CALLS, ids=[c[0] for c in CALLS])
def test_a_raising_handler_ends_the_walk_and_the_instance_stays_usable(alarm, name, call):
    ps = self_loop_twice()

    def stop(signum, frame):
        raise KeyboardInterrupt

    signal.signal(signal.SIGALRM, stop)
    signal.setitimer(signal.ITIMER_REAL, 0.2)
    with pytest.raises(KeyboardInterrupt):
        call(ps)
    signal.setitimer(signal.ITIMER_REAL, 0)
    assert ps.fuzzy_match("a", 0) == [("a", 1, 0)]


def test_a_handler_that_returns_or_queries_leaves_the_answer_unchanged(alarm):
    ps = self_loop_twice()
    expected = ps.fuzzy_match("a" * 12, 1)
    seen = []

    def query(signum, frame):
        seen.append(ps.fuzzy_match("a" * 3, 1))

    signal.signal(signal.SIGALRM, query)
    signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
    got = ps.fuzzy_match("a" * 12, 1)
    signal.setitimer(signal.ITIMER_REAL, 0)
    assert got == expected
    assert all(s == ps.fuzzy_match("a" * 3, 1) for s in seen)


def test_a_handler_that_ranks_during_a_ranking_leaves_both_answers_right(alarm):
    # The root leads to 1 ('a') and 2 ('b'); node 1 lists itself twice and
    # node 2, which lists node 1: many paths, and payloads whose videos
    # overlap in part. The handler's own ranking must not touch the
    # accumulators of the call it interrupts.
    ps = PrefixSearch.from_internal_data_v2([0, 2, 5], ["", "a", "b"], [None, (3, [0, 1], [2, 1]), (4, [1, 2], [1, 3])],
                                            [1, 2, 1, 1, 2, 1], [b"\0\0\0\0", b"\0\0\0\1", b"\0\0\0\2"], 10)
    term = "a" * 16 + "b"
    expected = ps.fuzzy_match_video(term, 1)
    nested_expected = ps.fuzzy_match_video("b", 0)
    assert len(expected) == 3 and nested_expected != expected
    seen = []

    def rank(signum, frame):
        seen.append(ps.fuzzy_match_video("b", 0))

    signal.signal(signal.SIGALRM, rank)
    signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
    got = ps.fuzzy_match_video(term, 1)
    signal.setitimer(signal.ITIMER_REAL, 0)
    assert got == expected
    assert seen and all(s == nested_expected for s in seen)
