#include "engine/extract.h"

#include <algorithm>
#include <array>
#include <unordered_map>
#include <unordered_set>

#include "engine/ast_path.h"
#include "engine/fault.h"
#include "engine/node_search.h"
#include "engine/sha256.h"
#include "engine/source_lines.h"
#include "engine/deep_stack.h"
#include "engine/template_walk.h"

#include "syntax/parser.h"

namespace quorbin::engine {

using syntax::Kind;
using syntax::List;
using syntax::Node;
namespace field = syntax::field;

namespace {

constexpr std::array<RecordKindInfo, 15> kRecordKinds{{
    {"hole.block", "splice-body-at-marker", "quorbin.surface.block.hole"},
    {"hole.expr", "replace-expression", "quorbin.surface.expression.hole"},
    {"hole.positional_variadic", "splice-call-arguments", "quorbin.surface.funcargs.hole"},
    {"hole.named_variadic", "splice-call-arguments", "quorbin.surface.funcargs.hole"},
    {"hole.params", "splice-parameters", "quorbin.surface.parameter.hole"},
    {"hole.elif", "append-clause", "quorbin.surface.elif.target"},
    {"identifier.demand", "rewrite-identifier", "quorbin.surface.identifier.demand"},
    {"identifier.supply", "rewrite-identifier", "quorbin.surface.identifier.supply"},
    {"external.bind", "bind-external", "quorbin.surface.external.demand"},
    {"production.supply", "copy-expression", "quorbin.surface.expression.production"},
    {"production.supply", "copy-parameters", "quorbin.surface.parameter.production"},
    {"production.elif", "copy-clause", "quorbin.surface.elif.production"},
    {"production.funcargs", "copy-call-arguments", "quorbin.surface.funcargs.production"},
    {"production.expression", "copy-expression", "quorbin.surface.expression.production"},
    {"production.block", "copy-block", "quorbin.surface.block.production"},
}};

// Where an expression stands decides which hole a quorbin_hole there makes.
using Context = WalkContext;

RecordKind hole_kind(Context context) {
  switch (context) {
    case Context::Statement:
      return RecordKind::HoleBlock;
    case Context::Starred:
      return RecordKind::HolePositionalVariadic;
    case Context::DoubleStar:
      return RecordKind::HoleNamedVariadic;
    default:
      return RecordKind::HoleExpr;
  }
}

bool is_definition(const Node* stmt) {
  return stmt->kind == Kind::FunctionDef || stmt->kind == Kind::AsyncFunctionDef;
}

// FunctionDef and AsyncFunctionDef share their field layout.
static_assert(+field::FunctionDef::name == +field::AsyncFunctionDef::name &&
              +field::FunctionDef::args == +field::AsyncFunctionDef::args &&
              +field::FunctionDef::body == +field::AsyncFunctionDef::body &&
              +field::FunctionDef::decorator_list == +field::AsyncFunctionDef::decorator_list);
static_assert(+field::For::target == +field::AsyncFor::target && +field::For::iter == +field::AsyncFor::iter &&
              +field::For::body == +field::AsyncFor::body && +field::For::orelse == +field::AsyncFor::orelse);
static_assert(+field::Try::body == +field::TryStar::body && +field::Try::handlers == +field::TryStar::handlers &&
              +field::Try::orelse == +field::TryStar::orelse && +field::Try::finalbody == +field::TryStar::finalbody);
static_assert(+field::With::body == +field::AsyncWith::body);

class Walker : public TemplateWalk<Walker, Refusal> {
 public:
  Walker(const SourceLines& lines, std::vector<TemplateRecord>& records) : lines_(lines), records_(records) {}

  Refusal module(const Node* module) {
    collect_imports_and_exports(module);
    return statements(module, field::Module::body, "body");
  }

 private:
  friend class TemplateWalk<Walker, Refusal>;

  // The `*` parameter makes its records after the keyword-only ones, next
  // to the `**` parameter.
  static constexpr ParameterOrder kParameterOrder = ParameterOrder::StarredLast;
  // The tasks this walk queues itself.
  enum Hook : uint8_t { kRefExternal };

  const SourceLines& lines_;
  std::vector<TemplateRecord>& records_;
  std::vector<std::string> scope_;
  std::unordered_set<std::string_view> imports_;
  std::unordered_set<std::string_view> exports_;
  // What later markers look up among the records made so far, kept as the
  // records are made so that a template with many markers stays linear.
  std::unordered_set<std::string> supplied_;                   // identifier supplies
  std::unordered_map<std::string, RecordKind> first_shell_hole_;  // first elif, params or block hole by name

