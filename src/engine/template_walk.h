// The traversal that the template walks share: which fields of a statement or
// an expression are visited, in which order, and under which path steps. The
// extraction walk (extract.cpp) and the package marker and site walks
// (package_extract.cpp) derive from it and say, through hooks, what a node
// makes and where their walks part ways, so that the child order of the kinds
// they treat alike is written once.
//
// Statements are walked recursively: they nest only as deep as indentation
// allows. Expressions nest as deeply as the parser allows (a chain of `+` or
// of calls is as deep as it is long), so they are walked from an explicit
// stack of tasks. A node's tasks are queued in walk order and then reversed
// onto the stack; path steps are tasks too, so the shared path buffer reads as
// it would in a recursive walk.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "engine/ast_path.h"
#include "engine/error.h"
#include "engine/fault.h"
#include "engine/markers.h"
#include "syntax/tree.h"

namespace quorbin::engine {

// Where an expression stands. It travels with the expression's visit task and
// is reset to `Expression` for grandchildren; a walk that does not care about
// it ignores it.
enum class WalkContext : uint8_t {
  Statement,   // the value of an expression statement
  Expression,  // anywhere else not listed below
  Argument,    // a positional argument or a named keyword value of a call
  Starred,     // a `*` argument of a call, or the value of any starred expression
  DoubleStar,  // a `**` keyword of a call, or a dictionary value without key
};

// The order of a parameter list. Defaults always follow their parameter and
// `**` always comes last; `*` stands either where it is written (before the
// keyword-only parameters) or after them.
enum class ParameterOrder : uint8_t { Source, StarredLast };

// Whether a walk stops: a refusal was returned, or a failed status.
inline bool walk_stopped(const Refusal& outcome) { return outcome.has_value(); }
inline bool walk_stopped(const Status& outcome) { return !outcome.ok(); }

#define QUORBIN_WALK_TRY(expr)                                                 \
  do {                                                                         \
    if (auto o_ = (expr); ::quorbin::engine::walk_stopped(o_)) return o_;      \
  } while (0)

// `Derived` supplies the hooks below that it needs (the ones without a
// default must be supplied); `Outcome` is what its steps return, `Refusal` or
// `Status`, and a stopping outcome ends the walk.
//
// Hooks, called on the derived walk with the path at the node concerned:
//   Outcome function(s), class_def(s), with_statement(s)  (With, AsyncWith)
//   bool enters(s)                 a For/AsyncFor, With/AsyncWith, Match or
//                                  Try/TryStar is walked at all (default: yes)
//   Outcome statement(s)           one statement of a list (default: its walk)
//   Outcome for_statement(s)       before the children of a loop
//   Outcome if_test(s)             the test of an `if` (default: its walk)
//   Outcome expression_statement(s) before the value of an expression statement
//   void import_from(s)            before the names of a `from` import
//   void alias(a)                  at names[i] of an import
//   void name(e)                   a Name expression
//   void parameter(arg)            a parameter, before its annotation
//   void keyword_name(kw)          a named keyword, before its value
//   Outcome at_call(e, context)    a call, before any of its children
//   void after_callee(e)           may queue tasks between func and args
//   void after_keyword(e, kw)      may queue tasks after each keyword
//   void attribute_value(e)        may queue tasks between the `value` step of
//                                  an attribute and the visit of its value
//   Outcome run_hook(code, node, other)  a task queued with queue_hook
//   static constexpr ParameterOrder kParameterOrder
template <class Derived, class Outcome>
class TemplateWalk {
 protected:
  PathBuilder path_;

  // ---- default hooks

  bool enters(const syntax::Node*) { return true; }
  Outcome statement(const syntax::Node* s) { return walk_statement(s); }
  Outcome for_statement(const syntax::Node*) { return {}; }
  Outcome if_test(const syntax::Node* s) { return child(s, syntax::field::If::test, "test"); }
  Outcome expression_statement(const syntax::Node*) { return {}; }
  void import_from(const syntax::Node*) {}
  void alias(const syntax::Node*) {}
  void name(const syntax::Node*) {}
  void parameter(const syntax::Node*) {}
  void keyword_name(const syntax::Node*) {}
  Outcome at_call(const syntax::Node*, WalkContext) { return {}; }
  void after_callee(const syntax::Node*) {}
  void after_keyword(const syntax::Node*, const syntax::Node*) {}
  void attribute_value(const syntax::Node*) {}
  Outcome run_hook(uint8_t, const syntax::Node*, const syntax::Node*) { return {}; }

