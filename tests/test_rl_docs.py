"""Every public function, method and property of murkle_rl says in its docstring what it takes:
each parameter is named there (a plural counts: "masks" for mask)."""
import ast
import inspect
import re

import pytest

import murkle_rl as rl


def parameters(fn):
    """The parameter names of a function, from nanobind's signature text or Python's own."""
    if hasattr(fn, "__nb_signature__"):
        args = ast.parse(fn.__nb_signature__[0][0] + ": ...").body[0].args
        names = [a.arg for a in [*args.posonlyargs, *args.args, *args.kwonlyargs]]
    else:
        names = list(inspect.signature(fn).parameters)
    return [n for n in names if n not in ("self", "cls")]


def undocumented(members):
    """The (name, what is missing) pairs among (name, callable or property) pairs."""
    missing = []
    for name, member in members:
        doc = inspect.getdoc(member.fget if isinstance(member, property) else member)
        if not doc:
            missing.append((name, "docstring"))
            continue
        if isinstance(member, property) or name.rsplit(".", 1)[-1].startswith("__"):
            continue
        # nanobind's __doc__ starts with the signature line itself: read the text after it.
        text = member.__nb_signature__[0][1] if hasattr(member, "__nb_signature__") else doc
        missing += [(name, p) for p in parameters(member) if not re.search(rf"\b{p}", text or "")]
    return missing


def public_members(cls):
    return [(f"{cls.__name__}.{n}", m) for n, m in vars(cls).items()
            if (not n.startswith("_") or n in ("__init__", "__len__", "__repr__", "__getstate__", "__setstate__"))
            and (callable(m) or isinstance(m, property))]


def test_core_functions_and_classes_name_every_parameter():
    exported = [(n, getattr(rl, n)) for n in rl.__all__ if callable(getattr(rl, n))]
    members = [m for n, obj in exported if isinstance(obj, type) for m in public_members(obj)]
    functions = [(n, obj) for n, obj in exported if not isinstance(obj, type)]
    assert undocumented(functions + members) == []


def test_pettingzoo_environment_names_every_parameter():
    pz = pytest.importorskip("murkle_rl.pettingzoo_env")
    members = [m for m in public_members(pz.raw_env) if m[0] != "raw_env.__init__"]
    # The class docstring describes the constructor's arguments.
    members += [("raw_env", pz.raw_env), ("env", pz.env), ("board_image", pz.board_image)]
    missing = undocumented(members)
    init = inspect.getdoc(pz.raw_env)
    missing += [("raw_env", p) for p in parameters(pz.raw_env.__init__) if not re.search(rf"\b{p}", init)]
    assert missing == []