  void collect_imports_and_exports(const Node* module) {
    search_preorder(module, [&](const Node* n) {
      std::optional<std::string_view> callee = bare_callee(n);
      if (callee && (*callee == names::kImport || *callee == names::kExport)) {
        const List* args = n->list(field::Call::args);
        if (syntax::list_size(args) != 0 && syntax::list_node(args, 0)->kind == Kind::Name)
          (*callee == names::kImport ? imports_ : exports_).insert(ident(syntax::list_node(args, 0), field::Name::id));
      }
      return false;
    });
  }

  // A record at the current path in the current scope.
  void add(RecordKind kind, std::string_view name, uint64_t line) {
    records_.push_back(TemplateRecord{kind, path_.str(), std::string(name), line, scope_});
    noted(records_.back());
  }
  void add_unowned(RecordKind kind, std::string_view name, uint64_t line) {
    records_.push_back(TemplateRecord{kind, path_.str(), std::string(name), line, {}});
    noted(records_.back());
  }
  void noted(const TemplateRecord& r) {
    if (r.kind == RecordKind::IdentifierSupply) supplied_.insert(r.resource_name);
    if (r.kind == RecordKind::HoleElif || r.kind == RecordKind::HoleParams || r.kind == RecordKind::HoleBlock)
      first_shell_hole_.emplace(r.resource_name, r.kind);  // keeps the first
  }
  void demand_if_suffixed(std::string_view identifier, uint64_t line) {
    if (std::optional<std::string_view> base = base_name(identifier, names::kArgSuffix))
      add(RecordKind::IdentifierDemand, *base, line);
  }

  class ScopeEntry {
   public:
    ScopeEntry(std::vector<std::string>& scope, std::string_view name) : scope_(scope) {
      scope_.emplace_back(scope_name(name));
    }
    ~ScopeEntry() { scope_.pop_back(); }

   private:
    std::vector<std::string>& scope_;
  };

  // ---- statements

  void import_from(const Node* s) {
    demand_if_suffixed(ident(s, field::ImportFrom::module), lines_.statement_line(s));
  }

  void alias(const Node* alias) {
    uint64_t line = lines_.line_of(alias);
    demand_if_suffixed(ident(alias, field::alias::name), line);
    demand_if_suffixed(ident(alias, field::alias::asname), line);
  }

  // A definition's `returns` annotation is not walked, and neither are its
  // decorator-form quorbin_insert calls: those only repeat an earlier hole.
  Refusal function(const Node* s) {
    std::string_view name = ident(s, field::FunctionDef::name);
    uint64_t line = lines_.statement_line(s);
    if (name == names::kParams) {
      // A parameter production is only its parameter list.
      add_unowned(RecordKind::SupplyParameters, names::kParams, line);
      ScopeEntry inner(scope_, name);
      return parameters(s->child(field::FunctionDef::args));
    }
    if (name == names::kElif)
      add_unowned(RecordKind::ProductionElif, names::kElif, line);
    else
      demand_if_suffixed(name, line);
    ScopeEntry inner(scope_, name);
    QUORBIN_TRY_REFUSAL(insert_shells(s, field::FunctionDef::decorator_list));
    QUORBIN_TRY_REFUSAL(parameters(s->child(field::FunctionDef::args)));
    QUORBIN_TRY_REFUSAL(statements(s, field::FunctionDef::body, "body"));
    return other_decorators(s, field::FunctionDef::decorator_list);
  }

  Refusal class_def(const Node* s) {
    std::string_view name = ident(s, field::ClassDef::name);
    demand_if_suffixed(name, lines_.statement_line(s));
    ScopeEntry inner(scope_, name);
    QUORBIN_TRY_REFUSAL(children(s, field::ClassDef::bases, "bases"));
    QUORBIN_TRY_REFUSAL(class_keywords(s));
    QUORBIN_TRY_REFUSAL(insert_shells(s, field::ClassDef::decorator_list));
    QUORBIN_TRY_REFUSAL(statements(s, field::ClassDef::body, "body"));
    return other_decorators(s, field::ClassDef::decorator_list);
  }

