"""Literal values through the whole native path (lexer, decoder, conversion to
ast objects) against ast.parse: the edge cases that ordinary code rarely has."""

import sys

import pytest

from ast_compare import compare, reference_tree

pytestmark = [
    pytest.mark.ast312,
    pytest.mark.skipif(sys.version_info[:2] != (3, 12), reason="compares with Python 3.12's ast.parse"),
]

SOURCES = [
    # numbers
    "x = 0, 00, 0_0, 1_000, 0x_f, 0o17, 0b1_1, 9223372036854775807, 9223372036854775808",
    "x = 0x" + "f" * 5000,  # far beyond the decimal conversion limit: fine in a power-of-two base
    "x = 0b" + "1" * 20000,
    "x = " + "9" * 4300,  # the largest decimal literal the interpreter converts
    "x = 1e400, 1e-400, 5e-324, 2.4703282292062327e-324, 1.7976931348623159e308, 0777.5, 09.5, 1_0.5_5e1_0",
    "x = 1j, 1.5e3J, 0j, 00j, 1_0j, 0777j, 1e400j, .5j",
    "x = 0.1000000000000000055511151231257827021181583404541015625",
    # str escapes
    r"x = '\\ \' \" \a \b \f \n \r \t \v \0 \12 \101 \1010 \777 \8 \d \q \x41 \xff \u00e9 \U0001F600'",
    r"x = '\ud800', '\udfff\ud800', '\U0010FFFF'",
    r"x = '\N{LATIN SMALL LETTER A}\N{latin small letter a}\N{LINE FEED}\N{LF}\N{BOM}\N{NULL}'",
    r"x = '\N{HANGUL SYLLABLE GAGG}\N{CJK UNIFIED IDEOGRAPH-4E00}\N{CJK UNIFIED IDEOGRAPH-04E00}'",
    r"x = '\N{cjk compatibility ideograph-f900}\N{TANGUT COMPONENT-001}\N{LATIN CAPITAL LETTER GHA}'",
    "x = 'é\\é中😀'",
    # str errors
    r"x = '\x4'",
    r"x = 'é\u12'",
    r"x = '\U00110000'",
    r"x = '\N{hangul syllable ga}'",
    r"x = '\N{CJK UNIFIED IDEOGRAPH-4e00}'",
    r"x = '\N{TANGUT IDEOGRAPH-17000}'",
    r"x = '\N{LATIN CAPITAL LETTER A WITH MACRON AND GRAVE}'",  # a named sequence, not a character
    r"x = '\N{}'",
    r"x = '\N{LATIN'",
    # bytes
    r"x = b'\777\400\x41\xff\d\N{LINE FEED}\u1234', rb'\x4'",
    r"x = b'\x4'",
    "x = b'é'",
    "x = rb'é'",
    # line ends inside literals, as the interpreter's newline translation leaves them
    "x = '''a\r\nb''', r'''a\r\nb''', b'''a\r\nb''', 'a\\\r\nb', r'a\\\r\nb', b'a\\\r\nb'\n",
    "x = f'''a\r\nb{1}\r\n'''\r\n",
    # identifiers
    "é = ﬁ = ℌ = µ = ｘ = Ⅸ = 1",
    "x = _𝔘𝔫𝔦·1 = 2",
    "x€ = 1",
]


@pytest.mark.parametrize("source", SOURCES)
def test_literal_like_reference(source):
    problem = compare(source, "<literal>", reference_tree(source, "<literal>"))
    assert problem is None, problem


def test_decimal_literal_past_conversion_limit_raises_the_interpreters_error():
    # Decimal constants are built through int(text), so the interpreter's limit
    # on decimal-text conversion applies with its own explanation; the same
    # value written in hex is not limited.
    import _quorbin_native_engine as native

    module = native.compile_composable("x = " + "9" * 4301)
    with pytest.raises(ValueError, match="Exceeds the limit .4300 digits. for integer string conversion"):
        module.copy_to_python_ast()
    assert native.parse_module("x = 0x" + "f" * 4301).body[0].value.value == int("f" * 4301, 16)
