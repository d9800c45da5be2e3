"""The typed stubs of the native modules, as installed: every public name and
every method documented (editors show these), and nothing the module lacks."""

import ast
from importlib import resources

import pytest

from tarnel import _tarnel_core, _tarnel_pq


def stub_tree(module):
    name = module.__name__.rsplit(".", 1)[1]
    return ast.parse((resources.files("tarnel") / f"{name}.pyi").read_text(encoding="utf-8"))


@pytest.mark.parametrize("module", [_tarnel_core, _tarnel_pq], ids=lambda m: m.__name__)
def test_every_class_function_and_method_has_a_docstring(module):
    tree = stub_tree(module)
    assert ast.get_docstring(tree)
    missing, seen = [], set()
    for node in tree.body:
        if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            seen.add(node.name)
            if not ast.get_docstring(node):
                missing.append(node.name)
            if isinstance(node, ast.ClassDef):
                missing += [f"{node.name}.{m.name}" for m in node.body
                            if isinstance(m, ast.FunctionDef) and not ast.get_docstring(m)]
    assert missing == []
    assert seen == set(module.__all__)
