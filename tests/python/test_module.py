"""The module surface: attributes, the type, argument binding and its texts."""

import gc
import sys
import weakref

import pytest

import _quillmesh
from _quillmesh import PrefixSearch as P

# The smallest index: one root node, no edges, an empty present payload.
ONE_NODE = bytes.fromhex("0100" "0100" "00" "0101000000" "00" "00" "00" "0100")


@pytest.fixture
def p():
    return P.from_bytes(ONE_NODE)


def test_module_attributes():
    assert _quillmesh.__all__ == ["PrefixSearch"]
    assert _quillmesh.__doc__ == ""
    assert _quillmesh.PrefixSearch is P
    assert not hasattr(_quillmesh, "PanicException")


def test_reimport_gives_the_same_module():
    first = sys.modules.pop("_quillmesh")
    try:
        import _quillmesh as again
        assert again is first
        assert again.PrefixSearch is P
    finally:
        sys.modules["_quillmesh"] = first


def test_type_identity():
    assert P.__module__ == "builtins"
    assert P.__name__ == "PrefixSearch"
    assert P.__qualname__ == "PrefixSearch"
    assert repr(P) == "<class 'builtins.PrefixSearch'>"
    assert P.__doc__ is None
    assert P.__bases__ == (object,)


def test_type_cannot_be_subclassed():
    with pytest.raises(TypeError):
        type("Sub", (P,), {})


def test_type_object_is_mutable():
    P.extra_attribute = 5
    try:
        assert P.extra_attribute == 5
    finally:
        del P.extra_attribute


