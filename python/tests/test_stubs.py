"""The type stubs name exactly what the module holds."""
import ast
import inspect
from pathlib import Path

import numpy as np

import ophel
import stub_calls
from conftest import config_of, values

STUBS = Path(__file__).resolve().parent.parent / "ophel"


def stub_tree(name):
    return ast.parse((STUBS / name).read_text())


def public(names):
    return {n for n in names if not n.startswith("_")}


def class_members(node, classes):
    names = set()
    for item in node.body:
        if isinstance(item, (ast.FunctionDef, ast.ClassDef)):
            names.add(item.name)
        elif isinstance(item, ast.AnnAssign):
            names.add(item.target.id)
    for base in node.bases:
        if isinstance(base, ast.Name) and base.id in classes:
            names |= class_members(classes[base.id], classes)
    return names


def test_stubs_cover_the_module_and_nothing_else():
    tree = stub_tree("__init__.pyi")
    classes = {n.name: n for n in tree.body if isinstance(n, ast.ClassDef)}
    functions = {n.name for n in tree.body if isinstance(n, ast.FunctionDef)}
    attributes = {n.target.id for n in tree.body if isinstance(n, ast.AnnAssign)}
    runtime = public(vars(ophel)) - {"version"}
    assert public(classes) | functions | public(attributes) == runtime
    assert "__version__" in attributes
    for name in public(classes):
        # Members the module defines; those of builtins bases are not stubbed.
        own = [c for c in inspect.getmro(getattr(ophel, name)) if c.__module__ == "ophel"]
        runtime_members = public(n for c in own for n in vars(c))
        assert public(class_members(classes[name], classes)) == runtime_members, name


def test_version_stub_matches_the_submodule():
    names = {n.target.id for n in stub_tree("version.pyi").body if isinstance(n, ast.AnnAssign)}
    assert names == {n for n in vars(ophel.version) if n.startswith("__") and n.endswith("__")} - {
        "__name__", "__doc__", "__package__", "__loader__", "__spec__"}
    assert (STUBS / "py.typed").is_file()


def test_stubs_lie_beside_the_module_as_written():
    # Where the module is imported from (the build tree or an installation),
    # mypy finds the stubs in the folder "ophel" next to it.
    beside = Path(ophel.__file__).resolve().parent / "ophel"
    for name in ("__init__.pyi", "version.pyi", "py.typed"):
        assert (beside / name).read_bytes() == (STUBS / name).read_bytes(), name


def test_calls_the_stubs_accept_run_with_the_types_they_name(launch):
    # python_stub_calls_mypy checks the same calls against the stubs.
    pipelined = launch("identity_int8", config_of(cores=2, asynchronous=True))
    x = values((4, 4, 8))
    for future in stub_calls.async_calls(pipelined, x, np.ascontiguousarray(np.moveaxis(x, -1, 0))):
        [result] = future.get()
        assert np.asarray(result).size == x.size
    sequence = launch("sequence_cache", config_of(cores=1))
    sequence.infer([values((3, 1, 16))], cache_size=2)
    dumped, loads = stub_calls.cache_loads(sequence)
    assert dumped[0].any()
    for load in loads:
        sequence.reset_cache_memory()
        load()
        np.testing.assert_array_equal(sequence.dump_cache_memory()[0], dumped[0])