  // A decorator-form quorbin_insert repeats, at the decorator, the hole that
  // an earlier record of the same name opened.
  Refusal insert_shells(const Node* def, unsigned decorator_field) {
    const List* decorators = def->list(decorator_field);
    for (uint32_t i = 0; i < syntax::list_size(decorators); ++i) {
      const Node* decorator = syntax::list_node(decorators, i);
      if (!is_marker_call(decorator, names::kInsert)) continue;
      std::string_view name;
      QUORBIN_TRY_REFUSAL(check_insert(decorator, InsertForm::Decorator, name));
      auto hole = first_shell_hole_.find(std::string(name));
      if (hole == first_shell_hole_.end()) continue;
      const RecordKind kind = hole->second;
      PathStep step(path_, "decorator_list", i);
      add(kind, name, lines_.line_of(decorator));
    }
    return std::nullopt;
  }

  Refusal other_decorators(const Node* def, unsigned decorator_field) {
    const List* decorators = def->list(decorator_field);
    for (uint32_t i = 0; i < syntax::list_size(decorators); ++i) {
      const Node* decorator = syntax::list_node(decorators, i);
      if (is_marker_call(decorator, names::kInsert)) continue;
      PathStep step(path_, "decorator_list", i);
      QUORBIN_TRY_REFUSAL(expression(decorator, Context::Expression));
    }
    return std::nullopt;
  }

  Refusal if_test(const Node* s) {
    const Node* test = s->child(field::If::test);
    if (!is_marker_call(test, names::kElif)) return child(s, field::If::test, "test");
    std::string_view name;
    QUORBIN_TRY_REFUSAL(name_argument(test, names::kElif, name));
    PathStep step(path_, "test");
    add(RecordKind::HoleElif, name, lines_.line_of(test));
    return std::nullopt;
  }

  // Only the body of a `with` is walked; its items make no records, except
  // that a plain `with` whose first item is a quorbin_hole is a block hole
  // with default content.
  Refusal with_statement(const Node* s) {
    const List* items = s->list(field::With::items);
    if (s->kind == Kind::With && syntax::list_size(items) != 0) {
      const Node* item = syntax::list_node(items, 0);
      const Node* expr = item->child(field::withitem::context_expr);
      if (is_marker_call(expr, names::kHole)) {
        const Node* target = item->child(field::withitem::optional_vars);
        if (!target || target->kind != Kind::Name || ident(target, field::Name::id) != names::kFallback)
          return "defaulted block holes require `as quorbin_fallback`";
        std::string_view name;
        QUORBIN_TRY_REFUSAL(name_argument(expr, names::kHole, name));
        add(RecordKind::HoleBlock, name, lines_.statement_line(s));
      }
    }
    return statements(s, field::With::body, "body");
  }

  // ---- expressions and parameters

  void name(const Node* e) { demand_if_suffixed(ident(e, field::Name::id), lines_.line_of(e)); }

  void parameter(const Node* arg) {
    std::string_view name = ident(arg, field::arg::arg);
    uint64_t line = lines_.line_of(arg);
    if (std::optional<std::string_view> base = base_name(name, names::kParamHoleSuffix))
      add(RecordKind::HoleParams, *base, line);
    else
      demand_if_suffixed(name, line);
  }

  void keyword_name(const Node* kw) { demand_if_suffixed(ident(kw, field::keyword::arg), lines_.line_of(kw)); }

  // A call's marker comes before its callee, its arguments and keywords.
  Refusal at_call(const Node* e, Context context) {
    if (std::optional<std::string_view> callee = bare_callee(e); callee && callee->starts_with(names::kMarkerPrefix))
      return marker(e, *callee, context);
    return std::nullopt;
  }

  // A reference written as a method (`obj.quorbin_ref(...)`) binds its
  // external once its callee has been walked.
  void after_callee(const Node* e) {
    const Node* func = e->child(field::Call::func);
    if (func->kind == Kind::Attribute && ident(func, field::Attribute::attr) == names::kRef) queue_hook(kRefExternal, e);
  }

  Refusal run_hook(uint8_t code, const Node* node, const Node*) {
    QUORBIN_CHECK(code == kRefExternal);
    return ref_external(node);
  }
  // `quorbin_ref(external=name)` binds an external value; the binding is
  // placed on the reference's first positional argument.
  Refusal ref_external(const Node* e) {
    const List* keywords = e->list(field::Call::keywords);
    for (uint32_t i = 0; i < syntax::list_size(keywords); ++i) {
      const Node* kw = syntax::list_node(keywords, i);
      if (!kw->str(field::keyword::arg) || ident(kw, field::keyword::arg) != "external") continue;
      const Node* value = kw->child(field::keyword::value);
      if (value->kind != Kind::Name) return "quorbin_ref external argument must be a bare identifier";
      PathStep step(path_, "args", 0);
      add(RecordKind::ExternalBind, ident(value, field::Name::id), lines_.line_of(e));
      return std::nullopt;
    }
    return std::nullopt;
  }

