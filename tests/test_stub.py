"""The type stub merge_ipynb.pyi against the module: names, signatures, properties, docstrings."""
import ast
import inspect
import pathlib

import pytest

from corvane_git.scripts.merge_driver import merge_ipynb as m

STUB = ast.parse(pathlib.Path(m.__file__).with_name("merge_ipynb.pyi").read_text(encoding="utf-8"))


def _names(body):
    """Names a stub body binds, in order: imports, annotated names, functions, classes."""
    names = []
    for node in body:
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            names += [alias.asname or alias.name for alias in node.names]
        elif isinstance(node, ast.AnnAssign):
            names.append(node.target.id)
        elif isinstance(node, (ast.FunctionDef, ast.ClassDef)) and node.name not in names:
            names.append(node.name)
    return names


def _dotted(node):
    return node.id if isinstance(node, ast.Name) else _dotted(node.value) + "." + node.attr


def _functions(body, owner=""):
    """(qualified name, stub node, decorator) for every function of the stub, methods included."""
    for node in body:
        if isinstance(node, ast.ClassDef):
            yield from _functions(node.body, node.name + ".")
        elif isinstance(node, ast.FunctionDef):
            decorator = _dotted(node.decorator_list[0]) if node.decorator_list else None
            yield owner + node.name, node, decorator


FUNCTIONS = list(_functions(STUB.body))
CELL = next(node for node in STUB.body if isinstance(node, ast.ClassDef) and node.name == "Cell")


def _runtime(qualname, decorator):
    owner, _, name = qualname.rpartition(".")
    value = vars(m.Cell)[name] if owner else getattr(m, name)
    if decorator == "property":
        return value.fget
    if decorator and decorator.endswith(".setter"):
        return value.fset
    return value


def test_module_names():
    public = [name for name in vars(m) if not name.startswith("__") or name == "__test__"]
    assert sorted(_names(STUB.body)) == sorted(public)


def test_cell_names():
    cell = m.Cell({}, "base")
    for name in _names(CELL.body):
        assert name in vars(m.Cell) or name in vars(cell), name
    members = [name for name in vars(m.Cell) if not name.startswith("__") or name == "__init__"]
    assert sorted(set(members) - set(_names(CELL.body))) == []


@pytest.mark.parametrize("qualname, node, decorator", FUNCTIONS,
                         ids=["%s %s" % (q, d or "") for q, _, d in FUNCTIONS])
def test_signature_and_docstring(qualname, node, decorator):
    runtime = _runtime(qualname, decorator)
    parameters = list(inspect.signature(runtime).parameters.values())
    stub_args = node.args
    assert [a.arg for a in stub_args.args] == [p.name for p in parameters]
    defaults = [p.name for p in parameters if p.default is not inspect.Parameter.empty]
    assert [a.arg for a in stub_args.args[len(stub_args.args) - len(stub_args.defaults):]] == defaults
    assert not stub_args.kwonlyargs and not stub_args.vararg and not stub_args.kwarg
    stub_doc = ast.get_docstring(node)
    if stub_doc is not None:
        assert stub_doc == inspect.cleandoc(runtime.__doc__)
    if decorator == "property":
        has_setter = any(d == qualname.split(".")[-1] + ".setter" for q, _, d in FUNCTIONS if q == qualname)
        assert (vars(m.Cell)[node.name].fset is not None) == has_setter
