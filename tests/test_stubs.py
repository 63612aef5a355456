"""The installed type stubs describe the functions the module really has."""

import ast
import inspect
import pathlib

import tovimera


def stub_tree():
    path = pathlib.Path(tovimera.__file__).with_name("tovimera.pyi")
    assert path.is_file(), f"no stubs installed beside {tovimera.__file__}"
    return ast.parse(path.read_text())


def test_stub_signatures_match_the_functions():
    tree = stub_tree()
    functions = {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}
    assert list(functions) == tovimera.__all__
    for name, node in functions.items():
        stub = [argument.arg for argument in node.args.args]
        assert not node.args.posonlyargs and not node.args.kwonlyargs and not node.args.defaults
        assert stub == list(inspect.signature(getattr(tovimera, name)).parameters), name


def test_stub_all_matches_the_module():
    tree = stub_tree()
    (assignment,) = [n for n in tree.body if isinstance(n, ast.Assign) and n.targets[0].id == "__all__"]
    assert ast.literal_eval(assignment.value) == tovimera.__all__