  Refusal marker(const Node* e, std::string_view callee, Context context) {
    std::optional<Marker> marker = call_marker_named(callee);
    if (!marker) return "unsupported native direct call marker: " + std::string(callee);
    const uint64_t line = lines_.line_of(e);
    std::string_view name;
    switch (*marker) {
      case Marker::Hole:
        QUORBIN_TRY_REFUSAL(name_argument(e, names::kHole, name));
        add(hole_kind(context), name, line);
        return std::nullopt;
      case Marker::Insert:
        QUORBIN_TRY_REFUSAL(check_insert(e, InsertForm::Expression, name));
        if (context == Context::Argument || context == Context::Starred || context == Context::DoubleStar)
          add(hole_kind(context), name, line);
        add(RecordKind::SupplyExpression, name, line);
        return std::nullopt;
      case Marker::Ref:
        return ref_external(e);
      case Marker::BindExternal:
        QUORBIN_TRY_REFUSAL(name_argument(e, names::kBindExternal, name));
        add(RecordKind::ExternalBind, name, line);
        return std::nullopt;
      case Marker::Pass:
      case Marker::Import: {
        const bool is_import = *marker == Marker::Import;
        QUORBIN_TRY_REFUSAL(name_argument(e, is_import ? names::kImport : names::kPass, name));
        if (std::optional<std::string_view> base = base_name(name, names::kArgSuffix)) name = *base;
        add(RecordKind::IdentifierDemand, name, line);
        if (name.starts_with(names::kAssignPrefix) &&
            (is_import || supplied_.count(std::string(name))))
          add(RecordKind::IdentifierSupply, name, line);
        return std::nullopt;
      }
      case Marker::Export:
        QUORBIN_TRY_REFUSAL(name_argument(e, names::kExport, name));
        if (name.starts_with(names::kAssignPrefix)) add(RecordKind::IdentifierDemand, name, line);
        add(RecordKind::IdentifierSupply, name, line);
        return std::nullopt;
      case Marker::Keep: {
        QUORBIN_TRY_REFUSAL(name_argument(e, names::kKeep, name));
        if (context != Context::Statement) return std::nullopt;
        const bool assigned = name.starts_with(names::kAssignPrefix);
        if (assigned) add(RecordKind::IdentifierDemand, name, line);
        if (exports_.count(name))
          add(RecordKind::IdentifierSupply, name, line);
        else if (imports_.count(name) && !assigned)
          add(RecordKind::IdentifierDemand, name, line);
        return std::nullopt;
      }
      case Marker::Funcargs:
        return check_funcargs(e);
      case Marker::Pyimport:
      case Marker::Comment:
      case Marker::For:
        return std::nullopt;
    }
    return std::nullopt;
  }
};

std::string_view callee_or_empty(const Node* node) {
  std::optional<std::string_view> callee = bare_callee(node);
  return callee ? *callee : std::string_view();
}

// What the template as a whole produces, after every record of the walk.
void append_productions(const Node* module, const SourceLines& lines, uint32_t line_number,
                        std::vector<TemplateRecord>& records) {
  const List* body = module->list(field::Module::body);
  const uint32_t count = syntax::list_size(body);

  const Node* meaningful = nullptr;
  uint32_t meaningful_index = 0;
  uint32_t candidates = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const Node* stmt = syntax::list_node(body, i);
    if (is_metadata_marker_statement(stmt)) continue;
    if (++candidates == 1) {
      meaningful = stmt;
      meaningful_index = i;
    }
  }
  if (candidates != 1) meaningful = nullptr;

