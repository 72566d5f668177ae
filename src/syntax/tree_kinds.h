// Node kinds and their fields, in the field order of the interpreter's ast classes
// (Python 3.12). Everything that walks a tree generically (conversion, copies,
// counts, path steps) reads these tables, so a kind is described in one place.
#pragma once

// X(kind, category, located, field count)
#define QUORBIN_SYNTAX_KINDS(X) \
  X(Module, mod, false, 2) \
  X(FunctionDef, stmt, true, 7) \
  X(AsyncFunctionDef, stmt, true, 7) \
  X(ClassDef, stmt, true, 6) \
  X(Return, stmt, true, 1) \
  X(Delete, stmt, true, 1) \
  X(Assign, stmt, true, 3) \
  X(TypeAlias, stmt, true, 3) \
  X(AugAssign, stmt, true, 3) \
  X(AnnAssign, stmt, true, 4) \
  X(For, stmt, true, 5) \
  X(AsyncFor, stmt, true, 5) \
  X(While, stmt, true, 3) \
  X(If, stmt, true, 3) \
  X(With, stmt, true, 3) \
  X(AsyncWith, stmt, true, 3) \
  X(Match, stmt, true, 2) \
  X(Raise, stmt, true, 2) \
  X(Try, stmt, true, 4) \
  X(TryStar, stmt, true, 4) \
  X(Assert, stmt, true, 2) \
  X(Import, stmt, true, 1) \
  X(ImportFrom, stmt, true, 3) \
  X(Global, stmt, true, 1) \
  X(Nonlocal, stmt, true, 1) \
  X(Expr, stmt, true, 1) \
  X(Pass, stmt, true, 0) \
  X(Break, stmt, true, 0) \
  X(Continue, stmt, true, 0) \
  X(BoolOp, expr, true, 2) \
  X(NamedExpr, expr, true, 2) \
  X(BinOp, expr, true, 3) \
  X(UnaryOp, expr, true, 2) \
  X(Lambda, expr, true, 2) \
  X(IfExp, expr, true, 3) \
  X(Dict, expr, true, 2) \
  X(Set, expr, true, 1) \
  X(ListComp, expr, true, 2) \
  X(SetComp, expr, true, 2) \
  X(DictComp, expr, true, 3) \
  X(GeneratorExp, expr, true, 2) \
  X(Await, expr, true, 1) \
  X(Yield, expr, true, 1) \
  X(YieldFrom, expr, true, 1) \
  X(Compare, expr, true, 3) \
  X(Call, expr, true, 3) \
  X(FormattedValue, expr, true, 3) \
  X(JoinedStr, expr, true, 1) \
  X(Constant, expr, true, 2) \
  X(Attribute, expr, true, 3) \
  X(Subscript, expr, true, 3) \
  X(Starred, expr, true, 2) \
  X(Name, expr, true, 2) \
  X(List, expr, true, 2) \
  X(Tuple, expr, true, 2) \
  X(Slice, expr, true, 3) \
  X(comprehension, helper, false, 4) \
  X(arguments, helper, false, 7) \
  X(arg, helper, true, 3) \
  X(keyword, helper, true, 2) \
  X(alias, helper, true, 2) \
  X(withitem, helper, false, 2) \
  X(match_case, helper, false, 3) \
  X(ExceptHandler, excepthandler, true, 3) \
  X(MatchValue, pattern, true, 1) \
  X(MatchSingleton, pattern, true, 1) \
  X(MatchSequence, pattern, true, 1) \
  X(MatchMapping, pattern, true, 3) \
  X(MatchClass, pattern, true, 4) \
  X(MatchStar, pattern, true, 1) \
  X(MatchAs, pattern, true, 2) \
  X(MatchOr, pattern, true, 1) \
  X(TypeIgnore, type_ignore, false, 2) \
  X(TypeVar, type_param, true, 2) \
  X(ParamSpec, type_param, true, 1) \
  X(TypeVarTuple, type_param, true, 1) \
  /* end */