  // ---- statements

  // Every statement of a list field, each under `name[i]`.
  Outcome statements(const syntax::Node* owner, unsigned list_field, std::string_view name) {
    const syntax::List* list = owner->list(list_field);
    for (uint32_t i = 0; i < syntax::list_size(list); ++i) {
      PathStep step(path_, name, i);
      QUORBIN_WALK_TRY(d().statement(syntax::list_node(list, i)));
    }
    return {};
  }

  // The expression of a node field, under `name`, when present.
  Outcome child(const syntax::Node* owner, unsigned slot, std::string_view name,
                WalkContext context = WalkContext::Expression) {
    const syntax::Node* node = owner->child(slot);
    if (!node) return {};
    PathStep step(path_, name);
    return expression(node, context);
  }

  // The expressions of a list field, each under `name[i]`; null entries (an
  // absent dictionary key) are passed over.
  Outcome children(const syntax::Node* owner, unsigned list_field, std::string_view name) {
    const syntax::List* list = owner->list(list_field);
    for (uint32_t i = 0; i < syntax::list_size(list); ++i) {
      const syntax::Node* node = syntax::list_node(list, i);
      if (!node) continue;
      PathStep step(path_, name, i);
      QUORBIN_WALK_TRY(expression(node, WalkContext::Expression));
    }
    return {};
  }

  // The keywords of a class definition: the name, then the value, which is
  // an expression even when it is spread (`class C(**m)`).
  Outcome class_keywords(const syntax::Node* s) {
    const syntax::List* keywords = s->list(syntax::field::ClassDef::keywords);
    for (uint32_t i = 0; i < syntax::list_size(keywords); ++i) {
      const syntax::Node* kw = syntax::list_node(keywords, i);
      PathStep step(path_, "keywords", i);
      if (kw->str(syntax::field::keyword::arg)) d().keyword_name(kw);
      QUORBIN_WALK_TRY(child(kw, syntax::field::keyword::value, "value"));
    }
    return {};
  }

