"""The tree comparison the differential tests rely on: it must see every
difference that ast.dump shows, or those tests could pass on wrong trees."""

import ast

import pytest

from ast_compare import same_tree


def tree(source):
    return ast.parse(source)


def edited(source, edit):
    t = tree(source)
    edit(t)
    return t


def set_const(value):
    def edit(t):
        t.body[0].value.value = value
    return edit


def drop_field(t):
    del t.body[0].targets


def shift_column(t):
    t.body[0].value.col_offset += 1


def shift_end_line(t):
    t.body[0].end_lineno += 1


def drop_statement(t):
    t.body.pop()


def rename(t):
    t.body[0].targets[0].id = "y"


def other_context(t):
    t.body[0].targets[0].ctx = ast.Load()


# (source, edit, differs with positions, differs without positions)
CASES = [
    ("x = 1", set_const(True), True, True),       # bool is not int, though True == 1
    ("x = 0.0", set_const(-0.0), True, True),     # -0.0 == 0.0, yet another constant
    ("x = 1.0", set_const(1), True, True),
    ("x = 'a'", set_const(b"a"), True, True),
    ("x = 1j", set_const(complex(-0.0, 1.0)), True, True),
    ("x = 1", drop_field, True, True),
    ("x = 1", rename, True, True),
    ("x = 1", other_context, True, True),
    ("x = 1\ny = 2", drop_statement, True, True),
    ("x = 1", shift_column, True, False),
    ("x = 1", shift_end_line, True, False),
]


@pytest.mark.parametrize("source,edit,with_positions,without_positions", CASES)
def test_sees_each_difference(source, edit, with_positions, without_positions):
    a, b = tree(source), edited(source, edit)
    assert same_tree(a, b, True) is not with_positions
    assert same_tree(a, b, False) is not without_positions
    # Never laxer than comparing the dumps.
    for attrs in (True, False):
        if ast.dump(a, include_attributes=attrs) != ast.dump(b, include_attributes=attrs):
            assert not same_tree(a, b, attrs)


def test_equal_trees_are_same():
    source = "async def f(a, /, b=1, *c, d: int, **e) -> None:\n    return [x async for x in y if (z := x)]\n"
    assert same_tree(tree(source), tree(source), True)
    nan = tree("x = 1")
    nan.body[0].value.value = float("nan")
    assert same_tree(nan, nan, True)  # the same node is the same, even holding nan
