"""The type stub of _quillmesh against the module it describes."""

import ast
import inspect
from pathlib import Path

import _quillmesh

STUB = Path(__file__).resolve().parents[2] / "python" / "_quillmesh.pyi"


def stub_methods():
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    (cls,) = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "PrefixSearch"]
    methods = {}
    for node in cls.body:
        if not isinstance(node, ast.FunctionDef):
            continue
        static = any(isinstance(d, ast.Name) and d.id == "staticmethod" for d in node.decorator_list)
        args = node.args
        assert not (args.posonlyargs or args.kwonlyargs or args.vararg or args.kwarg), node.name
        names = [a.arg for a in args.args]
        defaults = [None] * (len(names) - len(args.defaults)) + [ast.unparse(d) for d in args.defaults]
        params = [n if d is None else f"{n}={d}" for n, d in zip(names, defaults)]
        if not static:
            assert params[0] == "self"
            params = params[1:] or ["$self"]
        methods[node.name] = (static, "(" + ", ".join(params) + ")")
    return methods


def test_stub_mirrors_the_method_table():
    runtime = {
        name: (isinstance(inspect.getattr_static(_quillmesh.PrefixSearch, name), staticmethod),
               getattr(_quillmesh.PrefixSearch, name).__text_signature__)
        for name in dir(_quillmesh.PrefixSearch) if not name.startswith("_")
    }
    assert stub_methods() == runtime
    assert len(runtime) == 5


def test_stub_declares_the_module_names():
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    declared = {n.target.id for n in tree.body if isinstance(n, ast.AnnAssign)}
    declared |= {n.name for n in tree.body if isinstance(n, ast.ClassDef)}
    public = {name for name in vars(_quillmesh) if not name.startswith("_")} | {"__all__"}
    assert declared == public
