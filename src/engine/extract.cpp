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
enum class Context : uint8_t { Statement, Expression, Argument, Starred, DoubleStar };

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

class Walker {
 public:
  Walker(const SourceLines& lines, std::vector<TemplateRecord>& records) : lines_(lines), records_(records) {}

  Refusal module(const Node* module) {
    collect_imports_and_exports(module);
    return statements(module, field::Module::body, "body");
  }

 private:
  const SourceLines& lines_;
  std::vector<TemplateRecord>& records_;
  PathBuilder path_;
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

  Refusal statements(const Node* owner, unsigned list_field, std::string_view name) {
    const List* list = owner->list(list_field);
    for (uint32_t i = 0; i < syntax::list_size(list); ++i) {
      PathStep step(path_, name, i);
      QUORBIN_TRY_REFUSAL(statement(syntax::list_node(list, i)));
    }
    return std::nullopt;
  }

  Refusal child(const Node* owner, unsigned slot, std::string_view name, Context context = Context::Expression) {
    const Node* node = owner->child(slot);
    if (!node) return std::nullopt;
    PathStep step(path_, name);
    return expression(node, context);
  }

  Refusal children(const Node* owner, unsigned list_field, std::string_view name) {
    const List* list = owner->list(list_field);
    for (uint32_t i = 0; i < syntax::list_size(list); ++i) {
      const Node* node = syntax::list_node(list, i);
      if (!node) continue;
      PathStep step(path_, name, i);
      QUORBIN_TRY_REFUSAL(expression(node, Context::Expression));
    }
    return std::nullopt;
  }

  Refusal statement(const Node* s) {
    switch (s->kind) {
      case Kind::FunctionDef:
      case Kind::AsyncFunctionDef:
        return function(s);
      case Kind::ClassDef:
        return class_def(s);
      case Kind::Return:
        return child(s, field::Return::value, "value");
      case Kind::Delete:
        return children(s, field::Delete::targets, "targets");
      case Kind::Assign:
        QUORBIN_TRY_REFUSAL(children(s, field::Assign::targets, "targets"));
        return child(s, field::Assign::value, "value");
      case Kind::AugAssign:
        QUORBIN_TRY_REFUSAL(child(s, field::AugAssign::target, "target"));
        return child(s, field::AugAssign::value, "value");
      case Kind::AnnAssign:
        QUORBIN_TRY_REFUSAL(child(s, field::AnnAssign::target, "target"));
        QUORBIN_TRY_REFUSAL(child(s, field::AnnAssign::annotation, "annotation"));
        return child(s, field::AnnAssign::value, "value");
      case Kind::For:
      case Kind::AsyncFor:
        QUORBIN_TRY_REFUSAL(child(s, field::For::target, "target"));
        QUORBIN_TRY_REFUSAL(child(s, field::For::iter, "iter"));
        QUORBIN_TRY_REFUSAL(statements(s, field::For::body, "body"));
        return statements(s, field::For::orelse, "orelse");
      case Kind::While:
        QUORBIN_TRY_REFUSAL(child(s, field::While::test, "test"));
        QUORBIN_TRY_REFUSAL(statements(s, field::While::body, "body"));
        return statements(s, field::While::orelse, "orelse");
      case Kind::If:
        return if_statement(s);
      case Kind::With:
        return with_statement(s);
      case Kind::AsyncWith:
        return statements(s, field::AsyncWith::body, "body");
      case Kind::Match: {
        const List* cases = s->list(field::Match::cases);
        for (uint32_t c = 0; c < syntax::list_size(cases); ++c) {
          PathStep step(path_, "cases", c);
          QUORBIN_TRY_REFUSAL(statements(syntax::list_node(cases, c), field::match_case::body, "body"));
        }
        return std::nullopt;
      }
      case Kind::Raise:
        QUORBIN_TRY_REFUSAL(child(s, field::Raise::exc, "exc"));
        return child(s, field::Raise::cause, "cause");
      case Kind::Try:
      case Kind::TryStar: {
        QUORBIN_TRY_REFUSAL(statements(s, field::Try::body, "body"));
        const List* handlers = s->list(field::Try::handlers);
        for (uint32_t h = 0; h < syntax::list_size(handlers); ++h) {
          PathStep step(path_, "handlers", h);
          const Node* handler = syntax::list_node(handlers, h);
          QUORBIN_TRY_REFUSAL(child(handler, field::ExceptHandler::type, "type"));
          QUORBIN_TRY_REFUSAL(statements(handler, field::ExceptHandler::body, "body"));
        }
        QUORBIN_TRY_REFUSAL(statements(s, field::Try::orelse, "orelse"));
        return statements(s, field::Try::finalbody, "finalbody");
      }
      case Kind::Assert:
        QUORBIN_TRY_REFUSAL(child(s, field::Assert::test, "test"));
        return child(s, field::Assert::msg, "msg");
      case Kind::Import:
        aliases(s->list(field::Import::names));
        return std::nullopt;
      case Kind::ImportFrom:
        demand_if_suffixed(ident(s, field::ImportFrom::module), lines_.statement_line(s));
        aliases(s->list(field::ImportFrom::names));
        return std::nullopt;
      case Kind::Expr:
        return child(s, field::Expr::value, "value", Context::Statement);
      default:  // type aliases, global, nonlocal, pass, break, continue
        return std::nullopt;
    }
  }

