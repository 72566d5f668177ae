// Expressions: precedence climbing for the binary operators, recursive descent
// for the rest. Targets are parsed as expressions and then checked and given
// their Store/Del context, which is what the grammar's target rules accept.
#include "syntax/literals.h"
#include "syntax/parser_internal.h"

namespace quorbin::syntax {

namespace {

constexpr TokSet kExprStart{Tok::Name,   Tok::Number,  Tok::String,  Tok::FStringStart, Tok::LPar,
                            Tok::LSqb,   Tok::LBrace,  Tok::Minus,   Tok::Plus,         Tok::Tilde,
                            Tok::KwNot,  Tok::KwLambda, Tok::KwAwait, Tok::KwNone,      Tok::KwTrue,
                            Tok::KwFalse, Tok::Ellipsis};

Node* set_ctx_slot(Node* n, unsigned slot, ExprContext ctx) {
  n->set_int(slot, static_cast<int64_t>(ctx));
  return n;
}

bool is_comp_for(const Parser& p) {
  return p.at(Tok::KwFor) || (p.at(Tok::KwAsync) && p.peek().kind == Tok::KwFor);
}

}  // namespace

bool Parser::can_start_expression(Tok k) const { return kExprStart.has(k); }

const char* Parser::expr_name(const Node* n) const {
  switch (n->kind) {
    case Kind::Attribute: return "attribute";
    case Kind::Subscript: return "subscript";
    case Kind::Starred: return "starred";
    case Kind::Name: return "name";
    case Kind::List: return "list";
    case Kind::Tuple: return "tuple";
    case Kind::Lambda: return "lambda";
    case Kind::Call: return "function call";
    case Kind::BoolOp:
    case Kind::BinOp:
    case Kind::UnaryOp: return "expression";
    case Kind::GeneratorExp: return "generator expression";
    case Kind::Yield:
    case Kind::YieldFrom: return "yield expression";
    case Kind::Await: return "await expression";
    case Kind::ListComp: return "list comprehension";
    case Kind::SetComp: return "set comprehension";
    case Kind::DictComp: return "dict comprehension";
    case Kind::Dict: return "dict literal";
    case Kind::Set: return "set display";
    case Kind::JoinedStr:
    case Kind::FormattedValue: return "f-string expression";
    case Kind::Constant: {
      const Const* c = n->slot(field::Constant::value).cst;
      switch (c->kind) {
        case ConstKind::None: return "None";
        case ConstKind::True: return "True";
        case ConstKind::False: return "False";
        case ConstKind::Ellipsis: return "ellipsis";
        default: return "literal";
      }
    }
    case Kind::Compare: return "comparison";
    case Kind::IfExp: return "conditional expression";
    case Kind::NamedExpr: return "named expression";
    default: return "expression";
  }
}

bool Parser::set_context(Node* n, ExprContext ctx) {
  switch (n->kind) {
    case Kind::Name: set_ctx_slot(n, field::Name::ctx, ctx); return true;
    case Kind::Attribute: set_ctx_slot(n, field::Attribute::ctx, ctx); return true;
    case Kind::Subscript: set_ctx_slot(n, field::Subscript::ctx, ctx); return true;
    case Kind::Starred:
      if (ctx == ExprContext::Del) break;
      set_ctx_slot(n, field::Starred::ctx, ctx);
      return set_context(n->child(field::Starred::value), ctx);
    case Kind::Tuple:
    case Kind::List: {
      set_ctx_slot(n, n->kind == Kind::Tuple ? unsigned(field::Tuple::ctx) : unsigned(field::List::ctx), ctx);
      List* elts = n->list(0);
      for (uint32_t i = 0; i < list_size(elts); ++i)
        if (!set_context(list_node(elts, i), ctx)) return false;
      return true;
    }
    default: break;
  }
  fail_at(n, std::string(ctx == ExprContext::Del ? "cannot delete " : "cannot assign to ") + expr_name(n));
  return false;
}

// ---------------------------------------------------------------- tuples and stars

Node* Parser::star_expressions() {
  const uint32_t start = cur().start;
  Node* first = star_expression();
  if (!first || !at(Tok::Comma)) return first;
  List* elts = nullptr;
  arena_.push_node(elts, first);
  while (accept(Tok::Comma)) {
    if (!can_start_expression(kind()) && !at(Tok::Star)) break;
    Node* e = star_expression();
    if (!e) return nullptr;
    arena_.push_node(elts, e);
  }
  Node* t = make(Kind::Tuple, start, prev().end);
  t->set_list(field::Tuple::elts, elts);
  return t;
}

Node* Parser::starred(Node* (Parser::*operand)()) {
  const uint32_t start = cur().start;
  advance();
  Node* v = (this->*operand)();
  if (!v) return nullptr;
  Node* s = make(Kind::Starred, start, prev().end);
  s->set_child(field::Starred::value, v);
  return s;
}

Node* Parser::star_expression() { return at(Tok::Star) ? starred(&Parser::bitwise_or) : expression(); }

Node* Parser::star_named_expression() {
  return at(Tok::Star) ? starred(&Parser::bitwise_or) : named_expression();
}

Node* Parser::named_expression() {
  if (at(Tok::Name) && peek().kind == Tok::ColonEqual) {
    Node* target = name(cur(), ExprContext::Store);
    advance();
    advance();
    Node* value = expression();
    if (!value) return nullptr;
    Node* n = make(Kind::NamedExpr, target->start, prev().end);
    n->set_child(field::NamedExpr::target, target);
    n->set_child(field::NamedExpr::value, value);
    return n;
  }
  Node* e = expression();
  if (e && at(Tok::ColonEqual)) return fail_at(e, std::string("cannot use assignment expressions with ") + expr_name(e));
  return e;
}

// ---------------------------------------------------------------- boolean and conditional

namespace {

// Tokens that can start an atom on their own, and tokens that no operator,
// trailer or conditional can continue an expression with.
constexpr TokSet kLoneAtoms{Tok::Name, Tok::Number, Tok::String, Tok::KwTrue, Tok::KwFalse, Tok::KwNone};
constexpr TokSet kExpressionEnds{Tok::Comma, Tok::RPar, Tok::RSqb, Tok::RBrace, Tok::Colon,
                                 Tok::Equal, Tok::Newline, Tok::Semi};

}  // namespace

Node* Parser::expression() {
  Depth depth(*this);
  if (!depth.ok) return nullptr;
  // Most expressions are one name or literal followed by a comma, a closing
  // bracket or the end of the statement; every level between here and the
  // atom would hand it up unchanged, so take it directly.
  if (kLoneAtoms.has(kind()) && kExpressionEnds.has(peek().kind)) return atom();
  if (at(Tok::KwLambda)) return lambdef();
  const uint32_t start = cur().start;
  Node* body = disjunction();
  if (!body || !at(Tok::KwIf)) return body;
  advance();
  Node* test = disjunction();
  if (!test) return nullptr;
  if (!at(Tok::KwElse)) return fail_here("'else' after 'if' expression");
  advance();
  Node* orelse = expression();
  if (!orelse) return nullptr;
  Node* n = make(Kind::IfExp, start, prev().end);
  n->set_child(field::IfExp::test, test);
  n->set_child(field::IfExp::body, body);
  n->set_child(field::IfExp::orelse, orelse);
  return n;
}

// `a or b or c` and `a and b and c` are one flat BoolOp each, not a chain.
Node* Parser::bool_chain(Tok keyword, BoolOperator op, Node* (Parser::*operand)()) {
  const uint32_t start = cur().start;
  Node* first = (this->*operand)();
  if (!first || !at(keyword)) return first;
  List* values = nullptr;
  arena_.push_node(values, first);
  while (accept(keyword)) {
    Node* e = (this->*operand)();
    if (!e) return nullptr;
    arena_.push_node(values, e);
  }
  Node* n = make(Kind::BoolOp, start, prev().end);
  n->set_int(field::BoolOp::op, static_cast<int64_t>(op));
  n->set_list(field::BoolOp::values, values);
  return n;
}

Node* Parser::disjunction() { return bool_chain(Tok::KwOr, BoolOperator::Or, &Parser::conjunction); }

Node* Parser::conjunction() { return bool_chain(Tok::KwAnd, BoolOperator::And, &Parser::inversion); }

Node* Parser::inversion() {
  if (!at(Tok::KwNot)) return comparison();
  Depth depth(*this);
  if (!depth.ok) return nullptr;
  const uint32_t start = cur().start;
  advance();
  Node* operand = inversion();
  if (!operand) return nullptr;
  Node* n = make(Kind::UnaryOp, start, prev().end);
  n->set_int(field::UnaryOp::op, static_cast<int64_t>(UnaryOperator::Not));
  n->set_child(field::UnaryOp::operand, operand);
  return n;
}

Node* Parser::comparison() {
  const uint32_t start = cur().start;
  Node* left = bitwise_or();
  if (!left) return nullptr;
  List* ops = nullptr;
  List* comparators = nullptr;
  for (;;) {
    CmpOperator op;
    switch (kind()) {
      case Tok::EqEqual: op = CmpOperator::Eq; break;
      case Tok::NotEqual: op = CmpOperator::NotEq; break;
      case Tok::Less: op = CmpOperator::Lt; break;
      case Tok::LessEqual: op = CmpOperator::LtE; break;
      case Tok::Greater: op = CmpOperator::Gt; break;
      case Tok::GreaterEqual: op = CmpOperator::GtE; break;
      case Tok::KwIn: op = CmpOperator::In; break;
      case Tok::KwIs:
        if (peek().kind == Tok::KwNot) {
          advance();
          op = CmpOperator::IsNot;
        } else {
          op = CmpOperator::Is;
        }
        break;
      case Tok::KwNot:
        if (peek().kind != Tok::KwIn) goto done;
        advance();
        op = CmpOperator::NotIn;
        break;
      default: goto done;
    }
    advance();
    {
      Node* right = bitwise_or();
      if (!right) return nullptr;
      arena_.push_int(ops, static_cast<int64_t>(op));
      arena_.push_node(comparators, right);
    }
  }
done:
  if (!ops) return left;
  Node* n = make(Kind::Compare, start, prev().end);
  n->set_child(field::Compare::left, left);
  n->set_list(field::Compare::ops, ops);
  n->set_list(field::Compare::comparators, comparators);
  return n;
}

// ---------------------------------------------------------------- arithmetic

namespace {

bool binary_operator(Tok k, int& prec, Operator& op) {
  switch (k) {
    case Tok::VBar: prec = 1, op = Operator::BitOr; return true;
    case Tok::Circumflex: prec = 2, op = Operator::BitXor; return true;
    case Tok::Amper: prec = 3, op = Operator::BitAnd; return true;
    case Tok::LeftShift: prec = 4, op = Operator::LShift; return true;
    case Tok::RightShift: prec = 4, op = Operator::RShift; return true;
    case Tok::Plus: prec = 5, op = Operator::Add; return true;
    case Tok::Minus: prec = 5, op = Operator::Sub; return true;
    case Tok::Star: prec = 6, op = Operator::Mult; return true;
    case Tok::Slash: prec = 6, op = Operator::Div; return true;
    case Tok::DoubleSlash: prec = 6, op = Operator::FloorDiv; return true;
    case Tok::Percent: prec = 6, op = Operator::Mod; return true;
    case Tok::At: prec = 6, op = Operator::MatMult; return true;
    default: return false;
  }
}

}  // namespace

Node* Parser::binary(int min_prec) {
  const uint32_t start = cur().start;
  Node* left = factor();
  if (!left) return nullptr;
  Chain chain(*this);
  for (;;) {
    int prec;
    Operator op;
    if (!binary_operator(kind(), prec, op) || prec < min_prec) return left;
    if (!chain.step()) return nullptr;
    advance();
    Node* right = binary(prec + 1);
    if (!right) return nullptr;
    Node* n = make(Kind::BinOp, start, prev().end);
    n->set_child(field::BinOp::left, left);
    n->set_int(field::BinOp::op, static_cast<int64_t>(op));
    n->set_child(field::BinOp::right, right);
    left = n;
  }
}

Node* Parser::factor() {
  UnaryOperator op;
  switch (kind()) {
    case Tok::Plus: op = UnaryOperator::UAdd; break;
    case Tok::Minus: op = UnaryOperator::USub; break;
    case Tok::Tilde: op = UnaryOperator::Invert; break;
    default: return power();
  }
  Depth depth(*this);
  if (!depth.ok) return nullptr;
  const uint32_t start = cur().start;
  advance();
  Node* operand = factor();
  if (!operand) return nullptr;
  Node* n = make(Kind::UnaryOp, start, prev().end);
  n->set_int(field::UnaryOp::op, static_cast<int64_t>(op));
  n->set_child(field::UnaryOp::operand, operand);
  return n;
}

Node* Parser::power() {
  const uint32_t start = cur().start;
  Node* base;
  if (at(Tok::KwAwait)) {
    advance();
    Node* v = primary();
    if (!v) return nullptr;
    base = make(Kind::Await, start, prev().end);
    base->set_child(field::Await::value, v);
  } else {
    base = primary();
    if (!base) return nullptr;
  }
  if (!at(Tok::DoubleStar)) return base;
  Depth depth(*this);
  if (!depth.ok) return nullptr;
  advance();
  Node* exponent = factor();
  if (!exponent) return nullptr;
  Node* n = make(Kind::BinOp, start, prev().end);
  n->set_child(field::BinOp::left, base);
  n->set_int(field::BinOp::op, static_cast<int64_t>(Operator::Pow));
  n->set_child(field::BinOp::right, exponent);
  return n;
}

// ---------------------------------------------------------------- primaries

Node* Parser::primary() {
  const uint32_t start = cur().start;
  Node* e = atom();
  Chain chain(*this);
  while (e) {
    if ((at(Tok::Dot) || at(Tok::LPar) || at(Tok::LSqb)) && !chain.step()) return nullptr;
    if (at(Tok::Dot)) {
      advance();
      if (!at(Tok::Name)) return fail_here("attribute name after '.'");
      Node* a = make(Kind::Attribute, start, cur().end);
      a->set_child(field::Attribute::value, e);
      a->set_str(field::Attribute::attr, ident(cur()));
      advance();
      e = a;
    } else if (at(Tok::LPar)) {
      Depth depth(*this);
      if (!depth.ok) return nullptr;
      Node* call = make(Kind::Call, start, 0);
      call->set_child(field::Call::func, e);
      advance();
      if (!call_arguments(call, Tok::RPar)) return nullptr;
      call->end = prev().end;
      e = call;
    } else if (at(Tok::LSqb)) {
      Depth depth(*this);
      if (!depth.ok) return nullptr;
      advance();
      Node* s = slices();
      if (!s || !expect(Tok::RSqb)) return nullptr;
      Node* sub = make(Kind::Subscript, start, prev().end);
      sub->set_child(field::Subscript::value, e);
      sub->set_child(field::Subscript::slice, s);
      e = sub;
    } else {
      break;
    }
  }
  return e;
}

Node* Parser::atom() {
  const Token& t = cur();
  Const* c = nullptr;
  switch (t.kind) {
    case Tok::Name: {
      Node* n = name(t, ExprContext::Load);
      advance();
      return n;
    }
    case Tok::KwTrue: c = arena_.constant(ConstKind::True); break;
    case Tok::KwFalse: c = arena_.constant(ConstKind::False); break;
    case Tok::KwNone: c = arena_.constant(ConstKind::None); break;
    case Tok::Ellipsis: c = arena_.constant(ConstKind::Ellipsis); break;
    case Tok::Number: {
      Node* n = make(Kind::Constant, t.start, t.end);
      n->set_const(field::Constant::value, number_constant(text(t), arena_));
      advance();
      return n;
    }
    case Tok::String:
    case Tok::FStringStart: return strings();
    case Tok::LPar: return paren_atom();
    case Tok::LSqb: return list_atom();
    case Tok::LBrace: return brace_atom();
    default: return fail_here("expression");
  }
  Node* n = make(Kind::Constant, t.start, t.end);
  n->set_const(field::Constant::value, c);
  advance();
  return n;
}

Node* Parser::paren_atom() {
  Depth depth(*this);
  if (!depth.ok) return nullptr;
  const uint32_t start = cur().start;
  advance();
  if (accept(Tok::RPar)) return make(Kind::Tuple, start, prev().end);
  if (at(Tok::KwYield)) {
    Node* y = yield_expr();
    if (!y || !expect(Tok::RPar)) return nullptr;
    return y;
  }
  Node* first = star_named_expression();
  if (!first) return nullptr;
  if (is_comp_for(*this)) {
    if (first->kind == Kind::Starred) return fail_at(first, "iterable unpacking cannot be used in comprehension");
    List* gens = comprehension_clauses();
    if (!gens || !expect(Tok::RPar)) return nullptr;
    Node* g = make(Kind::GeneratorExp, start, prev().end);
    g->set_child(field::GeneratorExp::elt, first);
    g->set_list(field::GeneratorExp::generators, gens);
    return g;
  }
  if (at(Tok::Comma)) {
    List* elts = nullptr;
    arena_.push_node(elts, first);
    while (accept(Tok::Comma)) {
      if (at(Tok::RPar)) break;
      Node* e = star_named_expression();
      if (!e) return nullptr;
      arena_.push_node(elts, e);
    }
    if (!expect(Tok::RPar)) return nullptr;
    Node* t = make(Kind::Tuple, start, prev().end);
    t->set_list(field::Tuple::elts, elts);
    return t;
  }
  if (!expect(Tok::RPar)) return nullptr;
  if (first->kind == Kind::Starred) return fail_at(first, "cannot use starred expression here");
  return first;
}

Node* Parser::list_atom() {
  Depth depth(*this);
  if (!depth.ok) return nullptr;
  const uint32_t start = cur().start;
  advance();
  List* elts = nullptr;
  if (!at(Tok::RSqb)) {
    Node* first = star_named_expression();
    if (!first) return nullptr;
    if (is_comp_for(*this)) {
      if (first->kind == Kind::Starred) return fail_at(first, "iterable unpacking cannot be used in comprehension");
      List* gens = comprehension_clauses();
      if (!gens || !expect(Tok::RSqb)) return nullptr;
      Node* g = make(Kind::ListComp, start, prev().end);
      g->set_child(field::ListComp::elt, first);
      g->set_list(field::ListComp::generators, gens);
      return g;
    }
    arena_.push_node(elts, first);
    while (accept(Tok::Comma)) {
      if (at(Tok::RSqb)) break;
      Node* e = star_named_expression();
      if (!e) return nullptr;
      arena_.push_node(elts, e);
    }
  }
  if (!expect(Tok::RSqb)) return nullptr;
  Node* l = make(Kind::List, start, prev().end);
  l->set_list(field::List::elts, elts);
  return l;
}

Node* Parser::brace_atom() {
  Depth depth(*this);
  if (!depth.ok) return nullptr;
  const uint32_t start = cur().start;
  advance();
  List* keys = nullptr;
  List* values = nullptr;
  if (at(Tok::RBrace)) {
    advance();
    return make(Kind::Dict, start, prev().end);
  }
  bool is_dict;
  if (at(Tok::DoubleStar)) {
    is_dict = true;
  } else {
    const uint32_t elem_start = cur().start;
    Node* first = star_named_expression();
    if (!first) return nullptr;
    if (at(Tok::Colon) && first->kind != Kind::Starred) {
      if (first->kind == Kind::NamedExpr && first->start == elem_start)
        return fail_at(first, "cannot use a named expression as a dictionary key without parentheses");
      advance();
      Node* value = expression();
      if (!value) return nullptr;
      if (is_comp_for(*this)) {
        List* gens = comprehension_clauses();
        if (!gens || !expect(Tok::RBrace)) return nullptr;
        Node* d = make(Kind::DictComp, start, prev().end);
        d->set_child(field::DictComp::key, first);
        d->set_child(field::DictComp::value, value);
        d->set_list(field::DictComp::generators, gens);
        return d;
      }
      arena_.push_node(keys, first);
      arena_.push_node(values, value);
      is_dict = true;
      if (!accept(Tok::Comma)) {
        if (!expect(Tok::RBrace)) return nullptr;
        goto build_dict;
      }
    } else {
      if (is_comp_for(*this)) {
        if (first->kind == Kind::Starred) return fail_at(first, "iterable unpacking cannot be used in comprehension");
        List* gens = comprehension_clauses();
        if (!gens || !expect(Tok::RBrace)) return nullptr;
        Node* s = make(Kind::SetComp, start, prev().end);
        s->set_child(field::SetComp::elt, first);
        s->set_list(field::SetComp::generators, gens);
        return s;
      }
      List* elts = nullptr;
      arena_.push_node(elts, first);
      while (accept(Tok::Comma)) {
        if (at(Tok::RBrace)) break;
        Node* e = star_named_expression();
        if (!e) return nullptr;
        arena_.push_node(elts, e);
      }
      if (!expect(Tok::RBrace)) return nullptr;
      Node* s = make(Kind::Set, start, prev().end);
      s->set_list(field::Set::elts, elts);
      return s;
    }
  }
  (void)is_dict;
  while (!at(Tok::RBrace)) {
    if (accept(Tok::DoubleStar)) {
      Node* v = bitwise_or();
      if (!v) return nullptr;
      arena_.push_node(keys, nullptr);
      arena_.push_node(values, v);
    } else {
      Node* k = expression();
      if (!k || !expect(Tok::Colon)) return nullptr;
      Node* v = expression();
      if (!v) return nullptr;
      arena_.push_node(keys, k);
      arena_.push_node(values, v);
    }
    if (!accept(Tok::Comma)) break;
  }
  if (!expect(Tok::RBrace)) return nullptr;
build_dict:
  Node* d = make(Kind::Dict, start, prev().end);
  d->set_list(field::Dict::keys, keys);
  d->set_list(field::Dict::values, values);
  return d;
}

List* Parser::comprehension_clauses() {
  List* gens = nullptr;
  while (is_comp_for(*this)) {
    const bool is_async = accept(Tok::KwAsync);
    advance();  // 'for'
    Node* target = target_list(true);
    if (!target || !set_context(target, ExprContext::Store)) return nullptr;
    if (!expect(Tok::KwIn)) return nullptr;
    Node* iter = disjunction();
    if (!iter) return nullptr;
    List* ifs = nullptr;
    while (accept(Tok::KwIf)) {
      Node* cond = disjunction();
      if (!cond) return nullptr;
      arena_.push_node(ifs, cond);
    }
    Node* c = make(Kind::comprehension, 0, 0);
    c->set_child(field::comprehension::target, target);
    c->set_child(field::comprehension::iter, iter);
    c->set_list(field::comprehension::ifs, ifs);
    c->set_int(field::comprehension::is_async, is_async ? 1 : 0);
    arena_.push_node(gens, c);
  }
  return gens;
}

Node* Parser::target_list(bool allow_tuple) {
  const uint32_t start = cur().start;
  Node* first = star_target();
  if (!first || !allow_tuple || !at(Tok::Comma)) return first;
  List* elts = nullptr;
  arena_.push_node(elts, first);
  while (accept(Tok::Comma)) {
    if (!can_start_expression(kind()) && !at(Tok::Star)) break;
    Node* e = star_target();
    if (!e) return nullptr;
    arena_.push_node(elts, e);
  }
  Node* t = make(Kind::Tuple, start, prev().end);
  t->set_list(field::Tuple::elts, elts);
  return t;
}

Node* Parser::star_target() {
  if (!at(Tok::Star)) return primary();
  Depth depth(*this);
  if (!depth.ok) return nullptr;
  const uint32_t start = cur().start;
  advance();
  if (at(Tok::Star)) return fail_here("target after '*'");
  Node* v = star_target();
  if (!v) return nullptr;
  Node* s = make(Kind::Starred, start, prev().end);
  s->set_child(field::Starred::value, v);
  return s;
}

// ---------------------------------------------------------------- subscripts and calls

Node* Parser::slices() {
  const uint32_t start = cur().start;
  // A starred subscript element takes a whole expression, as a starred call
  // argument does (`x[*a or b]`, `x[*a if c else d]`), not only an operand.
  auto element = [this]() -> Node* { return at(Tok::Star) ? starred(&Parser::expression) : slice(); };
  Node* first = element();
  if (!first) return nullptr;
  if (!at(Tok::Comma) && first->kind != Kind::Starred) return first;
  List* elts = nullptr;
  arena_.push_node(elts, first);
  while (accept(Tok::Comma)) {
    if (at(Tok::RSqb)) break;
    Node* e = element();
    if (!e) return nullptr;
    arena_.push_node(elts, e);
  }
  Node* t = make(Kind::Tuple, start, prev().end);
  t->set_list(field::Tuple::elts, elts);
  return t;
}

Node* Parser::slice() {
  const uint32_t start = cur().start;
  Node* lower = nullptr;
  if (!at(Tok::Colon)) {
    lower = named_expression();
    if (!lower || !at(Tok::Colon)) return lower;
    if (lower->kind == Kind::NamedExpr && lower->start == start)
      return fail_at(lower, "cannot use a named expression as a slice bound without parentheses");
  }
  advance();  // ':'
  Node* upper = nullptr;
  Node* step = nullptr;
  if (!at(Tok::Colon) && !at(Tok::RSqb) && !at(Tok::Comma)) {
    upper = expression();
    if (!upper) return nullptr;
  }
  if (accept(Tok::Colon)) {
    if (!at(Tok::RSqb) && !at(Tok::Comma)) {
      step = expression();
      if (!step) return nullptr;
    }
  }
  Node* s = make(Kind::Slice, start, prev().end);
  s->set_child(field::Slice::lower, lower);
  s->set_child(field::Slice::upper, upper);
  s->set_child(field::Slice::step, step);
  return s;
}

bool Parser::call_arguments(Node* call, Tok closer) {
  // `call` is a Call (or a ClassDef's scratch Call) whose '(' was just consumed.
  const uint32_t lpar = prev().start;
  List* args = nullptr;
  List* keywords = nullptr;
  bool seen_keyword = false, seen_double_star = false;
  while (!at(closer)) {
    if (at(Tok::Star)) {
      const uint32_t start = cur().start;
      advance();
      Node* v = expression();
      if (!v) return false;
      if (seen_double_star) {
        fail(std::string("iterable argument unpacking follows keyword argument unpacking"), start);
        return false;
      }
      Node* s = make(Kind::Starred, start, prev().end);
      s->set_child(field::Starred::value, v);
      arena_.push_node(args, s);
    } else if (at(Tok::DoubleStar)) {
      const uint32_t start = cur().start;
      advance();
      Node* v = expression();
      if (!v) return false;
      Node* k = make(Kind::keyword, start, prev().end);
      k->set_child(field::keyword::value, v);
      arena_.push_node(keywords, k);
      seen_double_star = true;
    } else if (at(Tok::Name) && peek().kind == Tok::Equal) {
      const Token& n = cur();
      advance();
      advance();
      Node* v = expression();
      if (!v) return false;
      Node* k = make(Kind::keyword, n.start, prev().end);
      k->set_str(field::keyword::arg, ident(n));
      k->set_child(field::keyword::value, v);
      arena_.push_node(keywords, k);
      seen_keyword = true;
    } else {
      Node* e = named_expression();
      if (!e) return false;
      if (is_comp_for(*this)) {
        if (args || keywords || call->kind != Kind::Call) {
          fail_at(e, "Generator expression must be parenthesized");
          return false;
        }
        List* gens = comprehension_clauses();
        if (!gens) return false;
        if (!at(closer)) {
          fail_at(e, "Generator expression must be parenthesized");
          return false;
        }
        Node* g = make(Kind::GeneratorExp, lpar, cur().end);
        g->set_child(field::GeneratorExp::elt, e);
        g->set_list(field::GeneratorExp::generators, gens);
        e = g;
      }
      if (at(Tok::Equal)) {
        fail_at(e, "expression cannot contain assignment, perhaps you meant \"==\"?");
        return false;
      }
      if (seen_double_star || seen_keyword) {
        fail_at(e, seen_double_star ? "positional argument follows keyword argument unpacking"
                                    : "positional argument follows keyword argument");
        return false;
      }
      arena_.push_node(args, e);
    }
    if (!accept(Tok::Comma)) break;
  }
  if (!expect(closer)) return false;
  call->set_list(field::Call::args, args);
  call->set_list(field::Call::keywords, keywords);
  return true;
}

// ---------------------------------------------------------------- lambda, yield, parameters

Node* Parser::yield_expr() {
  const uint32_t start = cur().start;
  advance();
  if (accept(Tok::KwFrom)) {
    Node* v = expression();
    if (!v) return nullptr;
    Node* y = make(Kind::YieldFrom, start, prev().end);
    y->set_child(field::YieldFrom::value, v);
    return y;
  }
  Node* v = nullptr;
  if (can_start_expression(kind()) || at(Tok::Star)) {
    v = star_expressions();
    if (!v) return nullptr;
  }
  Node* y = make(Kind::Yield, start, prev().end);
  y->set_child(field::Yield::value, v);
  return y;
}

Node* Parser::lambdef() {
  const uint32_t start = cur().start;
  advance();
  Node* args = parameters(true, Tok::Colon);
  if (!args || !expect(Tok::Colon)) return nullptr;
  // Inside a replacement field that ':' began the format spec.
  if (at(Tok::FStringMiddle)) return fail("f-string: lambda expressions are not allowed without parentheses", start);
  Node* body = expression();
  if (!body) return nullptr;
  Node* l = make(Kind::Lambda, start, prev().end);
  l->set_child(field::Lambda::args, args);
  l->set_child(field::Lambda::body, body);
  return l;
}

Node* Parser::param(bool is_lambda, bool star_annotation) {
  if (!at(Tok::Name)) return fail_here("parameter name");
  const Token& n = cur();
  Node* a = make(Kind::arg, n.start, n.end);
  a->set_str(field::arg::arg, ident(n));
  advance();
  if (!is_lambda && accept(Tok::Colon)) {
    Node* ann = star_annotation && at(Tok::Star) ? star_expression() : expression();
    if (!ann) return nullptr;
    a->set_child(field::arg::annotation, ann);
    a->end = prev().end;
  }
  return a;
}

Node* Parser::parameters(bool is_lambda, Tok closer) {
  List *posonly = nullptr, *args = nullptr, *kwonly = nullptr, *kw_defaults = nullptr, *defaults = nullptr;
  Node *vararg = nullptr, *kwarg = nullptr;
  bool star = false, bare_star = false, slash = false, seen_default = false;
  uint32_t star_at = 0;
  while (!at(closer)) {
    if (at(Tok::Slash)) {
      if (slash) return fail("/ may appear only once", cur().start);
      if (star) return fail("/ must be ahead of *", cur().start);
      if (!args) return fail("at least one argument must precede /", cur().start);
      posonly = args;
      args = nullptr;
      slash = true;
      advance();
    } else if (at(Tok::Star)) {
      if (star) return fail("* argument may appear only once", cur().start);
      star = true;
      star_at = cur().start;
      advance();
      if (at(Tok::Comma) || at(closer)) {
        bare_star = true;
      } else {
        vararg = param(is_lambda, !is_lambda);
        if (!vararg) return nullptr;
        if (at(Tok::Equal)) return fail("var-positional argument cannot have default value", cur().start);
      }
    } else if (at(Tok::DoubleStar)) {
      advance();
      kwarg = param(is_lambda, false);
      if (!kwarg) return nullptr;
      if (at(Tok::Equal)) return fail("var-keyword argument cannot have default value", cur().start);
      accept(Tok::Comma);
      if (!at(closer)) return fail("arguments cannot follow var-keyword argument", cur().start);
      break;
    } else {
      Node* p = param(is_lambda, false);
      if (!p) return nullptr;
      Node* dflt = nullptr;
      if (accept(Tok::Equal)) {
        dflt = expression();
        if (!dflt) return nullptr;
      }
      if (!star) {
        if (dflt) {
          arena_.push_node(defaults, dflt);
          seen_default = true;
        } else if (seen_default) {
          return fail("parameter without a default follows parameter with a default", p->start);
        }
        arena_.push_node(args, p);
      } else {
        arena_.push_node(kwonly, p);
        arena_.push_node(kw_defaults, dflt);
      }
    }
    if (!accept(Tok::Comma)) break;
  }
  if (bare_star && !kwonly) return fail("named arguments must follow bare *", star_at);
  Node* a = make(Kind::arguments, 0, 0);
  a->set_list(field::arguments::posonlyargs, posonly);
  a->set_list(field::arguments::args, args);
  a->set_child(field::arguments::vararg, vararg);
  a->set_list(field::arguments::kwonlyargs, kwonly);
  a->set_list(field::arguments::kw_defaults, kw_defaults);
  a->set_child(field::arguments::kwarg, kwarg);
  a->set_list(field::arguments::defaults, defaults);
  return a;
}

}  // namespace quorbin::syntax
