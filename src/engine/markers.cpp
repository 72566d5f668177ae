#include "engine/markers.h"

#include <array>
#include <utility>
#include <vector>

#include "engine/node_search.h"

namespace quorbin::engine {

using syntax::ConstKind;
using syntax::Kind;
using syntax::List;
using syntax::Node;
namespace field = syntax::field;

namespace {

constexpr std::array<std::pair<std::string_view, Marker>, 12> kCallMarkers{{
    {names::kHole, Marker::Hole},
    {names::kInsert, Marker::Insert},
    {names::kRef, Marker::Ref},
    {names::kBindExternal, Marker::BindExternal},
    {names::kKeep, Marker::Keep},
    {names::kExport, Marker::Export},
    {names::kImport, Marker::Import},
    {names::kPass, Marker::Pass},
    {names::kPyimport, Marker::Pyimport},
    {names::kFuncargs, Marker::Funcargs},
    {names::kComment, Marker::Comment},
    {names::kFor, Marker::For},
}};

std::string concat(std::string_view a, std::string_view b, std::string_view c = {}) {
  std::string out;
  out.reserve(a.size() + b.size() + c.size());
  out.append(a).append(b).append(c);
  return out;
}

std::string at_line(std::string_view before, uint64_t line, std::string_view after) {
  return concat(before, std::to_string(line), after);
}

const syntax::Const* constant_of(const Node* node) {
  return node->kind == Kind::Constant ? node->slot(field::Constant::value).cst : nullptr;
}

bool is_string_constant(const Node* node) {
  const syntax::Const* c = constant_of(node);
  return c && c->kind == ConstKind::Str;
}

bool is_integer_constant(const Node* node) {
  const syntax::Const* c = constant_of(node);
  return c && (c->kind == ConstKind::Int || c->kind == ConstKind::BigInt);
}

const Node* expression_statement_value(const Node* stmt) {
  return stmt->kind == Kind::Expr ? stmt->child(field::Expr::value) : nullptr;
}

bool is_expression_marker_statement(const Node* stmt, std::string_view marker) {
  const Node* value = expression_statement_value(stmt);
  return value && is_marker_call(value, marker);
}

bool contains_import_or_export(const Node* expr) {
  return search_preorder(expr, [](const Node* n) {
           return is_marker_call(n, names::kImport) || is_marker_call(n, names::kExport);
         }) != nullptr;
}

// `__quorbin_ph_{N}__` with N a decimal without leading zeros that fits in 64 bits.
bool placeholder_number(std::string_view keyword, uint64_t& number) {
  constexpr std::string_view kSuffix = "__";
  if (keyword.size() < names::kPlaceholderPrefix.size() + 1 + kSuffix.size()) return false;
  if (!keyword.starts_with(names::kPlaceholderPrefix) || !keyword.ends_with(kSuffix)) return false;
  std::string_view digits =
      keyword.substr(names::kPlaceholderPrefix.size(), keyword.size() - names::kPlaceholderPrefix.size() - kSuffix.size());
  if (digits.size() > 1 && digits[0] == '0') return false;
  uint64_t value = 0;
  for (char ch : digits) {
    if (ch < '0' || ch > '9') return false;
    uint64_t digit = static_cast<uint64_t>(ch - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
  }
  number = value;
  return true;
}

// The statement lists that the placement rules descend into, in their order.
// Loops, `async with`, `match` and `try` with `except*` are left alone.
template <class Visit>
Refusal for_each_nested_list(const Node* stmt, Visit&& visit) {
  switch (stmt->kind) {
    case Kind::FunctionDef:
      return visit(stmt->list(field::FunctionDef::body), false);
    case Kind::AsyncFunctionDef:
      return visit(stmt->list(field::AsyncFunctionDef::body), false);
    case Kind::ClassDef:
      return visit(stmt->list(field::ClassDef::body), false);
    case Kind::With:
      return visit(stmt->list(field::With::body), false);
    case Kind::If:
      QUORBIN_TRY_REFUSAL(visit(stmt->list(field::If::body), false));
      return visit(stmt->list(field::If::orelse), true);
    case Kind::Try: {
      QUORBIN_TRY_REFUSAL(visit(stmt->list(field::Try::body), false));
      QUORBIN_TRY_REFUSAL(visit(stmt->list(field::Try::orelse), false));
      QUORBIN_TRY_REFUSAL(visit(stmt->list(field::Try::finalbody), false));
      const List* handlers = stmt->list(field::Try::handlers);
      for (uint32_t h = 0; h < syntax::list_size(handlers); ++h)
        QUORBIN_TRY_REFUSAL(visit(syntax::list_node(handlers, h)->list(field::ExceptHandler::body), false));
      return std::nullopt;
    }
    default:
      return std::nullopt;
  }
}

Refusal check_pyimport_list(const List* stmts, const SourceLines& lines) {
  bool open = true;
  for (uint32_t i = 0; i < syntax::list_size(stmts); ++i) {
    const Node* stmt = syntax::list_node(stmts, i);
    if (is_expression_marker_statement(stmt, names::kPyimport)) {
      if (!open)
        return at_line("quorbin_pyimport(...) at line ", lines.statement_line(stmt),
                       " must appear in the contiguous top-of-Quorbin-scope prefix");
    } else if (is_metadata_marker_statement(stmt) || is_expression_marker_statement(stmt, names::kComment) ||
               is_expression_marker_statement(stmt, names::kBindExternal)) {
      // neutral
    } else if (const Node* value = expression_statement_value(stmt); value && is_string_constant(value)) {
      // a docstring is neutral
    } else if (stmt->kind == Kind::ImportFrom && ident(stmt, field::ImportFrom::module) == "__future__" &&
               stmt->integer(field::ImportFrom::level) == 0) {
      // neutral: it must come first anyway
    } else {
      open = false;
    }
    QUORBIN_TRY_REFUSAL(
        for_each_nested_list(stmt, [&](const List* nested, bool) { return check_pyimport_list(nested, lines); }));
  }
  return std::nullopt;
}

Refusal check_elif_statement(const Node* stmt, bool real_elif_position, const SourceLines& lines) {
  if (stmt->kind == Kind::If && is_marker_call(stmt->child(field::If::test), names::kElif)) {
    if (!real_elif_position)
      return at_line("quorbin_elif(...) at line ", lines.statement_line(stmt), " is valid only in real elif position");
    const List* body = stmt->list(field::If::body);
    for (uint32_t i = 0; i < syntax::list_size(body); ++i) {
      const Node* inner = syntax::list_node(body, i);
      if (inner->kind != Kind::Pass && !is_expression_marker_statement(inner, names::kComment))
        return at_line("quorbin_elif marker body at line ", lines.statement_line(inner), " must be empty-equivalent");
    }
  }
  return for_each_nested_list(stmt, [&](const List* nested, bool is_if_else) -> Refusal {
    for (uint32_t i = 0; i < syntax::list_size(nested); ++i)
      QUORBIN_TRY_REFUSAL(check_elif_statement(syntax::list_node(nested, i), is_if_else && i == 0, lines));
    return std::nullopt;
  });
}

}  // namespace

std::optional<Marker> call_marker_named(std::string_view identifier) {
  for (const auto& [name, marker] : kCallMarkers)
    if (name == identifier) return marker;
  return std::nullopt;
}

std::optional<std::string_view> bare_callee(const Node* node) {
  if (!node || node->kind != Kind::Call) return std::nullopt;
  const Node* func = node->child(field::Call::func);
  if (func->kind != Kind::Name) return std::nullopt;
  return ident(func, field::Name::id);
}

std::string_view scope_name(std::string_view name) {
  for (std::string_view suffix : {names::kArgSuffix, names::kParamHoleSuffix, names::kKeepSuffix})
    if (std::optional<std::string_view> base = base_name(name, suffix)) return *base;
  return name;
}

bool is_metadata_marker_statement(const Node* stmt) {
  const Node* value = expression_statement_value(stmt);
  if (!value) return false;
  std::optional<std::string_view> callee = bare_callee(value);
  return callee && (*callee == names::kKeep || *callee == names::kExport || *callee == names::kImport ||
                    *callee == names::kPyimport);
}

Refusal name_argument(const Node* call, std::string_view marker, std::string_view& name) {
  const List* args = call->list(field::Call::args);
  if (syntax::list_size(args) == 0) return concat(marker, " requires a name argument");
  const Node* first = syntax::list_node(args, 0);
  if (first->kind != Kind::Name) return concat(marker, " name argument must be a bare identifier");
  name = ident(first, field::Name::id);
  return std::nullopt;
}

Refusal check_insert(const Node* call, InsertForm form, std::string_view& name) {
  const bool decorator = form == InsertForm::Decorator;
  if (syntax::list_size(call->list(field::Call::args)) != (decorator ? 1u : 2u))
    return "quorbin_insert expects 1 positional argument (decorator) or 2 positional arguments (expression)";
  QUORBIN_TRY_REFUSAL(name_argument(call, names::kInsert, name));
  const List* keywords = call->list(field::Call::keywords);
  for (uint32_t i = 0; i < syntax::list_size(keywords); ++i) {
    const Node* kw = syntax::list_node(keywords, i);
    const Node* value = kw->child(field::keyword::value);
    if (!kw->str(field::keyword::arg)) return "quorbin_insert does not accept **kwargs";
    std::string_view arg = ident(kw, field::keyword::arg);
    if (arg == "ref") {
      if (!decorator) return "quorbin_insert ref= is only valid on decorator-form shells";
    } else if (arg == "kind") {
      if (!decorator) return "quorbin_insert kind= is only valid on decorator-form shells";
      if (!is_string_constant(value)) return "quorbin_insert kind= must be a string constant";
      std::string_view kind = constant_of(value)->text->view();
      if (kind != "block" && kind != "elif" && kind != "params")
        return "quorbin_insert kind= must be the literal string 'block', 'elif', or 'params'";
    } else if (arg == "order") {
      if (!is_integer_constant(value)) return "quorbin_insert order must be an integer constant";
    } else if (arg == "pyimport") {
      if (decorator) return "quorbin_insert pyimport= is only valid on expression-form inserts";
      if (value->kind != Kind::Tuple) return "quorbin_insert pyimport= must be a tuple";
      const List* elts = value->list(field::Tuple::elts);
      for (uint32_t j = 0; j < syntax::list_size(elts); ++j)
        if (!is_marker_call(syntax::list_node(elts, j), names::kPyimport))
          return "quorbin_insert pyimport= entries must be quorbin_pyimport(...) calls";
    } else {
      return concat("quorbin_insert does not accept keyword `", arg, "`");
    }
  }
  return std::nullopt;
}

Refusal check_funcargs(const Node* call) {
  static constexpr std::string_view kCarrierOutside =
      "quorbin_import(...) / quorbin_export(...) are only valid as direct __quorbin_ph_{N}__= carriers inside "
      "quorbin_funcargs(...)";
  const List* args = call->list(field::Call::args);
  for (uint32_t i = 0; i < syntax::list_size(args); ++i)
    if (contains_import_or_export(syntax::list_node(args, i))) return std::string(kCarrierOutside);

  std::vector<uint64_t> numbers;
  const List* keywords = call->list(field::Call::keywords);
  for (uint32_t i = 0; i < syntax::list_size(keywords); ++i) {
    const Node* kw = syntax::list_node(keywords, i);
    const Node* value = kw->child(field::keyword::value);
    std::string_view arg = ident(kw, field::keyword::arg);
    if (!kw->str(field::keyword::arg)) {
      if (contains_import_or_export(value)) return std::string(kCarrierOutside);
    } else if (arg == "_") {
      return "keyword `_` is reserved inside quorbin_funcargs(...); use __quorbin_ph_{N}__=quorbin_import/export(...) "
             "for payload-local directives";
    } else if (arg.starts_with(names::kPlaceholderPrefix)) {
      uint64_t number = 0;
      if (!placeholder_number(arg, number))
        return "quorbin_funcargs directive placeholder names must match __quorbin_ph_{N}__";
      if (!is_marker_call(value, names::kImport) && !is_marker_call(value, names::kExport))
        return "quorbin_funcargs directive placeholders may only carry direct quorbin_import(...) or "
               "quorbin_export(...) calls";
      numbers.push_back(number);
    } else if (contains_import_or_export(value)) {
      return std::string(kCarrierOutside);
    }
  }
  for (size_t i = 0; i < numbers.size(); ++i)
    if (numbers[i] != i)
      return "quorbin_funcargs directive placeholders must be contiguous and ordered from __quorbin_ph_0__";
  return std::nullopt;
}

Refusal check_pyimport_placement(const Node* module, const SourceLines& lines) {
  return check_pyimport_list(module->list(field::Module::body), lines);
}

Refusal check_elif_placement(const Node* module, const SourceLines& lines) {
  const List* body = module->list(field::Module::body);
  for (uint32_t i = 0; i < syntax::list_size(body); ++i)
    QUORBIN_TRY_REFUSAL(check_elif_statement(syntax::list_node(body, i), false, lines));
  return std::nullopt;
}

}  // namespace quorbin::engine