  void aliases(const List* names) {
    for (uint32_t i = 0; i < syntax::list_size(names); ++i) {
      const Node* alias = syntax::list_node(names, i);
      PathStep step(path_, "names", i);
      uint64_t line = lines_.line_of(alias);
      demand_if_suffixed(ident(alias, field::alias::name), line);
      demand_if_suffixed(ident(alias, field::alias::asname), line);
    }
  }

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
    const List* keywords = s->list(field::ClassDef::keywords);
    for (uint32_t i = 0; i < syntax::list_size(keywords); ++i) {
      const Node* kw = syntax::list_node(keywords, i);
      PathStep step(path_, "keywords", i);
      demand_if_suffixed(ident(kw, field::keyword::arg), lines_.line_of(kw));
      QUORBIN_TRY_REFUSAL(child(kw, field::keyword::value, "value"));
    }
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

  Refusal if_statement(const Node* s) {
    const Node* test = s->child(field::If::test);
    if (is_marker_call(test, names::kElif)) {
      std::string_view name;
      QUORBIN_TRY_REFUSAL(name_argument(test, names::kElif, name));
      PathStep step(path_, "test");
      add(RecordKind::HoleElif, name, lines_.line_of(test));
    } else {
      QUORBIN_TRY_REFUSAL(child(s, field::If::test, "test"));
    }
    QUORBIN_TRY_REFUSAL(statements(s, field::If::body, "body"));
    return statements(s, field::If::orelse, "orelse");
  }

