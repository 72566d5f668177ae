// Statements. A compound statement ends where the last statement of its last
// block ends; NEWLINE, INDENT and DEDENT never contribute to a range.
#include "syntax/parser_internal.h"

namespace quorbin::syntax {

namespace {

bool augmented_operator(Tok k, Operator& op) {
  switch (k) {
    case Tok::PlusEqual: op = Operator::Add; return true;
    case Tok::MinEqual: op = Operator::Sub; return true;
    case Tok::StarEqual: op = Operator::Mult; return true;
    case Tok::AtEqual: op = Operator::MatMult; return true;
    case Tok::SlashEqual: op = Operator::Div; return true;
    case Tok::PercentEqual: op = Operator::Mod; return true;
    case Tok::DoubleStarEqual: op = Operator::Pow; return true;
    case Tok::LeftShiftEqual: op = Operator::LShift; return true;
    case Tok::RightShiftEqual: op = Operator::RShift; return true;
    case Tok::VBarEqual: op = Operator::BitOr; return true;
    case Tok::CircumflexEqual: op = Operator::BitXor; return true;
    case Tok::AmperEqual: op = Operator::BitAnd; return true;
    case Tok::DoubleSlashEqual: op = Operator::FloorDiv; return true;
    default: return false;
  }
}


}  // namespace

void Parser::statement(List*& body) {
  switch (kind()) {
    case Tok::KwDef:
    case Tok::KwAsync:
    case Tok::At:
    case Tok::KwClass:
    case Tok::KwIf:
    case Tok::KwWhile:
    case Tok::KwFor:
    case Tok::KwTry:
    case Tok::KwWith: {
      Node* s = compound_stmt();
      if (s) arena_.push_node(body, s);
      return;
    }
    case Tok::Indent: fail("unexpected indent", cur().start); return;
    case Tok::Name:
      if (soft(cur()) == Soft::Match) {
        Node* m = match_stmt();
        if (failed_) return;
        if (m) {
          arena_.push_node(body, m);
          return;
        }
      }
      break;
    default: break;
  }
  simple_stmts(body);
}

bool Parser::simple_stmts(List*& body) {
  for (;;) {
    Node* s = simple_stmt();
    if (!s) return false;
    arena_.push_node(body, s);
    if (accept(Tok::Semi)) {
      if (at(Tok::Newline)) break;
      continue;
    }
    break;
  }
  if (at(Tok::EndMarker)) return true;
  if (!expect(Tok::Newline)) return false;
  return true;
}

Node* Parser::simple_stmt() {
  const Token& t = cur();
  const uint32_t start = t.start;
  auto simple = [&](Kind k) {
    advance();
    return make(k, start, t.end);
  };
  switch (t.kind) {
    case Tok::KwPass: return simple(Kind::Pass);
    case Tok::KwBreak: return simple(Kind::Break);
    case Tok::KwContinue: return simple(Kind::Continue);
    case Tok::KwReturn: {
      advance();
      Node* v = nullptr;
      if (can_start_expression(kind()) || at(Tok::Star)) {
        v = star_expressions();
        if (!v) return nullptr;
      }
      Node* r = make(Kind::Return, start, prev().end);
      r->set_child(field::Return::value, v);
      return r;
    }
    case Tok::KwRaise: {
      advance();
      Node* r = make(Kind::Raise, start, t.end);
      if (can_start_expression(kind())) {
        Node* exc = expression();
        if (!exc) return nullptr;
        r->set_child(field::Raise::exc, exc);
        r->end = prev().end;
        if (accept(Tok::KwFrom)) {
          Node* cause = expression();
          if (!cause) return nullptr;
          r->set_child(field::Raise::cause, cause);
          r->end = prev().end;
        }
      }
      return r;
    }
    case Tok::KwGlobal:
    case Tok::KwNonlocal: {
      advance();
      List* names = nullptr;
      do {
        if (!at(Tok::Name)) return fail_here("name");
        arena_.push_str(names, ident(cur()));
        advance();
      } while (accept(Tok::Comma));
      Node* g = make(t.kind == Tok::KwGlobal ? Kind::Global : Kind::Nonlocal, start, prev().end);
      g->set_list(0, names);
      return g;
    }
    case Tok::KwDel: {
      advance();
      List* targets = nullptr;
      do {
        if (!can_start_expression(kind())) break;
        Node* t = primary();
        if (!t || !set_context(t, ExprContext::Del)) return nullptr;
        arena_.push_node(targets, t);
      } while (accept(Tok::Comma));
      if (!targets) return fail_here("target after 'del'");
      if (!at(Tok::Semi) && !at(Tok::Newline) && !at(Tok::EndMarker))
        return fail_here("';' or end of line after del targets");
      Node* d = make(Kind::Delete, start, prev().end);
      d->set_list(field::Delete::targets, targets);
      return d;
    }
    case Tok::KwAssert: {
      advance();
      Node* test = expression();
      if (!test) return nullptr;
      Node* a = make(Kind::Assert, start, prev().end);
      a->set_child(field::Assert::test, test);
      if (accept(Tok::Comma)) {
        Node* msg = expression();
        if (!msg) return nullptr;
        a->set_child(field::Assert::msg, msg);
        a->end = prev().end;
      }
      return a;
    }
    case Tok::KwImport: return import_stmt();
    case Tok::KwFrom: return from_stmt();
    case Tok::Name:
      if (soft(t) == Soft::Type && peek().kind == Tok::Name) return type_alias();
      break;
    default: break;
  }
  return assignment_or_expr();
}

Node* Parser::assignment_or_expr() {
  const Token& first_tok = cur();
  const uint32_t start = first_tok.start;
  Node* first = at(Tok::KwYield) ? yield_expr() : star_expressions();
  if (!first) return nullptr;
  Operator op;
  if (at(Tok::Colon)) {
    // Annotated assignment: one target; a bare name is "simple".
    switch (first->kind) {
      case Kind::Name:
      case Kind::Attribute:
      case Kind::Subscript: break;
      case Kind::Tuple: return fail_at(first, "only single target (not tuple) can be annotated");
      case Kind::List: return fail_at(first, "only single target (not list) can be annotated");
      default: return fail_at(first, std::string("illegal target for annotation: ") + expr_name(first));
    }
    set_context(first, ExprContext::Store);
    advance();
    Node* annotation = expression();
    if (!annotation) return nullptr;
    Node* a = make(Kind::AnnAssign, start, prev().end);
    a->set_child(field::AnnAssign::target, first);
    a->set_child(field::AnnAssign::annotation, annotation);
    a->set_int(field::AnnAssign::simple, first->kind == Kind::Name && first->start == start ? 1 : 0);
    if (accept(Tok::Equal)) {
      Node* v = at(Tok::KwYield) ? yield_expr() : star_expressions();
      if (!v) return nullptr;
      a->set_child(field::AnnAssign::value, v);
      a->end = prev().end;
    }
    return a;
  }
  if (augmented_operator(kind(), op)) {
    if (first->kind != Kind::Name && first->kind != Kind::Attribute && first->kind != Kind::Subscript)
      return fail_at(first, std::string("'") + expr_name(first) + "' is an illegal expression for augmented assignment");
    set_context(first, ExprContext::Store);
    advance();
    Node* v = at(Tok::KwYield) ? yield_expr() : star_expressions();
    if (!v) return nullptr;
    Node* a = make(Kind::AugAssign, start, prev().end);
    a->set_child(field::AugAssign::target, first);
    a->set_int(field::AugAssign::op, static_cast<int64_t>(op));
    a->set_child(field::AugAssign::value, v);
    return a;
  }
  if (at(Tok::Equal)) {
    List* targets = nullptr;
    Node* value = first;
    while (accept(Tok::Equal)) {
      if (!set_context(value, ExprContext::Store)) return nullptr;
      arena_.push_node(targets, value);
      value = at(Tok::KwYield) ? yield_expr() : star_expressions();
      if (!value) return nullptr;
    }
    Node* a = make(Kind::Assign, start, prev().end);
    a->set_list(field::Assign::targets, targets);
    a->set_child(field::Assign::value, value);
    return a;
  }
  Node* e = make(Kind::Expr, start, prev().end);
  e->set_child(field::Expr::value, first);
  return e;
}

Node* Parser::type_alias() {
  const uint32_t start = cur().start;
  advance();
  Node* n = name(cur(), ExprContext::Store);
  advance();
  List* params = nullptr;
  if (at(Tok::LSqb)) {
    params = type_params();
    if (failed_) return nullptr;
  }
  if (!expect(Tok::Equal)) return nullptr;
  Node* v = expression();
  if (!v) return nullptr;
  Node* t = make(Kind::TypeAlias, start, prev().end);
  t->set_child(field::TypeAlias::name, n);
  t->set_list(field::TypeAlias::type_params, params);
  t->set_child(field::TypeAlias::value, v);
  return t;
}

List* Parser::type_params() {
  advance();  // '['
  List* params = nullptr;
  while (!at(Tok::RSqb)) {
    const uint32_t start = cur().start;
    Node* p;
    if (accept(Tok::Star) || accept(Tok::DoubleStar)) {
      const bool tuple = prev().kind == Tok::Star;
      if (!at(Tok::Name)) return fail_here("type parameter name");
      p = make(tuple ? Kind::TypeVarTuple : Kind::ParamSpec, start, cur().end);
      p->set_str(0, ident(cur()));
      advance();
      if (at(Tok::Colon))
        return fail(tuple ? "cannot use bound with TypeVarTuple" : "cannot use bound with ParamSpec", cur().start);
    } else {
      if (!at(Tok::Name)) return fail_here("type parameter name");
      p = make(Kind::TypeVar, start, cur().end);
      p->set_str(field::TypeVar::name, ident(cur()));
      advance();
      if (accept(Tok::Colon)) {
        Node* bound = expression();
        if (!bound) return nullptr;
        p->set_child(field::TypeVar::bound, bound);
        p->end = prev().end;
      }
    }
    arena_.push_node(params, p);
    if (!accept(Tok::Comma)) break;
  }
  if (!params) return fail_here("type parameter");
  if (!expect(Tok::RSqb)) return nullptr;
  return params;
}

// ---------------------------------------------------------------- imports

namespace {

struct Dotted {
  uint32_t start, end;
  std::string text;
};

}  // namespace

Node* Parser::import_stmt() {
  const uint32_t start = cur().start;
  advance();
  List* names = nullptr;
  std::string dotted;
  do {
    if (!at(Tok::Name)) return fail_here("module name");
    const uint32_t a_start = cur().start;
    dotted.assign(ident(cur())->view());
    advance();
    while (accept(Tok::Dot)) {
      if (!at(Tok::Name)) return fail_here("name after '.'");
      dotted += '.';
      dotted += ident(cur())->view();
      advance();
    }
    Node* a = make(Kind::alias, a_start, prev().end);
    a->set_str(field::alias::name, arena_.str(dotted));
    if (accept(Tok::KwAs)) {
      if (!at(Tok::Name)) return fail_here("name after 'as'");
      a->set_str(field::alias::asname, ident(cur()));
      advance();
      a->end = prev().end;
    }
    arena_.push_node(names, a);
  } while (accept(Tok::Comma));
  Node* i = make(Kind::Import, start, prev().end);
  i->set_list(field::Import::names, names);
  return i;
}

Node* Parser::from_stmt() {
  const uint32_t start = cur().start;
  advance();
  int64_t level = 0;
  for (;;) {
    if (accept(Tok::Dot)) level += 1;
    else if (accept(Tok::Ellipsis)) level += 3;
    else break;
  }
  const Str* module = nullptr;
  if (at(Tok::Name)) {
    std::string dotted(ident(cur())->view());
    advance();
    while (accept(Tok::Dot)) {
      if (!at(Tok::Name)) return fail_here("name after '.'");
      dotted += '.';
      dotted += ident(cur())->view();
      advance();
    }
    module = arena_.str(dotted);
  } else if (level == 0) {
    return fail_here("module name");
  }
  if (!expect(Tok::KwImport)) return nullptr;
  List* names = nullptr;
  if (at(Tok::Star)) {
    Node* a = make(Kind::alias, cur().start, cur().end);
    a->set_str(field::alias::name, arena_.str("*"));
    arena_.push_node(names, a);
    advance();
  } else {
    const bool paren = accept(Tok::LPar);
    for (;;) {
      if (!at(Tok::Name)) return fail_here("name to import");
      Node* a = make(Kind::alias, cur().start, cur().end);
      a->set_str(field::alias::name, ident(cur()));
      advance();
      if (accept(Tok::KwAs)) {
        if (!at(Tok::Name)) return fail_here("name after 'as'");
        a->set_str(field::alias::asname, ident(cur()));
        a->end = cur().end;
        advance();
      }
      arena_.push_node(names, a);
      if (!accept(Tok::Comma)) break;
      if (paren && at(Tok::RPar)) break;
      if (!paren && !at(Tok::Name))
        return fail("trailing comma not allowed without surrounding parentheses", prev().start);
    }
    if (paren && !expect(Tok::RPar)) return nullptr;
  }
  Node* f = make(Kind::ImportFrom, start, prev().end);
  f->set_str(field::ImportFrom::module, module);
  f->set_list(field::ImportFrom::names, names);
  f->set_int(field::ImportFrom::level, level);
  return f;
}

// ---------------------------------------------------------------- blocks

List* Parser::block() {
  Depth depth(*this);
  if (!depth.ok) return nullptr;
  List* body = nullptr;
  if (accept(Tok::Newline)) {
    if (!at(Tok::Indent)) return fail_here("an indented block");
    advance();
    while (!failed_ && !at(Tok::Dedent) && !at(Tok::EndMarker)) {
      const size_t before = pos_;
      statement(body);
      if (!failed_ && pos_ == before) fail_here("statement");
    }
    if (failed_) return nullptr;
    accept(Tok::Dedent);
    return body;
  }
  if (!simple_stmts(body)) return nullptr;
  return body;
}

List* Parser::else_block() {
  advance();  // 'else'
  if (!expect(Tok::Colon)) return nullptr;
  return block();
}

Node* Parser::compound_stmt() {
  const uint32_t start = cur().start;
  switch (kind()) {
    case Tok::KwDef: return def_stmt(nullptr, start, false);
    case Tok::KwClass: return class_stmt(nullptr);
    case Tok::At: return decorated();
    case Tok::KwIf: return if_stmt(false);
    case Tok::KwWhile: return while_stmt();
    case Tok::KwFor: return for_stmt(start, false);
    case Tok::KwTry: return try_stmt();
    case Tok::KwWith: return with_stmt(start, false);
    case Tok::KwAsync:
      advance();
      if (at(Tok::KwDef)) return def_stmt(nullptr, start, true);
      if (at(Tok::KwFor)) return for_stmt(start, true);
      if (at(Tok::KwWith)) return with_stmt(start, true);
      return fail_here("'def', 'for' or 'with' after 'async'");
    default: return fail_here("statement");
  }
}

Node* Parser::decorated() {
  List* decorators = nullptr;
  while (accept(Tok::At)) {
    Node* d = named_expression();
    if (!d) return nullptr;
    if (!expect(Tok::Newline)) return nullptr;
    arena_.push_node(decorators, d);
  }
  const uint32_t start = cur().start;
  if (at(Tok::KwDef)) return def_stmt(decorators, start, false);
  if (at(Tok::KwClass)) return class_stmt(decorators);
  if (at(Tok::KwAsync) && peek().kind == Tok::KwDef) {
    advance();
    return def_stmt(decorators, start, true);
  }
  return fail_here("'def' or 'class' after decorators");
}

Node* Parser::def_stmt(List* decorators, uint32_t start, bool is_async) {
  advance();  // 'def'
  if (!at(Tok::Name)) return fail_here("function name");
  const Str* fname = ident(cur());
  advance();
  List* params = nullptr;
  if (at(Tok::LSqb)) {
    params = type_params();
    if (failed_) return nullptr;
  }
  if (!expect(Tok::LPar)) return nullptr;
  Node* args = parameters(false, Tok::RPar);
  if (!args || !expect(Tok::RPar)) return nullptr;
  Node* returns = nullptr;
  if (accept(Tok::RArrow)) {
    returns = expression();
    if (!returns) return nullptr;
  }
  if (!expect(Tok::Colon)) return nullptr;
  List* body = block();
  if (!body) return nullptr;
  Node* f = make(is_async ? Kind::AsyncFunctionDef : Kind::FunctionDef, start, last_real_end());
  f->set_str(field::FunctionDef::name, fname);
  f->set_child(field::FunctionDef::args, args);
  f->set_list(field::FunctionDef::body, body);
  f->set_list(field::FunctionDef::decorator_list, decorators);
  f->set_child(field::FunctionDef::returns, returns);
  f->set_list(field::FunctionDef::type_params, params);
  return f;
}

Node* Parser::class_stmt(List* decorators) {
  const uint32_t start = cur().start;
  advance();  // 'class'
  if (!at(Tok::Name)) return fail_here("class name");
  const Str* cname = ident(cur());
  advance();
  List* params = nullptr;
  if (at(Tok::LSqb)) {
    params = type_params();
    if (failed_) return nullptr;
  }
  List* bases = nullptr;
  List* keywords = nullptr;
  if (accept(Tok::LPar)) {
    // Bases are call arguments without the bare generator form; a scratch
    // ClassDef holds them (its bases/keywords slots are the Call's args/keywords).
    static_assert(unsigned(field::ClassDef::bases) == unsigned(field::Call::args) &&
                  unsigned(field::ClassDef::keywords) == unsigned(field::Call::keywords));
    Node* scratch = make(Kind::ClassDef, 0, 0);
    if (!call_arguments(scratch, Tok::RPar)) return nullptr;
    bases = scratch->list(field::ClassDef::bases);
    keywords = scratch->list(field::ClassDef::keywords);
  }
  if (!expect(Tok::Colon)) return nullptr;
  List* body = block();
  if (!body) return nullptr;
  Node* c = make(Kind::ClassDef, start, last_real_end());
  c->set_str(field::ClassDef::name, cname);
  c->set_list(field::ClassDef::bases, bases);
  c->set_list(field::ClassDef::keywords, keywords);
  c->set_list(field::ClassDef::body, body);
  c->set_list(field::ClassDef::decorator_list, decorators);
  c->set_list(field::ClassDef::type_params, params);
  return c;
}

Node* Parser::if_stmt(bool elif) {
  const uint32_t start = cur().start;
  advance();
  Node* test = named_expression();
  if (!test || !expect(Tok::Colon)) return nullptr;
  List* body = block();
  if (!body) return nullptr;
  List* orelse = nullptr;
  uint32_t end = last_real_end();
  if (at(Tok::KwElif)) {
    // Each elif is an If nested in the previous one's orelse.
    Depth depth(*this);
    if (!depth.ok) return nullptr;
    Node* inner = if_stmt(true);
    if (!inner) return nullptr;
    arena_.push_node(orelse, inner);
    end = last_real_end();
  } else if (at(Tok::KwElse)) {
    orelse = else_block();
    if (!orelse) return nullptr;
    end = last_real_end();
  }
  (void)elif;
  Node* n = make(Kind::If, start, end);
  n->set_child(field::If::test, test);
  n->set_list(field::If::body, body);
  n->set_list(field::If::orelse, orelse);
  return n;
}

Node* Parser::while_stmt() {
  const uint32_t start = cur().start;
  advance();
  Node* test = named_expression();
  if (!test || !expect(Tok::Colon)) return nullptr;
  List* body = block();
  if (!body) return nullptr;
  List* orelse = nullptr;
  if (at(Tok::KwElse)) {
    orelse = else_block();
    if (!orelse) return nullptr;
  }
  Node* n = make(Kind::While, start, last_real_end());
  n->set_child(field::While::test, test);
  n->set_list(field::While::body, body);
  n->set_list(field::While::orelse, orelse);
  return n;
}

Node* Parser::for_stmt(uint32_t start, bool is_async) {
  advance();  // 'for'
  Node* target = target_list(true);
  if (!target || !set_context(target, ExprContext::Store)) return nullptr;
  if (!expect(Tok::KwIn)) return nullptr;
  Node* iter = star_expressions();
  if (!iter || !expect(Tok::Colon)) return nullptr;
  List* body = block();
  if (!body) return nullptr;
  List* orelse = nullptr;
  if (at(Tok::KwElse)) {
    orelse = else_block();
    if (!orelse) return nullptr;
  }
  Node* n = make(is_async ? Kind::AsyncFor : Kind::For, start, last_real_end());
  n->set_child(field::For::target, target);
  n->set_child(field::For::iter, iter);
  n->set_list(field::For::body, body);
  n->set_list(field::For::orelse, orelse);
  return n;
}

Node* Parser::with_stmt(uint32_t start, bool is_async) {
  advance();  // 'with'
  List* items = nullptr;
  auto item = [&]() -> bool {
    Node* ctx = expression();
    if (!ctx) return false;
    Node* w = make(Kind::withitem, 0, 0);
    w->set_child(field::withitem::context_expr, ctx);
    if (accept(Tok::KwAs)) {
      Node* target = star_target();
      if (!target || !set_context(target, ExprContext::Store)) return false;
      if (!at(Tok::Comma) && !at(Tok::RPar) && !at(Tok::Colon)) {
        fail_here("',', ')' or ':' after the with target");
        return false;
      }
      w->set_child(field::withitem::optional_vars, target);
    }
    arena_.push_node(items, w);
    return true;
  };
  bool done = false;
  if (at(Tok::LPar)) {
    // Parenthesized items, unless the parentheses belong to the first expression.
    Speculation s = speculate();
    advance();
    bool ok = true;
    for (;;) {
      if (!item()) {
        ok = false;
        break;
      }
      if (!accept(Tok::Comma)) break;
      if (at(Tok::RPar)) break;
    }
    if (ok && accept(Tok::RPar) && at(Tok::Colon)) {
      done = true;
    } else {
      give_up(s);
      items = nullptr;
    }
  }
  if (!done) {
    do {
      if (!item()) return nullptr;
    } while (accept(Tok::Comma));
  }
  if (!expect(Tok::Colon)) return nullptr;
  List* body = block();
  if (!body) return nullptr;
  Node* n = make(is_async ? Kind::AsyncWith : Kind::With, start, last_real_end());
  n->set_list(field::With::items, items);
  n->set_list(field::With::body, body);
  return n;
}

Node* Parser::try_stmt() {
  const uint32_t start = cur().start;
  advance();
  if (!expect(Tok::Colon)) return nullptr;
  List* body = block();
  if (!body) return nullptr;
  List *handlers = nullptr, *orelse = nullptr, *finalbody = nullptr;
  int star = -1;  // unknown until the first handler
  uint32_t end = last_real_end();
  while (at(Tok::KwExcept)) {
    const uint32_t h_start = cur().start;
    advance();
    const bool is_star = accept(Tok::Star);
    if (star != -1 && star != int(is_star))
      return fail("cannot have both 'except' and 'except*' on the same 'try'", h_start);
    star = is_star;
    Node* h = make(Kind::ExceptHandler, h_start, 0);
    if (!at(Tok::Colon)) {
      Node* type = expression();
      if (!type) return nullptr;
      if (at(Tok::Comma)) return fail_at(type, "multiple exception types must be parenthesized");
      h->set_child(field::ExceptHandler::type, type);
      if (accept(Tok::KwAs)) {
        if (!at(Tok::Name)) return fail_here("name after 'as'");
        h->set_str(field::ExceptHandler::name, ident(cur()));
        advance();
      }
    } else if (is_star) {
      return fail("expected one or more exception types", cur().start);
    }
    if (!expect(Tok::Colon)) return nullptr;
    List* hb = block();
    if (!hb) return nullptr;
    h->set_list(field::ExceptHandler::body, hb);
    h->end = end = last_real_end();
    arena_.push_node(handlers, h);
  }
  if (at(Tok::KwElse)) {
    if (!handlers) return fail_here("'except' or 'finally' block");
    orelse = else_block();
    if (!orelse) return nullptr;
    end = last_real_end();
  }
  if (at(Tok::KwFinally)) {
    advance();
    if (!expect(Tok::Colon)) return nullptr;
    finalbody = block();
    if (!finalbody) return nullptr;
    end = last_real_end();
  }
  if (!handlers && !finalbody) return fail_here("'except' or 'finally' block");
  Node* n = make(star == 1 ? Kind::TryStar : Kind::Try, start, end);
  n->set_list(field::Try::body, body);
  n->set_list(field::Try::handlers, handlers);
  n->set_list(field::Try::orelse, orelse);
  n->set_list(field::Try::finalbody, finalbody);
  return n;
}

}  // namespace quorbin::syntax
