"""Harvests the source snippets that the reference interpreter's own test suite
compiles, and labels each with the reference parser's verdict.

    python tools/harvest_snippets.py            # writes tests/data/snippets.json

Run it with Python 3.12.1: its test package is read (never imported) and its
ast.parse, in module mode with warnings ignored, gives the verdicts. A snippet
is taken where a test passes a literal string (possibly through
textwrap.dedent, or through a variable bound to literals in the same
function) to compile, exec, eval, ast.parse or one of the suite's
syntax-checking helpers, and from the interactive examples of the doctests
kept in module docstrings. Sources that the reference refuses with anything
but SyntaxError (RecursionError, MemoryError, or text that is not encodable
as UTF-8) are left out: they say nothing about the grammar.
"""

import ast
import doctest
import json
import sys
import sysconfig
import textwrap
import warnings
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
OUTPUT = ROOT / "tests" / "data" / "snippets.json"

# The built-ins that take source text, called by their plain names anywhere in
# the suite (re.compile, tcl.eval and the like are other functions), and
# ast.parse.
BUILTINS = {"compile": (0,), "exec": (0,), "eval": (0,)}
AST_FUNCTIONS = {"parse": (0,)}

# The suite's syntax-checking helpers: callee name -> the positions of its
# arguments that hold source text. A position holding a list or tuple of
# strings contributes each of them. Their names are generic, so only the
# grammar-heavy modules below are searched for them.
HELPERS = {
    "check_syntax_error": (1,),  # check_syntax_error(testcase, source, ...)
    "_check_error": (0,),
    "_check_noerror": (0,),
    "assertAllRaise": (2,),
    "assertSyntaxError": (0,),
    "assert_syntax_error": (0,),
    "assertInvalidSyntax": (0,),
    "check_ast_roundtrip": (0,),
    "check_src_roundtrip": (0,),
    "check_src_dont_roundtrip": (0,),
    "check_invalid": (0,),
    "ckmsg": (0,),
    "check": (0,),  # test_exceptions' offset checks: check(source, lineno, offset)
    "parse": (0,),  # modules that import ast.parse by name
    "_check_content": (0,),
    "_check_compile": (0,),
}

# The grammar-heavy test modules, searched for the helpers too and listed
# first so that a snippet's origin names one of them. Every other test module
# is searched for the built-ins and ast.parse only.
PRIORITY = [
    "test_syntax", "test_grammar", "test_fstring", "test_exceptions", "test_patma", "test_type_params",
    "test_string_literals", "test_ast", "test_unparse", "test_positional_only_arg", "test_keywordonlyarg",
    "test_named_expressions", "test_genexps", "test_coroutines", "test_compile", "test_eof",
    "test_unicode_identifiers", "test_future_stmt", "test_except_star", "test_exception_groups",
    "test_with", "test_global", "test_pep646_syntax", "test_listcomps", "test_setcomps",
    "test_dictcomps", "test_generators", "test_decorators", "test_print", "test_type_aliases",
    "test_type_annotations", "test_opcodes", "test_scope", "test_class", "test_future",
    "test_string", "test_utf8source", "test_tokenize", "test_peepholer", "test_builtin",
]
DOCTEST_MODULES = ["test_syntax", "test_genexps", "test_generators", "test_listcomps", "test_setcomps",
                   "test_deque", "test_extcall", "test_unpack", "test_unpack_ex", "test_metaclass"]


def callee_name(func):
    if isinstance(func, ast.Name):
        return func.id
    if isinstance(func, ast.Attribute):
        return func.attr
    return None


def literal_source(node):
    """The text of a literal str argument, or of dedent(<literal str>)."""
    if isinstance(node, ast.Constant) and isinstance(node.value, str):
        return node.value
    if (isinstance(node, ast.Call) and callee_name(node.func) == "dedent" and len(node.args) == 1
            and not node.keywords):
        inner = node.args[0]
        if isinstance(inner, ast.Constant) and isinstance(inner.value, str):
            return textwrap.dedent(inner.value)
    return None


def sources_in(node):
    text = literal_source(node)
    if text is not None:
        yield text
    elif isinstance(node, (ast.List, ast.Tuple)):
        for item in node.elts:
            text = literal_source(item)
            if text is not None:
                yield text


def read_tree(path):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return ast.parse(path.read_text(encoding="utf-8"), str(path))


def source_positions(func, with_helpers):
    if isinstance(func, ast.Name) and func.id in BUILTINS:
        return BUILTINS[func.id]
    if (isinstance(func, ast.Attribute) and isinstance(func.value, ast.Name) and func.value.id == "ast"
            and func.attr in AST_FUNCTIONS):
        return AST_FUNCTIONS[func.attr]
    if with_helpers:
        return HELPERS.get(callee_name(func))
    return None