def test_instances_are_closed(p):
    with pytest.raises(AttributeError):
        p.anything = 1
    assert not hasattr(p, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(p)
    assert p == p and p != P.from_bytes(ONE_NODE)
    assert hash(p) == hash(p)
    assert repr(p).startswith("<builtins.PrefixSearch object at 0x")


@pytest.mark.parametrize("name, signature", [
    ("from_internal_data_v2",
     "(node_shifts, child_labels, payloads, child_transitions, video_index, video_top_n)"),
    ("to_bytes", "($self)"),
    ("from_bytes", "(b)"),
    ("fuzzy_match", "(term, max_dist=1, limit=None)"),
    ("fuzzy_match_video",
     "(term, max_dist=1, limit=None, include_prefix_nodes=None, min_score=None)"),
])
def test_method_signatures(name, signature):
    method = getattr(P, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ is None


def test_method_table_order():
    own = [k for k in vars(P) if not k.startswith("__")]
    assert own == ["from_internal_data_v2", "to_bytes", "from_bytes", "fuzzy_match",
                   "fuzzy_match_video"]


def _call(p, expr):
    return eval(expr, {"P": P, "p": p, "b": ONE_NODE})


BINDING_ERRORS = [
    ("P()", "No constructor defined for PrefixSearch"),
    ("P(1, x=2)", "No constructor defined for PrefixSearch"),
    ("P.from_bytes()", "PrefixSearch.from_bytes() missing 1 required positional argument: 'b'"),
    ("P.from_bytes(b, b)", "PrefixSearch.from_bytes() takes 1 positional arguments but 2 were given"),
    ("P.from_bytes(c=b)", "PrefixSearch.from_bytes() got an unexpected keyword argument 'c'"),
    ("P.from_bytes(b, b=b)", "PrefixSearch.from_bytes() got multiple values for argument 'b'"),
    ("P.from_bytes(bytearray(b))",
     "argument 'b': 'bytearray' object cannot be converted to 'PyBytes'"),
    ("P.from_bytes(memoryview(b))",
     "argument 'b': 'memoryview' object cannot be converted to 'PyBytes'"),
    ("P.from_bytes('x')", "argument 'b': 'str' object cannot be converted to 'PyBytes'"),
    ("P.from_bytes(b=None)", "argument 'b': 'NoneType' object cannot be converted to 'PyBytes'"),
    ("p.fuzzy_match('a', 1, None, 4)",
     "PrefixSearch.fuzzy_match() takes from 1 to 3 positional arguments but 4 were given"),
    ("p.fuzzy_match('a', term='b')",
     "PrefixSearch.fuzzy_match() got multiple values for argument 'term'"),
    ("p.fuzzy_match('a', dist=1)",
     "PrefixSearch.fuzzy_match() got an unexpected keyword argument 'dist'"),
    # A name without a UTF-8 form (a lone surrogate) or beyond ASCII, given
    # back as it was given.
    ("p.fuzzy_match('a', **{'\\udcff': 1})",
     "PrefixSearch.fuzzy_match() got an unexpected keyword argument '\udcff'"),
    ("p.fuzzy_match_video('a', **{'x\\ud800y': 1})",
     "PrefixSearch.fuzzy_match_video() got an unexpected keyword argument 'x\ud800y'"),
    ("P.from_bytes(b, **{'\\U0001f600\\udfff': 1})",
     "PrefixSearch.from_bytes() got an unexpected keyword argument '\U0001f600\udfff'"),
    ("P.from_internal_data_v2(**{'t\\u00e9rm': 1})",
     "PrefixSearch.from_internal_data_v2() got an unexpected keyword argument 't\u00e9rm'"),
    ("p.fuzzy_match()", "PrefixSearch.fuzzy_match() missing 1 required positional argument: 'term'"),
    ("p.fuzzy_match(max_dist=1)",
     "PrefixSearch.fuzzy_match() missing 1 required positional argument: 'term'"),
    ("p.fuzzy_match_video()",
     "PrefixSearch.fuzzy_match_video() missing 1 required positional argument: 'term'"),
    ("p.fuzzy_match_video('a', 1, None, None, None, 6)",
     "PrefixSearch.fuzzy_match_video() takes from 1 to 5 positional arguments but 6 were given"),
    ("p.fuzzy_match_video('a', scale=2)",
     "PrefixSearch.fuzzy_match_video() got an unexpected keyword argument 'scale'"),
    ("P.from_internal_data_v2()",
     "PrefixSearch.from_internal_data_v2() missing 6 required positional arguments: 'node_shifts', "
     "'child_labels', 'payloads', 'child_transitions', 'video_index', and 'video_top_n'"),
    ("P.from_internal_data_v2([], [], [])",
     "PrefixSearch.from_internal_data_v2() missing 3 required positional arguments: "
     "'child_transitions', 'video_index', and 'video_top_n'"),
    ("P.from_internal_data_v2([], [], [], [])",
     "PrefixSearch.from_internal_data_v2() missing 2 required positional arguments: "
     "'video_index' and 'video_top_n'"),
    ("P.from_internal_data_v2(video_top_n=1, node_shifts=[], child_labels=[], payloads=[], "
     "child_transitions=[])",
     "PrefixSearch.from_internal_data_v2() missing 1 required positional argument: 'video_index'"),
    ("P.from_internal_data_v2(1, 2, 3, 4, 5, 6, 7)",
     "PrefixSearch.from_internal_data_v2() takes 6 positional arguments but 7 were given"),
    ("P.from_internal_data_v2([], [], [], [], [], 0, node_shifts=[])",
     "PrefixSearch.from_internal_data_v2() got multiple values for argument 'node_shifts'"),
]


@pytest.mark.parametrize("expr, message", BINDING_ERRORS)
def test_binding_errors(p, expr, message):
    with pytest.raises(TypeError) as info:
        _call(p, expr)
    assert type(info.value) is TypeError
    assert str(info.value) == message


def test_binding_checks_positional_count_before_keywords(p):
    with pytest.raises(TypeError, match="takes from 1 to 3 positional arguments but 4 were given"):
        p.fuzzy_match("a", 1, None, 4, dist=1)


def test_to_bytes_takes_no_arguments(p):
    with pytest.raises(TypeError):
        p.to_bytes(1)


def test_static_methods_through_an_instance(p):
    q = p.from_bytes(p.to_bytes())
    assert type(q) is P and q is not p
    assert q.to_bytes() == ONE_NODE


def test_conversion_error_keeps_the_cause(p):
    class Bad:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as exc:
                raise TypeError("refused") from exc

    with pytest.raises(TypeError) as info:
        p.fuzzy_match("a", Bad())
    assert str(info.value) == "argument 'max_dist': refused"
    assert isinstance(info.value.__cause__, KeyError)


@pytest.mark.parametrize("kwargs, exc_type, message", [
    ({"max_dist": None}, TypeError,
     "argument 'max_dist': 'NoneType' object cannot be interpreted as an integer"),
    ({"max_dist": 1.5}, TypeError,
     "argument 'max_dist': 'float' object cannot be interpreted as an integer"),
    ({"max_dist": -1}, OverflowError, None),
    ({"max_dist": 2**32}, OverflowError, "out of range integral type conversion attempted"),
    ({"max_dist": 2**64 - 1}, OverflowError, "out of range integral type conversion attempted"),
    ({"max_dist": 2**64}, OverflowError, None),
    ({"limit": -1}, OverflowError, None),
    ({"limit": 2**32}, OverflowError, "out of range integral type conversion attempted"),
    ({"limit": "3"}, TypeError, "argument 'limit': 'str' object cannot be interpreted as an integer"),
])
def test_integer_conversion_errors(p, kwargs, exc_type, message):
    with pytest.raises(exc_type) as info:
        p.fuzzy_match("a", **kwargs)
    assert type(info.value) is exc_type
    if message is not None:
        assert str(info.value) == message


def test_term_must_be_str(p):
    with pytest.raises(TypeError) as info:
        p.fuzzy_match(b"abc")
    assert str(info.value) == "argument 'term': 'bytes' object cannot be converted to 'PyString'"


def test_failed_constructor_creates_nothing():
    gc.collect()
    before = sum(1 for o in gc.get_objects() if type(o) is P)
    for _ in range(100):
        with pytest.raises(ValueError):
            P.from_bytes(b"")
    gc.collect()
    assert sum(1 for o in gc.get_objects() if type(o) is P) == before


def test_subinterpreters_refused():
    try:
        import _interpreters as interpreters  # 3.13+
    except ImportError:
        try:
            import _xxsubinterpreters as interpreters  # 3.11, 3.12
        except ImportError:
            pytest.skip("no subinterpreter support module")
    code = (
        "try:\n"
        "    import _quillmesh\n"
        "except ImportError as exc:\n"
        "    raise SystemExit('refused: ' + str(exc))\n"
        "raise SystemExit('imported')\n"
    )
    try:
        interp = interpreters.create("legacy") if hasattr(interpreters, "new_config") else interpreters.create()
    except Exception as exc:  # configuration not available on this version
        pytest.skip(f"cannot create a subinterpreter: {exc}")
    try:
        outcome = interpreters.run_string(interp, code)
        text = repr(outcome)
    except Exception as exc:  # 3.11/3.12 raise the failure
        text = repr(exc)
    finally:
        interpreters.destroy(interp)
    assert "imported" not in text
    assert "refused" in text or "ImportError" in text or "subinterpreter" in text