// F(kind, field, field type), grouped by kind in field order
#define QUORBIN_SYNTAX_FIELDS(F) \
  F(Module, body, NodeList) \
  F(Module, type_ignores, NodeList) \
  F(FunctionDef, name, Ident) \
  F(FunctionDef, args, Node) \
  F(FunctionDef, body, NodeList) \
  F(FunctionDef, decorator_list, NodeList) \
  F(FunctionDef, returns, OptNode) \
  F(FunctionDef, type_comment, OptStr) \
  F(FunctionDef, type_params, NodeList) \
  F(AsyncFunctionDef, name, Ident) \
  F(AsyncFunctionDef, args, Node) \
  F(AsyncFunctionDef, body, NodeList) \
  F(AsyncFunctionDef, decorator_list, NodeList) \
  F(AsyncFunctionDef, returns, OptNode) \
  F(AsyncFunctionDef, type_comment, OptStr) \
  F(AsyncFunctionDef, type_params, NodeList) \
  F(ClassDef, name, Ident) \
  F(ClassDef, bases, NodeList) \
  F(ClassDef, keywords, NodeList) \
  F(ClassDef, body, NodeList) \
  F(ClassDef, decorator_list, NodeList) \
  F(ClassDef, type_params, NodeList) \
  F(Return, value, OptNode) \
  F(Delete, targets, NodeList) \
  F(Assign, targets, NodeList) \
  F(Assign, value, Node) \
  F(Assign, type_comment, OptStr) \
  F(TypeAlias, name, Node) \
  F(TypeAlias, type_params, NodeList) \
  F(TypeAlias, value, Node) \
  F(AugAssign, target, Node) \
  F(AugAssign, op, Operator) \
  F(AugAssign, value, Node) \
  F(AnnAssign, target, Node) \
  F(AnnAssign, annotation, Node) \
  F(AnnAssign, value, OptNode) \
  F(AnnAssign, simple, Int) \
  F(For, target, Node) \
  F(For, iter, Node) \
  F(For, body, NodeList) \
  F(For, orelse, NodeList) \
  F(For, type_comment, OptStr) \
  F(AsyncFor, target, Node) \
  F(AsyncFor, iter, Node) \
  F(AsyncFor, body, NodeList) \
  F(AsyncFor, orelse, NodeList) \
  F(AsyncFor, type_comment, OptStr) \
  F(While, test, Node) \
  F(While, body, NodeList) \
  F(While, orelse, NodeList) \
  F(If, test, Node) \
  F(If, body, NodeList) \
  F(If, orelse, NodeList) \
  F(With, items, NodeList) \
  F(With, body, NodeList) \
  F(With, type_comment, OptStr) \
  F(AsyncWith, items, NodeList) \
  F(AsyncWith, body, NodeList) \
  F(AsyncWith, type_comment, OptStr) \
  F(Match, subject, Node) \
  F(Match, cases, NodeList) \
  F(Raise, exc, OptNode) \
  F(Raise, cause, OptNode) \
  F(Try, body, NodeList) \
  F(Try, handlers, NodeList) \
  F(Try, orelse, NodeList) \
  F(Try, finalbody, NodeList) \
  F(TryStar, body, NodeList) \
  F(TryStar, handlers, NodeList) \
  F(TryStar, orelse, NodeList) \
  F(TryStar, finalbody, NodeList) \
  F(Assert, test, Node) \
  F(Assert, msg, OptNode) \
  F(Import, names, NodeList) \
  F(ImportFrom, module, OptIdent) \
  F(ImportFrom, names, NodeList) \
  F(ImportFrom, level, Int) \
  F(Global, names, IdentList) \
  F(Nonlocal, names, IdentList) \
  F(Expr, value, Node) \
  F(BoolOp, op, BoolOperator) \
  F(BoolOp, values, NodeList) \
  F(NamedExpr, target, Node) \
  F(NamedExpr, value, Node) \
  F(BinOp, left, Node) \
  F(BinOp, op, Operator) \
  F(BinOp, right, Node) \
  F(UnaryOp, op, UnaryOperator) \
  F(UnaryOp, operand, Node) \
  F(Lambda, args, Node) \
  F(Lambda, body, Node) \
  F(IfExp, test, Node) \
  F(IfExp, body, Node) \
  F(IfExp, orelse, Node) \
  F(Dict, keys, OptNodeList) \
  F(Dict, values, NodeList) \
  F(Set, elts, NodeList) \
  F(ListComp, elt, Node) \
  F(ListComp, generators, NodeList) \
  F(SetComp, elt, Node) \
  F(SetComp, generators, NodeList) \
  F(DictComp, key, Node) \
  F(DictComp, value, Node) \
  F(DictComp, generators, NodeList) \
  F(GeneratorExp, elt, Node) \
  F(GeneratorExp, generators, NodeList) \
  F(Await, value, Node) \
  F(Yield, value, OptNode) \
  F(YieldFrom, value, Node) \
  F(Compare, left, Node) \
  F(Compare, ops, CmpOpList) \
  F(Compare, comparators, NodeList) \
  F(Call, func, Node) \
  F(Call, args, NodeList) \
  F(Call, keywords, NodeList) \
  F(FormattedValue, value, Node) \
  F(FormattedValue, conversion, Int) \
  F(FormattedValue, format_spec, OptNode) \
  F(JoinedStr, values, NodeList) \
  F(Constant, value, Const) \
  F(Constant, kind, OptStr) \
  F(Attribute, value, Node) \
  F(Attribute, attr, Ident) \
  F(Attribute, ctx, ExprContext) \
  F(Subscript, value, Node) \
  F(Subscript, slice, Node) \
  F(Subscript, ctx, ExprContext) \
  F(Starred, value, Node) \
  F(Starred, ctx, ExprContext) \
  F(Name, id, Ident) \
  F(Name, ctx, ExprContext) \
  F(List, elts, NodeList) \
  F(List, ctx, ExprContext) \
  F(Tuple, elts, NodeList) \
  F(Tuple, ctx, ExprContext) \
  F(Slice, lower, OptNode) \
  F(Slice, upper, OptNode) \
  F(Slice, step, OptNode) \
  F(comprehension, target, Node) \
  F(comprehension, iter, Node) \
  F(comprehension, ifs, NodeList) \
  F(comprehension, is_async, Int) \
  F(arguments, posonlyargs, NodeList) \
  F(arguments, args, NodeList) \
  F(arguments, vararg, OptNode) \
  F(arguments, kwonlyargs, NodeList) \
  F(arguments, kw_defaults, OptNodeList) \
  F(arguments, kwarg, OptNode) \
  F(arguments, defaults, NodeList) \
  F(arg, arg, Ident) \
  F(arg, annotation, OptNode) \
  F(arg, type_comment, OptStr) \
  F(keyword, arg, OptIdent) \
  F(keyword, value, Node) \
  F(alias, name, Ident) \
  F(alias, asname, OptIdent) \
  F(withitem, context_expr, Node) \
  F(withitem, optional_vars, OptNode) \
  F(match_case, pattern, Node) \
  F(match_case, guard, OptNode) \
  F(match_case, body, NodeList) \
  F(ExceptHandler, type, OptNode) \
  F(ExceptHandler, name, OptIdent) \
  F(ExceptHandler, body, NodeList) \
  F(MatchValue, value, Node) \
  F(MatchSingleton, value, Const) \
  F(MatchSequence, patterns, NodeList) \
  F(MatchMapping, keys, NodeList) \
  F(MatchMapping, patterns, NodeList) \
  F(MatchMapping, rest, OptIdent) \
  F(MatchClass, cls, Node) \
  F(MatchClass, patterns, NodeList) \
  F(MatchClass, kwd_attrs, IdentList) \
  F(MatchClass, kwd_patterns, NodeList) \
  F(MatchStar, name, OptIdent) \
  F(MatchAs, pattern, OptNode) \
  F(MatchAs, name, OptIdent) \
  F(MatchOr, patterns, NodeList) \
  F(TypeIgnore, lineno, Int) \
  F(TypeIgnore, tag, Str) \
  F(TypeVar, name, Ident) \
  F(TypeVar, bound, OptNode) \
  F(ParamSpec, name, Ident) \
  F(TypeVarTuple, name, Ident) \
  /* end */