def bound_sources(scope):
    """Name -> the literal sources a function (or module) binds to it: by plain
    assignment of a literal, or as the variable of a for loop over a literal
    list or over a name bound to one. Every binding counts, whatever the
    control flow; a text that is not really compiled is still a fair input."""
    names = {}
    nodes = [scope]
    while nodes:
        node = nodes.pop()
        for child in ast.iter_child_nodes(node):
            if not isinstance(child, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef, ast.Lambda)):
                nodes.append(child)
        if isinstance(node, ast.Assign) and len(node.targets) == 1 and isinstance(node.targets[0], ast.Name):
            names.setdefault(node.targets[0].id, []).extend(sources_in(node.value))
    # Loops after assignments, so that `for code in samples` sees `samples`.
    nodes = [scope]
    while nodes:
        node = nodes.pop()
        for child in ast.iter_child_nodes(node):
            if not isinstance(child, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef, ast.Lambda)):
                nodes.append(child)
        if isinstance(node, ast.For) and isinstance(node.target, ast.Name):
            if isinstance(node.iter, ast.Name):
                texts = names.get(node.iter.id, [])
            else:
                texts = list(sources_in(node.iter))
            names.setdefault(node.target.id, []).extend(texts)
    return names


def harvest_calls(path, origin, with_helpers):
    tree = read_tree(path)
    scopes = [tree] + [n for n in ast.walk(tree) if isinstance(n, (ast.FunctionDef, ast.AsyncFunctionDef))]
    for scope in scopes:
        names = bound_sources(scope)
        nodes = [scope]
        while nodes:
            node = nodes.pop()
            for child in ast.iter_child_nodes(node):
                if not isinstance(child, (ast.FunctionDef, ast.AsyncFunctionDef)):
                    nodes.append(child)
            if not isinstance(node, ast.Call):
                continue
            positions = source_positions(node.func, with_helpers)
            if not positions:
                continue
            arguments = [node.args[i] for i in positions if i < len(node.args)]
            arguments += [k.value for k in node.keywords if k.arg == "source"]
            for argument in arguments:
                if isinstance(argument, ast.Name):
                    texts = names.get(argument.id, [])
                else:
                    texts = sources_in(argument)
                for text in texts:
                    yield text, f"{origin}:{node.lineno}"


def harvest_doctests(path, origin):
    tree = read_tree(path)
    parser = doctest.DocTestParser()
    for node in ast.walk(tree):
        if isinstance(node, ast.Constant) and isinstance(node.value, str) and ">>> " in node.value:
            try:
                examples = parser.get_examples(node.value)
            except ValueError:  # malformed example indentation; not ours to fix
                continue
            for example in examples:
                yield example.source, f"{origin}:{node.lineno + example.lineno}"


def verdict(source):
    """True or False for ast.parse's verdict, None when it says nothing about the grammar."""
    try:
        source.encode("utf-8")
    except UnicodeEncodeError:
        return None
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            ast.parse(source)
        return True
    except SyntaxError:
        return False
    except (RecursionError, MemoryError, ValueError, OverflowError):
        return None


def main():
    if sys.version_info[:3] != (3, 12, 1):
        sys.exit("run this with Python 3.12.1, the reference interpreter")
    test_dir = Path(sysconfig.get_paths()["stdlib"]) / "test"
    modules = sorted(test_dir.rglob("test_*.py"))
    order = {name: i for i, name in enumerate(PRIORITY)}
    # The grammar-heavy modules first, so that a snippet's origin names them.
    modules.sort(key=lambda p: (order.get(p.stem, len(order)), str(p)))

    seen = {}
    for path in modules:
        origin = str(path.relative_to(test_dir.parent))
        try:
            found = list(harvest_calls(path, origin, path.stem in order))
            if path.stem in DOCTEST_MODULES and path.parent == test_dir:
                found += harvest_doctests(path, origin)
        except (SyntaxError, UnicodeDecodeError):
            continue  # the suite's deliberately broken files
        for text, where in found:
            if text not in seen:
                seen[text] = where

    snippets = []
    dropped = 0
    for text, where in seen.items():
        accepts = verdict(text)
        if accepts is None:
            dropped += 1
            continue
        snippets.append({"source": text, "origin": where, "accepts": accepts})
    OUTPUT.parent.mkdir(parents=True, exist_ok=True)
    with open(OUTPUT, "w", encoding="utf-8") as f:
        json.dump(snippets, f, indent=0, ensure_ascii=True)
        f.write("\n")
    accepted = sum(s["accepts"] for s in snippets)
    print(f"{len(snippets)} snippets ({accepted} accepted, {len(snippets) - accepted} refused), "
          f"{dropped} left out; written to {OUTPUT.relative_to(ROOT)}")


if __name__ == "__main__":
    main()