  Refusal with_statement(const Node* s) {
    const List* items = s->list(field::With::items);
    if (syntax::list_size(items) != 0) {
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
  //
  // Expressions nest as deeply as the parser allows (a chain of `+` is as
  // deep as it is long), so they are walked from an explicit stack of tasks
  // rather than by recursion. Each node's tasks are queued in walk order and
  // then reversed onto the stack; path steps are tasks too, so the shared
  // path buffer reads as it would in a recursive walk.

  struct Task {
    enum class Op : uint8_t { Visit, Step, StepIndexed, Unstep, Parameter, KeywordDemand, RefExternal };
    Op op;
    Context context = Context::Expression;
    uint32_t index = 0;
    const char* field = nullptr;
    const Node* node = nullptr;
  };

  std::vector<Task> tasks_;
  std::vector<size_t> marks_;

  // Queues `node` under `field` (and `index`), when present.
  void queue_child(const char* field, const Node* node, Context context = Context::Expression) {
    if (!node) return;
    tasks_.push_back({Task::Op::Step, {}, 0, field, nullptr});
    tasks_.push_back({Task::Op::Visit, context, 0, nullptr, node});
    tasks_.push_back({Task::Op::Unstep});
  }
  void queue_child(const char* field, uint32_t index, const Node* node, Context context = Context::Expression) {
    if (!node) return;
    tasks_.push_back({Task::Op::StepIndexed, {}, index, field, nullptr});
    tasks_.push_back({Task::Op::Visit, context, 0, nullptr, node});
    tasks_.push_back({Task::Op::Unstep});
  }
  void queue_children(const char* field, const List* list) {
    for (uint32_t i = 0; i < syntax::list_size(list); ++i) queue_child(field, i, syntax::list_node(list, i));
  }
  void queue_child_of(const Node* owner, unsigned slot, const char* field) { queue_child(field, owner->child(slot)); }

  // The parameters of a function or lambda, each default right after its
  // parameter; the `*` and `**` parameters come last.
  void queue_parameters(const Node* arguments) {
    tasks_.push_back({Task::Op::Step, {}, 0, "args", nullptr});
    const List* posonly = arguments->list(field::arguments::posonlyargs);
    const List* args = arguments->list(field::arguments::args);
    const List* defaults = arguments->list(field::arguments::defaults);
    const uint32_t positional = syntax::list_size(posonly) + syntax::list_size(args);
    // Defaults belong to the last positional parameters.
    const uint32_t first_defaulted = positional - std::min(positional, syntax::list_size(defaults));
    uint32_t position = 0;
    for (auto [list, name] : {std::pair{posonly, "posonlyargs"}, std::pair{args, "args"}}) {
      for (uint32_t i = 0; i < syntax::list_size(list); ++i, ++position) {
        queue_parameter(name, i, syntax::list_node(list, i));
        if (position >= first_defaulted) {
          const uint32_t d = position - first_defaulted;
          queue_child("defaults", d, syntax::list_node(defaults, d));
        }
      }
    }
    const List* kwonly = arguments->list(field::arguments::kwonlyargs);
    const List* kw_defaults = arguments->list(field::arguments::kw_defaults);
    for (uint32_t i = 0; i < syntax::list_size(kwonly); ++i) {
      queue_parameter("kwonlyargs", i, syntax::list_node(kwonly, i));
      if (i < syntax::list_size(kw_defaults)) queue_child("kw_defaults", i, syntax::list_node(kw_defaults, i));
    }
    if (const Node* vararg = arguments->child(field::arguments::vararg)) queue_parameter("vararg", vararg);
    if (const Node* kwarg = arguments->child(field::arguments::kwarg)) queue_parameter("kwarg", kwarg);
    tasks_.push_back({Task::Op::Unstep});
  }
  void queue_parameter(const char* field, uint32_t index, const Node* arg) {
    tasks_.push_back({Task::Op::StepIndexed, {}, index, field, nullptr});
    queue_parameter_body(arg);
  }
  void queue_parameter(const char* field, const Node* arg) {
    tasks_.push_back({Task::Op::Step, {}, 0, field, nullptr});
    queue_parameter_body(arg);
  }
  void queue_parameter_body(const Node* arg) {
    tasks_.push_back({Task::Op::Parameter, {}, 0, nullptr, arg});
    queue_child_of(arg, field::arg::annotation, "annotation");
    tasks_.push_back({Task::Op::Unstep});
  }

  Refusal expression(const Node* e, Context context) {
    tasks_.push_back({Task::Op::Visit, context, 0, nullptr, e});
    return drain();
  }

  Refusal parameters(const Node* arguments) {
    queue_parameters(arguments);
    std::reverse(tasks_.begin(), tasks_.end());
    return drain();
  }

  Refusal drain() {
    while (!tasks_.empty()) {
      const Task task = tasks_.back();
      tasks_.pop_back();
      switch (task.op) {
        case Task::Op::Visit: {
          const size_t base = tasks_.size();
          if (Refusal refusal = visit(task.node, task.context)) {
            tasks_.clear();
            return refusal;
          }
          std::reverse(tasks_.begin() + static_cast<std::ptrdiff_t>(base), tasks_.end());
          break;
        }
        case Task::Op::Step:
          marks_.push_back(path_.push(task.field));
          break;
        case Task::Op::StepIndexed:
          marks_.push_back(path_.push(task.field, task.index));
          break;
        case Task::Op::Unstep:
          path_.pop(marks_.back());
          marks_.pop_back();
          break;
        case Task::Op::Parameter:
          parameter(task.node);
          break;
        case Task::Op::KeywordDemand:
          demand_if_suffixed(ident(task.node, field::keyword::arg), lines_.line_of(task.node));
          break;
        case Task::Op::RefExternal:
          if (Refusal refusal = ref_external(task.node)) {
            tasks_.clear();
            return refusal;
          }
          break;
      }
    }
    return std::nullopt;
  }

  void parameter(const Node* arg) {
    std::string_view name = ident(arg, field::arg::arg);
    uint64_t line = lines_.line_of(arg);
    if (std::optional<std::string_view> base = base_name(name, names::kParamHoleSuffix))
      add(RecordKind::HoleParams, *base, line);
    else
      demand_if_suffixed(name, line);
  }

  // What an expression makes at its own path, then its children queued in
  // walk order.
  Refusal visit(const Node* e, Context context) {
    switch (e->kind) {
      case Kind::Call:
        return call(e, context);
      case Kind::Name:
        demand_if_suffixed(ident(e, field::Name::id), lines_.line_of(e));
        break;
      case Kind::BoolOp:
        queue_children("values", e->list(field::BoolOp::values));
        break;
      case Kind::NamedExpr:
        queue_child_of(e, field::NamedExpr::target, "target");
        queue_child_of(e, field::NamedExpr::value, "value");
        break;
      case Kind::BinOp:
        queue_child_of(e, field::BinOp::left, "left");
        queue_child_of(e, field::BinOp::right, "right");
        break;
      case Kind::UnaryOp:
        queue_child_of(e, field::UnaryOp::operand, "operand");
        break;
      case Kind::Lambda:
        queue_parameters(e->child(field::Lambda::args));
        queue_child_of(e, field::Lambda::body, "body");
        break;
      case Kind::IfExp:
        queue_child_of(e, field::IfExp::test, "test");
        queue_child_of(e, field::IfExp::body, "body");
        queue_child_of(e, field::IfExp::orelse, "orelse");
        break;
      case Kind::Dict: {
        // Every present key, then every value; a value without a key (`{**m}`)
        // is spread like a `**` argument.
        const List* keys = e->list(field::Dict::keys);
        const List* values = e->list(field::Dict::values);
        queue_children("keys", keys);
        for (uint32_t i = 0; i < syntax::list_size(values); ++i) {
          const bool spread = i < syntax::list_size(keys) && !syntax::list_node(keys, i);
          queue_child("values", i, syntax::list_node(values, i), spread ? Context::DoubleStar : Context::Expression);
        }
        break;
      }
      case Kind::Set:
        queue_children("elts", e->list(field::Set::elts));
        break;
      case Kind::List:
        queue_children("elts", e->list(field::List::elts));
        break;
      case Kind::Tuple:
        queue_children("elts", e->list(field::Tuple::elts));
        break;
      case Kind::ListComp:
      case Kind::SetComp:
      case Kind::GeneratorExp:
        static_assert(+field::ListComp::elt == +field::SetComp::elt && +field::ListComp::elt == +field::GeneratorExp::elt &&
                      +field::ListComp::generators == +field::SetComp::generators &&
                      +field::ListComp::generators == +field::GeneratorExp::generators);
        queue_child_of(e, field::ListComp::elt, "elt");
        queue_generators(e->list(field::ListComp::generators));
        break;
      case Kind::DictComp:
        queue_child_of(e, field::DictComp::key, "key");
        queue_child_of(e, field::DictComp::value, "value");
        queue_generators(e->list(field::DictComp::generators));
        break;
      case Kind::Await:
        queue_child_of(e, field::Await::value, "value");
        break;
      case Kind::YieldFrom:
        queue_child_of(e, field::YieldFrom::value, "value");
        break;
      case Kind::Attribute:
        queue_child_of(e, field::Attribute::value, "value");
        break;
      case Kind::Yield:
        queue_child_of(e, field::Yield::value, "value");
        break;
      case Kind::Compare:
        queue_child_of(e, field::Compare::left, "left");
        queue_children("comparators", e->list(field::Compare::comparators));
        break;
      case Kind::FormattedValue:
        queue_child_of(e, field::FormattedValue::value, "value");
        queue_child_of(e, field::FormattedValue::format_spec, "format_spec");
        break;
      case Kind::JoinedStr:
        queue_children("values", e->list(field::JoinedStr::values));
        break;
      case Kind::Subscript:
        queue_child_of(e, field::Subscript::value, "value");
        queue_child_of(e, field::Subscript::slice, "slice");
        break;
      case Kind::Starred:
        queue_child("value", e->child(field::Starred::value), Context::Starred);
        break;
      case Kind::Slice:
        queue_child_of(e, field::Slice::lower, "lower");
        queue_child_of(e, field::Slice::upper, "upper");
        queue_child_of(e, field::Slice::step, "step");
        break;
      default:  // Constant
        break;
    }
    return std::nullopt;
  }

  void queue_generators(const List* comprehensions) {
    for (uint32_t g = 0; g < syntax::list_size(comprehensions); ++g) {
      const Node* comp = syntax::list_node(comprehensions, g);
      tasks_.push_back({Task::Op::StepIndexed, {}, g, "generators", nullptr});
      queue_child_of(comp, field::comprehension::target, "target");
      queue_child_of(comp, field::comprehension::iter, "iter");
      queue_children("ifs", comp->list(field::comprehension::ifs));
      tasks_.push_back({Task::Op::Unstep});
    }
  }

  // A call: its marker first, then its callee, its arguments and keywords.
  Refusal call(const Node* e, Context context) {
    if (std::optional<std::string_view> callee = bare_callee(e); callee && callee->starts_with(names::kMarkerPrefix))
      QUORBIN_TRY_REFUSAL(marker(e, *callee, context));
    const Node* func = e->child(field::Call::func);
    queue_child("func", func);
    if (func->kind == Kind::Attribute && ident(func, field::Attribute::attr) == names::kRef)
      tasks_.push_back({Task::Op::RefExternal, {}, 0, nullptr, e});
    const List* args = e->list(field::Call::args);
    for (uint32_t i = 0; i < syntax::list_size(args); ++i) {
      const Node* arg = syntax::list_node(args, i);
      queue_child("args", i, arg, arg->kind == Kind::Starred ? Context::Starred : Context::Argument);
    }
    const List* keywords = e->list(field::Call::keywords);
    for (uint32_t i = 0; i < syntax::list_size(keywords); ++i) {
      const Node* kw = syntax::list_node(keywords, i);
      const bool spread = !kw->str(field::keyword::arg);
      tasks_.push_back({Task::Op::StepIndexed, {}, i, "keywords", nullptr});
      if (!spread) tasks_.push_back({Task::Op::KeywordDemand, {}, 0, nullptr, kw});
      queue_child("value", kw->child(field::keyword::value), spread ? Context::DoubleStar : Context::Argument);
      tasks_.push_back({Task::Op::Unstep});
    }
    return std::nullopt;
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
  if (Refusal refusal = check_marker_placement(parsed.tree.module, lines)) return schema_error(std::move(*refusal));
  return std::move(parsed.tree);
}

Result<std::vector<TemplateRecord>> extract_records(const Node* module, std::string_view source,
                                                    uint32_t line_number) {
  SourceLines lines(source);
  std::vector<TemplateRecord> records;
  Walker walker(lines, records);
  if (Refusal refusal = walker.module(module)) return schema_error(std::move(*refusal));
  append_productions(module, lines, line_number, records);
  return records;
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