namespace quorbin::syntax::field {
namespace Module { enum : unsigned { body = 0, type_ignores = 1 }; }
namespace FunctionDef { enum : unsigned { name = 0, args = 1, body = 2, decorator_list = 3, returns = 4, type_comment = 5, type_params = 6 }; }
namespace AsyncFunctionDef { enum : unsigned { name = 0, args = 1, body = 2, decorator_list = 3, returns = 4, type_comment = 5, type_params = 6 }; }
namespace ClassDef { enum : unsigned { name = 0, bases = 1, keywords = 2, body = 3, decorator_list = 4, type_params = 5 }; }
namespace Return { enum : unsigned { value = 0 }; }
namespace Delete { enum : unsigned { targets = 0 }; }
namespace Assign { enum : unsigned { targets = 0, value = 1, type_comment = 2 }; }
namespace TypeAlias { enum : unsigned { name = 0, type_params = 1, value = 2 }; }
namespace AugAssign { enum : unsigned { target = 0, op = 1, value = 2 }; }
namespace AnnAssign { enum : unsigned { target = 0, annotation = 1, value = 2, simple = 3 }; }
namespace For { enum : unsigned { target = 0, iter = 1, body = 2, orelse = 3, type_comment = 4 }; }
namespace AsyncFor { enum : unsigned { target = 0, iter = 1, body = 2, orelse = 3, type_comment = 4 }; }
namespace While { enum : unsigned { test = 0, body = 1, orelse = 2 }; }
namespace If { enum : unsigned { test = 0, body = 1, orelse = 2 }; }
namespace With { enum : unsigned { items = 0, body = 1, type_comment = 2 }; }
namespace AsyncWith { enum : unsigned { items = 0, body = 1, type_comment = 2 }; }
namespace Match { enum : unsigned { subject = 0, cases = 1 }; }
namespace Raise { enum : unsigned { exc = 0, cause = 1 }; }
namespace Try { enum : unsigned { body = 0, handlers = 1, orelse = 2, finalbody = 3 }; }
namespace TryStar { enum : unsigned { body = 0, handlers = 1, orelse = 2, finalbody = 3 }; }
namespace Assert { enum : unsigned { test = 0, msg = 1 }; }
namespace Import { enum : unsigned { names = 0 }; }
namespace ImportFrom { enum : unsigned { module = 0, names = 1, level = 2 }; }
namespace Global { enum : unsigned { names = 0 }; }
namespace Nonlocal { enum : unsigned { names = 0 }; }
namespace Expr { enum : unsigned { value = 0 }; }
namespace Pass {}
namespace Break {}
namespace Continue {}
namespace BoolOp { enum : unsigned { op = 0, values = 1 }; }
namespace NamedExpr { enum : unsigned { target = 0, value = 1 }; }
namespace BinOp { enum : unsigned { left = 0, op = 1, right = 2 }; }
namespace UnaryOp { enum : unsigned { op = 0, operand = 1 }; }
namespace Lambda { enum : unsigned { args = 0, body = 1 }; }
namespace IfExp { enum : unsigned { test = 0, body = 1, orelse = 2 }; }
namespace Dict { enum : unsigned { keys = 0, values = 1 }; }
namespace Set { enum : unsigned { elts = 0 }; }
namespace ListComp { enum : unsigned { elt = 0, generators = 1 }; }
namespace SetComp { enum : unsigned { elt = 0, generators = 1 }; }
namespace DictComp { enum : unsigned { key = 0, value = 1, generators = 2 }; }
namespace GeneratorExp { enum : unsigned { elt = 0, generators = 1 }; }
namespace Await { enum : unsigned { value = 0 }; }
namespace Yield { enum : unsigned { value = 0 }; }
namespace YieldFrom { enum : unsigned { value = 0 }; }
namespace Compare { enum : unsigned { left = 0, ops = 1, comparators = 2 }; }
namespace Call { enum : unsigned { func = 0, args = 1, keywords = 2 }; }
namespace FormattedValue { enum : unsigned { value = 0, conversion = 1, format_spec = 2 }; }
namespace JoinedStr { enum : unsigned { values = 0 }; }
namespace Constant { enum : unsigned { value = 0, kind = 1 }; }
namespace Attribute { enum : unsigned { value = 0, attr = 1, ctx = 2 }; }
namespace Subscript { enum : unsigned { value = 0, slice = 1, ctx = 2 }; }
namespace Starred { enum : unsigned { value = 0, ctx = 1 }; }
namespace Name { enum : unsigned { id = 0, ctx = 1 }; }
namespace List { enum : unsigned { elts = 0, ctx = 1 }; }
namespace Tuple { enum : unsigned { elts = 0, ctx = 1 }; }
namespace Slice { enum : unsigned { lower = 0, upper = 1, step = 2 }; }
namespace comprehension { enum : unsigned { target = 0, iter = 1, ifs = 2, is_async = 3 }; }
namespace arguments { enum : unsigned { posonlyargs = 0, args = 1, vararg = 2, kwonlyargs = 3, kw_defaults = 4, kwarg = 5, defaults = 6 }; }
namespace arg { enum : unsigned { arg = 0, annotation = 1, type_comment = 2 }; }
namespace keyword { enum : unsigned { arg = 0, value = 1 }; }
namespace alias { enum : unsigned { name = 0, asname = 1 }; }
namespace withitem { enum : unsigned { context_expr = 0, optional_vars = 1 }; }
namespace match_case { enum : unsigned { pattern = 0, guard = 1, body = 2 }; }
namespace ExceptHandler { enum : unsigned { type = 0, name = 1, body = 2 }; }
namespace MatchValue { enum : unsigned { value = 0 }; }
namespace MatchSingleton { enum : unsigned { value = 0 }; }
namespace MatchSequence { enum : unsigned { patterns = 0 }; }
namespace MatchMapping { enum : unsigned { keys = 0, patterns = 1, rest = 2 }; }
namespace MatchClass { enum : unsigned { cls = 0, patterns = 1, kwd_attrs = 2, kwd_patterns = 3 }; }
namespace MatchStar { enum : unsigned { name = 0 }; }
namespace MatchAs { enum : unsigned { pattern = 0, name = 1 }; }
namespace MatchOr { enum : unsigned { patterns = 0 }; }
namespace TypeIgnore { enum : unsigned { lineno = 0, tag = 1 }; }
namespace TypeVar { enum : unsigned { name = 0, bound = 1 }; }
namespace ParamSpec { enum : unsigned { name = 0 }; }
namespace TypeVarTuple { enum : unsigned { name = 0 }; }
}  // namespace quorbin::syntax::field