  auto value_path = [&] { return "body[" + std::to_string(meaningful_index) + "]/value"; };
  bool funcargs = false;
  bool params = false;
  if (meaningful && meaningful->kind == Kind::Expr) {
    std::string_view callee = callee_or_empty(meaningful->child(field::Expr::value));
    uint64_t line = lines.statement_line(meaningful);
    if (callee == names::kFuncargs) {
      funcargs = true;
      records.push_back(TemplateRecord{RecordKind::ProductionFuncargs, value_path(), "__funcargs__", line, {}});
    } else if (callee != names::kInsert) {
      records.push_back(TemplateRecord{RecordKind::ProductionExpression, value_path(), "__expr__", line, {}});
    }
  } else if (meaningful && is_definition(meaningful)) {
    params = ident(meaningful, field::FunctionDef::name) == names::kParams;
  }
  if (funcargs || params) return;

  // The block starts at the first statement that is not metadata, inside the
  // root function when the template has exactly one.
  auto first_meaningful_line = [&](const List* stmts) -> uint64_t {
    for (uint32_t i = 0; i < syntax::list_size(stmts); ++i) {
      const Node* stmt = syntax::list_node(stmts, i);
      if (!is_metadata_marker_statement(stmt)) return lines.statement_line(stmt);
    }
    return lines.statement_line(syntax::list_node(stmts, 0));
  };
  const Node* root = nullptr;
  uint32_t roots = 0;
  for (uint32_t i = 0; i < count; ++i) {
    const Node* stmt = syntax::list_node(body, i);
    if (stmt->kind == Kind::FunctionDef && ident(stmt, field::FunctionDef::name).starts_with(names::kRootPrefix)) {
      ++roots;
      root = stmt;
    }
  }
  uint64_t line = 1;
  if (roots == 1 && syntax::list_size(root->list(field::FunctionDef::body)) != 0)
    line = first_meaningful_line(root->list(field::FunctionDef::body));
  else if (count != 0)
    line = first_meaningful_line(body);
  if (line == 1) line = line_number;
  records.push_back(TemplateRecord{RecordKind::ProductionBlock, std::string(kModulePath), "__block__", line, {}});
}

}  // namespace

const RecordKindInfo& record_kind_info(RecordKind kind) { return kRecordKinds[static_cast<size_t>(kind)]; }

std::string authored_summary(const TemplateRecord& record) {
  return record.resource_name + " at line " + std::to_string(record.line);
}

std::string semantic_summary(const TemplateRecord& record) {
  std::string out(record_kind_info(record.kind).inventory_kind);
  out += " name=";
  out += record.resource_name;
  out += " owner=";
  if (record.code_owner.empty()) out += '.';
  for (size_t i = 0; i < record.code_owner.size(); ++i) {
    if (i) out += '/';
    out += record.code_owner[i];
  }
  out += " build_path=.";
  return out;
}

std::string template_key(std::string_view source) {
  std::optional<Sha256Digest> digest = sha256(source);
  if (!digest) throw InternalFault("SHA-256 digest of the template source failed");
  return "template:" + to_hex(*digest).substr(0, 16);
}

std::string source_summary(uint32_t line_number, size_t record_count) {
  return "compile line=" + std::to_string(line_number) + " records=" + std::to_string(record_count);
}

Result<syntax::Tree> parse_template(std::string_view source, std::string_view filename) {
  syntax::ParseResult parsed = syntax::parse_module(source, filename);
  if (!parsed.ok) return syntax_error_at(parsed.error.message, parsed.error.offset, filename);
  SourceLines lines(source);
  const Node* module = parsed.tree.module;
  if (Refusal refusal = with_stack_for(module, [&] { return check_marker_placement(module, lines); }))
    return schema_error(std::move(*refusal));
  return std::move(parsed.tree);
}

Result<std::vector<TemplateRecord>> extract_records(const Node* module, std::string_view source,
                                                    uint32_t line_number) {
  return with_stack_for(module, [&]() -> Result<std::vector<TemplateRecord>> {
    SourceLines lines(source);
    std::vector<TemplateRecord> records;
    Walker walker(lines, records);
    if (Refusal refusal = walker.module(module)) return schema_error(std::move(*refusal));
    append_productions(module, lines, line_number, records);
    return records;
  });
}

Status check_no_authored_insert(const Node* module, std::string_view source) {
  // Most sources never mention the marker; they are spared the walk.
  if (source.find(names::kInsert) == std::string_view::npos) return {};
  const Node* found = search_preorder(module, [](const Node* n) { return is_marker_call(n, names::kInsert); });
  if (!found) return {};
  SourceLines lines(source);
  return schema_error("quorbin_insert(...) is internal emitted-source metadata and cannot be authored directly at line " +
                      std::to_string(lines.line_of(found)));
}

}  // namespace quorbin::engine
