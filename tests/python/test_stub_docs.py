"""The typed stub of the native module, as installed: every public name and
every method documented (editors show these), and nothing the module lacks."""

import ast
from importlib import resources

from tarnel import _tarnel_core


def stub_tree():
    return ast.parse((resources.files("tarnel") / "_tarnel_core.pyi").read_text(encoding="utf-8"))


def test_every_class_function_and_method_has_a_docstring():
    tree = stub_tree()
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
    assert seen == set(_tarnel_core.__all__)
