"""The type stub describes the module exactly: members and parameters."""

import ast
import inspect
import pathlib

import _kestrelio

STUB = pathlib.Path(__file__).resolve().parent.parent / "kestrelio-py" / "_kestrelio.pyi"


def stub_tree():
    return ast.parse(STUB.read_text())


def params(fn, skip_self=False):
    args = fn.args
    names = [a.arg for a in args.posonlyargs + args.args + args.kwonlyargs]
    if skip_self:
        names = names[1:]
    defaults = [None] * (len(args.posonlyargs) + len(args.args) - len(args.defaults)) + [ast.unparse(d) for d in args.defaults]
    return names, defaults[1:] if skip_self else defaults


def live_params(obj):
    sig = inspect.signature(obj)
    names = [n for n in sig.parameters if n != "self"]
    defaults = [None if p.default is inspect.Parameter.empty else repr(p.default)
                for n, p in sig.parameters.items() if n != "self"]
    return names, defaults


def test_stub_lists_every_public_member_and_no_other():
    tree = stub_tree()
    declared = [n.name for n in tree.body if isinstance(n, (ast.FunctionDef, ast.ClassDef))]
    live = [n for n in vars(_kestrelio) if not n.startswith("_")]
    assert declared == live, "same members, same order"


def test_stub_parameters_match_the_text_signatures():
    for node in stub_tree().body:
        if isinstance(node, ast.FunctionDef):
            assert params(node) == live_params(getattr(_kestrelio, node.name)), node.name
        elif isinstance(node, ast.ClassDef):
            cls = getattr(_kestrelio, node.name)
            methods = {m.name: m for m in node.body if isinstance(m, ast.FunctionDef)}
            assert params(methods.pop("__new__"), skip_self=True) == live_params(cls)
            methods = {k: m for k, m in methods.items() if not k.startswith("_")}
            attrs = [a.target.id for a in node.body if isinstance(a, ast.AnnAssign)]
            live = sorted(m for m in vars(cls) if not m.startswith("_"))
            assert sorted(methods) + sorted(attrs) == sorted(live, key=lambda m: (not callable(getattr(cls, m)), m))
            for name, m in methods.items():
                assert params(m, skip_self=True) == live_params(getattr(cls, name)), f"{node.name}.{name}"