  // The child order of every statement kind; definitions and `with` blocks
  // are the derived walk's own.
  Outcome walk_statement(const syntax::Node* s) {
    using syntax::Kind;
    namespace field = syntax::field;
    switch (s->kind) {
      case Kind::FunctionDef:
      case Kind::AsyncFunctionDef:
        return d().function(s);
      case Kind::ClassDef:
        return d().class_def(s);
      case Kind::Return:
        return child(s, field::Return::value, "value");
      case Kind::Delete:
        return children(s, field::Delete::targets, "targets");
      case Kind::Assign:
        QUORBIN_WALK_TRY(children(s, field::Assign::targets, "targets"));
        return child(s, field::Assign::value, "value");
      case Kind::AugAssign:
        QUORBIN_WALK_TRY(child(s, field::AugAssign::target, "target"));
        return child(s, field::AugAssign::value, "value");
      case Kind::AnnAssign:
        QUORBIN_WALK_TRY(child(s, field::AnnAssign::target, "target"));
        QUORBIN_WALK_TRY(child(s, field::AnnAssign::annotation, "annotation"));
        return child(s, field::AnnAssign::value, "value");
      case Kind::For:
      case Kind::AsyncFor:
        if (!d().enters(s)) return {};
        QUORBIN_WALK_TRY(d().for_statement(s));
        QUORBIN_WALK_TRY(child(s, field::For::target, "target"));
        QUORBIN_WALK_TRY(child(s, field::For::iter, "iter"));
        QUORBIN_WALK_TRY(statements(s, field::For::body, "body"));
        return statements(s, field::For::orelse, "orelse");
      case Kind::While:
        QUORBIN_WALK_TRY(child(s, field::While::test, "test"));
        QUORBIN_WALK_TRY(statements(s, field::While::body, "body"));
        return statements(s, field::While::orelse, "orelse");
      case Kind::If:
        QUORBIN_WALK_TRY(d().if_test(s));
        QUORBIN_WALK_TRY(statements(s, field::If::body, "body"));
        return statements(s, field::If::orelse, "orelse");
      case Kind::With:
      case Kind::AsyncWith:
        if (!d().enters(s)) return {};
        return d().with_statement(s);
      case Kind::Match: {
        // Only the bodies of the cases: subject, patterns and guards make
        // nothing.
        if (!d().enters(s)) return {};
        const syntax::List* cases = s->list(field::Match::cases);
        for (uint32_t c = 0; c < syntax::list_size(cases); ++c) {
          PathStep step(path_, "cases", c);
          QUORBIN_WALK_TRY(statements(syntax::list_node(cases, c), field::match_case::body, "body"));
        }
        return {};
      }
      case Kind::Raise:
        QUORBIN_WALK_TRY(child(s, field::Raise::exc, "exc"));
        return child(s, field::Raise::cause, "cause");
      case Kind::Try:
      case Kind::TryStar: {
        if (!d().enters(s)) return {};
        QUORBIN_WALK_TRY(statements(s, field::Try::body, "body"));
        const syntax::List* handlers = s->list(field::Try::handlers);
        for (uint32_t h = 0; h < syntax::list_size(handlers); ++h) {
          PathStep step(path_, "handlers", h);
          const syntax::Node* handler = syntax::list_node(handlers, h);
          QUORBIN_WALK_TRY(child(handler, field::ExceptHandler::type, "type"));
          QUORBIN_WALK_TRY(statements(handler, field::ExceptHandler::body, "body"));
        }
        QUORBIN_WALK_TRY(statements(s, field::Try::orelse, "orelse"));
        return statements(s, field::Try::finalbody, "finalbody");
      }
      case Kind::Assert:
        QUORBIN_WALK_TRY(child(s, field::Assert::test, "test"));
        return child(s, field::Assert::msg, "msg");
      case Kind::Import:
        aliases(s->list(field::Import::names));
        return {};
      case Kind::ImportFrom:
        d().import_from(s);
        aliases(s->list(field::ImportFrom::names));
        return {};
      case Kind::Expr:
        QUORBIN_WALK_TRY(d().expression_statement(s));
        return child(s, field::Expr::value, "value", WalkContext::Statement);
      default:  // type aliases, global, nonlocal, pass, break, continue
        return {};
    }
  }

  // ---- expressions and parameters

  // `node` and everything below it, standing in `context`.
  Outcome expression(const syntax::Node* node, WalkContext context) {
    QUORBIN_CHECK(tasks_.empty() && marks_.empty());
    tasks_.push_back({Task::Op::Visit, context, 0, 0, {}, node, nullptr});
    return drain();
  }

  // The parameters of a definition, under `args`.
  Outcome parameters(const syntax::Node* arguments) {
    QUORBIN_CHECK(tasks_.empty() && marks_.empty());
    queue_parameters(arguments);
    std::reverse(tasks_.begin(), tasks_.end());
    return drain();
  }

  // Tasks a hook may queue while a node's tasks are gathered.
  void queue_step(std::string_view field) { tasks_.push_back({Task::Op::Step, {}, 0, 0, field, nullptr, nullptr}); }
  void queue_step(std::string_view field, uint32_t index) {
    tasks_.push_back({Task::Op::StepIndexed, {}, 0, index, field, nullptr, nullptr});
  }
  void queue_unstep() { tasks_.push_back({Task::Op::Unstep, {}, 0, 0, {}, nullptr, nullptr}); }
  // Runs `run_hook(code, node, other)` at the path the walk has reached then.
  void queue_hook(uint8_t code, const syntax::Node* node, const syntax::Node* other = nullptr) {
    tasks_.push_back({Task::Op::Hook, {}, code, 0, {}, node, other});
  }
  void queue_visit(const syntax::Node* node, WalkContext context = WalkContext::Expression) {
    tasks_.push_back({Task::Op::Visit, context, 0, 0, {}, node, nullptr});
  }

 private:
  struct Task {
    enum class Op : uint8_t { Visit, Step, StepIndexed, Unstep, Parameter, KeywordName, Hook };
    Op op;
    WalkContext context = WalkContext::Expression;  // Visit
    uint8_t code = 0;                               // Hook
    uint32_t index = 0;                             // StepIndexed
    std::string_view field;                         // Step, StepIndexed
    const syntax::Node* node = nullptr;             // Visit, Parameter, KeywordName, Hook
    const syntax::Node* other = nullptr;            // Hook
  };

  std::vector<Task> tasks_;
  std::vector<size_t> marks_;

  Derived& d() { return static_cast<Derived&>(*this); }

  void aliases(const syntax::List* names) {
    for (uint32_t i = 0; i < syntax::list_size(names); ++i) {
      PathStep step(path_, "names", i);
      d().alias(syntax::list_node(names, i));
    }
  }

  // Runs the queued tasks and everything they lead to. Expressions never
  // contain statements, so drains never nest. After a stop the path is put
  // back as the caller left it.
  Outcome drain() {
    while (!tasks_.empty()) {
      const Task task = tasks_.back();
      tasks_.pop_back();
      Outcome outcome{};
      switch (task.op) {
        case Task::Op::Visit: {
          const size_t base = tasks_.size();
          outcome = visit(task.node, task.context);
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
          d().parameter(task.node);
          break;
        case Task::Op::KeywordName:
          d().keyword_name(task.node);
          break;
        case Task::Op::Hook:
          outcome = d().run_hook(task.code, task.node, task.other);
          break;
      }
      if (walk_stopped(outcome)) {
        if (!marks_.empty()) path_.pop(marks_.front());
        tasks_.clear();
        marks_.clear();
        return outcome;
      }
    }
    return {};
  }

  void queue_child(std::string_view field, const syntax::Node* node, WalkContext context = WalkContext::Expression) {
    if (!node) return;
    queue_step(field);
    queue_visit(node, context);
    queue_unstep();
  }
  void queue_child(std::string_view field, uint32_t index, const syntax::Node* node,
                   WalkContext context = WalkContext::Expression) {
    if (!node) return;
    queue_step(field, index);
    queue_visit(node, context);
    queue_unstep();
  }
  void queue_children(std::string_view field, const syntax::List* list) {
    for (uint32_t i = 0; i < syntax::list_size(list); ++i) queue_child(field, i, syntax::list_node(list, i));
  }
  void queue_child_of(const syntax::Node* owner, unsigned slot, std::string_view field) {
    queue_child(field, owner->child(slot));
  }

  // The parameters under `args`, each default right after its parameter.
  void queue_parameters(const syntax::Node* arguments) {
    namespace field = syntax::field;
    constexpr bool starred_last = Derived::kParameterOrder == ParameterOrder::StarredLast;
    queue_step("args");
    const syntax::List* posonly = arguments->list(field::arguments::posonlyargs);
    const syntax::List* args = arguments->list(field::arguments::args);
    const syntax::List* defaults = arguments->list(field::arguments::defaults);
    const uint32_t positional = syntax::list_size(posonly) + syntax::list_size(args);
    // Defaults belong to the last positional parameters.
    const uint32_t first_defaulted = positional - std::min(positional, syntax::list_size(defaults));
    uint32_t position = 0;
    for (auto [list, name] : {std::pair{posonly, "posonlyargs"}, std::pair{args, "args"}}) {
      for (uint32_t i = 0; i < syntax::list_size(list); ++i, ++position) {
        queue_step(name, i);
        queue_parameter(syntax::list_node(list, i));
        if (position >= first_defaulted) {
          const uint32_t default_index = position - first_defaulted;
          queue_child("defaults", default_index, syntax::list_node(defaults, default_index));
        }
      }
    }
    const syntax::Node* vararg = arguments->child(field::arguments::vararg);
    if (vararg && !starred_last) {
      queue_step("vararg");
      queue_parameter(vararg);
    }
    const syntax::List* kwonly = arguments->list(field::arguments::kwonlyargs);
    const syntax::List* kw_defaults = arguments->list(field::arguments::kw_defaults);
    for (uint32_t i = 0; i < syntax::list_size(kwonly); ++i) {
      queue_step("kwonlyargs", i);
      queue_parameter(syntax::list_node(kwonly, i));
      if (i < syntax::list_size(kw_defaults)) queue_child("kw_defaults", i, syntax::list_node(kw_defaults, i));
    }
    if (vararg && starred_last) {
      queue_step("vararg");
      queue_parameter(vararg);
    }
    if (const syntax::Node* kwarg = arguments->child(field::arguments::kwarg)) {
      queue_step("kwarg");
      queue_parameter(kwarg);
    }
    queue_unstep();
  }
  // One parameter inside the step already queued for it; closes that step.
  void queue_parameter(const syntax::Node* arg) {
    tasks_.push_back({Task::Op::Parameter, {}, 0, 0, {}, arg, nullptr});
    queue_child_of(arg, syntax::field::arg::annotation, "annotation");
    queue_unstep();
  }

  // What an expression makes at its own path, then its children queued in
  // walk order.
  Outcome visit(const syntax::Node* e, WalkContext context) {
    using syntax::Kind;
    namespace field = syntax::field;
    static_assert(+field::ListComp::elt == +field::SetComp::elt && +field::ListComp::elt == +field::GeneratorExp::elt &&
                  +field::ListComp::generators == +field::SetComp::generators &&
                  +field::ListComp::generators == +field::GeneratorExp::generators);
    switch (e->kind) {
      case Kind::Call:
        return call(e, context);
      case Kind::Name:
        d().name(e);
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
        const syntax::List* keys = e->list(field::Dict::keys);
        const syntax::List* values = e->list(field::Dict::values);
        queue_children("keys", keys);
        for (uint32_t i = 0; i < syntax::list_size(values); ++i) {
          const bool spread = i < syntax::list_size(keys) && !syntax::list_node(keys, i);
          queue_child("values", i, syntax::list_node(values, i),
                      spread ? WalkContext::DoubleStar : WalkContext::Expression);
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
      case Kind::Yield:
        queue_child_of(e, field::Yield::value, "value");
        break;
      case Kind::YieldFrom:
        queue_child_of(e, field::YieldFrom::value, "value");
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
      case Kind::Attribute:
        queue_step("value");
        d().attribute_value(e);
        queue_visit(e->child(field::Attribute::value));
        queue_unstep();
        break;
      case Kind::Subscript:
        queue_child_of(e, field::Subscript::value, "value");
        queue_child_of(e, field::Subscript::slice, "slice");
        break;
      case Kind::Starred:
        queue_child("value", e->child(field::Starred::value), WalkContext::Starred);
        break;
      case Kind::Slice:
        queue_child_of(e, field::Slice::lower, "lower");
        queue_child_of(e, field::Slice::upper, "upper");
        queue_child_of(e, field::Slice::step, "step");
        break;
      default:  // Constant
        break;
    }
    return {};
  }

  void queue_generators(const syntax::List* comprehensions) {
    namespace field = syntax::field;
    for (uint32_t g = 0; g < syntax::list_size(comprehensions); ++g) {
      const syntax::Node* comp = syntax::list_node(comprehensions, g);
      queue_step("generators", g);
      queue_child_of(comp, field::comprehension::target, "target");
      queue_child_of(comp, field::comprehension::iter, "iter");
      queue_children("ifs", comp->list(field::comprehension::ifs));
      queue_unstep();
    }
  }

  // A call: what it makes itself, then its callee, its arguments and its
  // keywords.
  Outcome call(const syntax::Node* e, WalkContext context) {
    namespace field = syntax::field;
    QUORBIN_WALK_TRY(d().at_call(e, context));
    queue_child("func", e->child(field::Call::func));
    d().after_callee(e);
    const syntax::List* args = e->list(field::Call::args);
    for (uint32_t i = 0; i < syntax::list_size(args); ++i) {
      const syntax::Node* arg = syntax::list_node(args, i);
      queue_child("args", i, arg, arg->kind == syntax::Kind::Starred ? WalkContext::Starred : WalkContext::Argument);
    }
    const syntax::List* keywords = e->list(field::Call::keywords);
    for (uint32_t i = 0; i < syntax::list_size(keywords); ++i) {
      const syntax::Node* kw = syntax::list_node(keywords, i);
      const bool spread = !kw->str(field::keyword::arg);
      queue_step("keywords", i);
      if (!spread) tasks_.push_back({Task::Op::KeywordName, {}, 0, 0, {}, kw, nullptr});
      queue_child("value", kw->child(field::keyword::value), spread ? WalkContext::DoubleStar : WalkContext::Argument);
      queue_unstep();
      d().after_keyword(e, kw);
    }
    return {};
  }
};

#undef QUORBIN_WALK_TRY

}  // namespace quorbin::engine
