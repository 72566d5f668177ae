// The match statement and its patterns. `match` is a statement only when a
// subject, ':' and a line end follow it; otherwise the line is parsed again
// as an ordinary statement, so `match = 1` and `match(x)` keep working.
#include "syntax/literals.h"
#include "syntax/parser_internal.h"

namespace quorbin::syntax {

namespace {

bool is_imaginary(const Node* c) {
  return c->kind == Kind::Constant && c->slot(field::Constant::value).cst->kind == ConstKind::Complex;
}

}  // namespace

Node* Parser::match_stmt() {
  Speculation s = speculate();
  const uint32_t start = cur().start;
  advance();
  Node* subject = nullptr;
  const uint32_t subject_start = cur().start;
  if (can_start_expression(kind()) || at(Tok::Star)) {
    subject = star_named_expression();
    if (subject && at(Tok::Comma)) {
      List* elts = nullptr;
      arena_.push_node(elts, subject);
      while (accept(Tok::Comma)) {
        if (at(Tok::Colon)) break;
        Node* e = star_named_expression();
        if (!e) break;
        arena_.push_node(elts, e);
      }
      if (!failed_) {
        Node* t = make(Kind::Tuple, subject_start, prev().end);
        t->set_list(field::Tuple::elts, elts);
        subject = t;
      }
    }
  }
  if (failed_ || !subject || !at(Tok::Colon) || peek().kind != Tok::Newline) {
    give_up(s);
    return nullptr;
  }
  if (subject->kind == Kind::Starred) return fail_at(subject, "cannot use starred expression here");
  advance();
  advance();
  if (!at(Tok::Indent)) return fail_here("an indented block");
  advance();
  Depth depth(*this);
  if (!depth.ok) return nullptr;
  List* cases = nullptr;
  while (soft(cur()) == Soft::Case) {
    advance();
    Node* pat = patterns();
    if (!pat) return nullptr;
    Node* guard = nullptr;
    if (accept(Tok::KwIf)) {
      guard = named_expression();
      if (!guard) return nullptr;
    }
    if (!expect(Tok::Colon)) return nullptr;
    List* body = block();
    if (!body) return nullptr;
    Node* c = make(Kind::match_case, 0, 0);
    c->set_child(field::match_case::pattern, pat);
    c->set_child(field::match_case::guard, guard);
    c->set_list(field::match_case::body, body);
    arena_.push_node(cases, c);
  }
  if (!cases) return fail_here("'case' block");
  if (!at(Tok::Dedent) && !at(Tok::EndMarker)) return fail_here("'case' block");
  accept(Tok::Dedent);
  Node* m = make(Kind::Match, start, last_real_end());
  m->set_child(field::Match::subject, subject);
  m->set_list(field::Match::cases, cases);
  return m;
}

Node* Parser::patterns() {
  const uint32_t start = cur().start;
  Node* first = star_or_pattern();
  if (!first) return nullptr;
  if (!at(Tok::Comma)) {
    if (first->kind == Kind::MatchStar) return fail_at(first, "a starred pattern must be inside a sequence");
    return first;
  }
  List* items = nullptr;
  arena_.push_node(items, first);
  while (accept(Tok::Comma)) {
    if (at(Tok::Colon) || at(Tok::KwIf)) break;
    Node* p = star_or_pattern();
    if (!p) return nullptr;
    arena_.push_node(items, p);
  }
  Node* seq = make(Kind::MatchSequence, start, prev().end);
  seq->set_list(field::MatchSequence::patterns, items);
  return seq;
}

Node* Parser::star_or_pattern() {
  if (!at(Tok::Star)) return pattern();
  const uint32_t start = cur().start;
  advance();
  if (!at(Tok::Name)) return fail_here("name after '*' in pattern");
  Node* s = make(Kind::MatchStar, start, cur().end);
  if (soft(cur()) != Soft::Underscore) s->set_str(field::MatchStar::name, ident(cur()));
  advance();
  return s;
}

Node* Parser::pattern() {
  const uint32_t start = cur().start;
  Node* p = or_pattern();
  if (!p || !at(Tok::KwAs)) return p;
  advance();
  if (!at(Tok::Name)) return fail_here("name after 'as'");
  if (soft(cur()) == Soft::Underscore) return fail("cannot use '_' as a target", cur().start);
  Node* as = make(Kind::MatchAs, start, cur().end);
  as->set_child(field::MatchAs::pattern, p);
  as->set_str(field::MatchAs::name, ident(cur()));
  advance();
  return as;
}

Node* Parser::or_pattern() {
  const uint32_t start = cur().start;
  Node* first = closed_pattern();
  if (!first || !at(Tok::VBar)) return first;
  List* alts = nullptr;
  arena_.push_node(alts, first);
  while (accept(Tok::VBar)) {
    Node* p = closed_pattern();
    if (!p) return nullptr;
    arena_.push_node(alts, p);
  }
  Node* o = make(Kind::MatchOr, start, prev().end);
  o->set_list(field::MatchOr::patterns, alts);
  return o;
}

Node* Parser::literal_expr() {
  const Token& t = cur();
  switch (t.kind) {
    case Tok::KwNone:
    case Tok::KwTrue:
    case Tok::KwFalse:
    case Tok::String:
    case Tok::FStringStart: return atom();  // f-strings are refused later, by the compiler
    case Tok::Number:
    case Tok::Minus: break;
    default: return fail_here("pattern");
  }
  const uint32_t start = t.start;
  const bool negative = accept(Tok::Minus);
  if (!at(Tok::Number)) return fail_here("number");
  Node* real = atom();
  if (!real) return nullptr;
  if (negative) {
    Node* u = make(Kind::UnaryOp, start, prev().end);
    u->set_int(field::UnaryOp::op, static_cast<int64_t>(UnaryOperator::USub));
    u->set_child(field::UnaryOp::operand, real);
    real = u;
  }
  if (!at(Tok::Plus) && !at(Tok::Minus)) return real;
  if (is_imaginary(negative ? real->child(field::UnaryOp::operand) : real))
    return fail_at(real, "real number required in complex literal");
  const Operator op = at(Tok::Plus) ? Operator::Add : Operator::Sub;
  advance();
  if (!at(Tok::Number)) return fail_here("imaginary number");
  Node* imag = atom();
  if (!imag) return nullptr;
  if (!is_imaginary(imag)) return fail_at(imag, "imaginary number required in complex literal");
  Node* b = make(Kind::BinOp, start, prev().end);
  b->set_child(field::BinOp::left, real);
  b->set_int(field::BinOp::op, static_cast<int64_t>(op));
  b->set_child(field::BinOp::right, imag);
  return b;
}

Node* Parser::name_or_attr() {
  const uint32_t start = cur().start;
  Node* e = name(cur(), ExprContext::Load);
  advance();
  Chain chain(*this);
  while (accept(Tok::Dot)) {
    if (!chain.step()) return nullptr;
    if (!at(Tok::Name)) return fail_here("attribute name after '.'");
    Node* a = make(Kind::Attribute, start, cur().end);
    a->set_child(field::Attribute::value, e);
    a->set_str(field::Attribute::attr, ident(cur()));
    advance();
    e = a;
  }
  return e;
}

Node* Parser::closed_pattern() {
  Depth depth(*this);
  if (!depth.ok) return nullptr;
  const Token& t = cur();
  const uint32_t start = t.start;
  switch (t.kind) {
    case Tok::KwNone:
    case Tok::KwTrue:
    case Tok::KwFalse: {
      Node* s = make(Kind::MatchSingleton, t.start, t.end);
      s->set_const(field::MatchSingleton::value,
                   arena_.constant(t.kind == Tok::KwNone   ? ConstKind::None
                                   : t.kind == Tok::KwTrue ? ConstKind::True
                                                           : ConstKind::False));
      advance();
      return s;
    }
    case Tok::Number:
    case Tok::Minus:
    case Tok::String:
    case Tok::FStringStart: {
      Node* v = literal_expr();
      if (!v) return nullptr;
      Node* m = make(Kind::MatchValue, start, prev().end);
      m->set_child(field::MatchValue::value, v);
      return m;
    }
    case Tok::Name: {
      if (soft(t) == Soft::Underscore) {
        advance();
        return make(Kind::MatchAs, t.start, t.end);
      }
      Node* e = name_or_attr();
      if (!e) return nullptr;
      if (at(Tok::LPar)) return class_pattern(e);
      if (e->kind == Kind::Attribute) {
        Node* m = make(Kind::MatchValue, e->start, e->end);
        m->set_child(field::MatchValue::value, e);
        return m;
      }
      Node* as = make(Kind::MatchAs, e->start, e->end);
      as->set_str(field::MatchAs::name, e->str(field::Name::id));
      return as;
    }
    case Tok::LPar: {
      advance();
      if (accept(Tok::RPar)) return make(Kind::MatchSequence, start, prev().end);
      Node* first = star_or_pattern();
      if (!first) return nullptr;
      if (at(Tok::RPar) && first->kind != Kind::MatchStar) {
        advance();
        return first;  // a group keeps its inner pattern's range
      }
      if (!at(Tok::Comma)) return fail_here("',' or ')' in pattern");
      List* items = nullptr;
      arena_.push_node(items, first);
      while (accept(Tok::Comma)) {
        if (at(Tok::RPar)) break;
        Node* p = star_or_pattern();
        if (!p) return nullptr;
        arena_.push_node(items, p);
      }
      if (!expect(Tok::RPar)) return nullptr;
      Node* seq = make(Kind::MatchSequence, start, prev().end);
      seq->set_list(field::MatchSequence::patterns, items);
      return seq;
    }
    case Tok::LSqb: {
      advance();
      List* items = nullptr;
      while (!at(Tok::RSqb)) {
        Node* p = star_or_pattern();
        if (!p) return nullptr;
        arena_.push_node(items, p);
        if (!accept(Tok::Comma)) break;
      }
      if (!expect(Tok::RSqb)) return nullptr;
      Node* seq = make(Kind::MatchSequence, start, prev().end);
      seq->set_list(field::MatchSequence::patterns, items);
      return seq;
    }
    case Tok::LBrace: return mapping_pattern();
    default: return fail_here("pattern");
  }
}

Node* Parser::mapping_pattern() {
  const uint32_t start = cur().start;
  advance();
  List *keys = nullptr, *pats = nullptr;
  const Str* rest = nullptr;
  while (!at(Tok::RBrace)) {
    if (accept(Tok::DoubleStar)) {
      if (!at(Tok::Name)) return fail_here("name after '**'");
      if (soft(cur()) == Soft::Underscore) return fail("cannot use '_' as a target", cur().start);
      rest = ident(cur());
      advance();
      accept(Tok::Comma);
      if (!at(Tok::RBrace)) return fail_here("'}' after the '**' rest pattern");
      break;
    }
    Node* key;
    if (at(Tok::Name)) {
      key = name_or_attr();
      if (!key) return nullptr;
      if (key->kind != Kind::Attribute) return fail_at(key, "mapping pattern keys may only match literals and attribute lookups");
    } else {
      key = literal_expr();
      if (!key) return nullptr;
    }
    if (!expect(Tok::Colon)) return nullptr;
    Node* p = pattern();
    if (!p) return nullptr;
    arena_.push_node(keys, key);
    arena_.push_node(pats, p);
    if (!accept(Tok::Comma)) break;
  }
  if (!expect(Tok::RBrace)) return nullptr;
  Node* m = make(Kind::MatchMapping, start, prev().end);
  m->set_list(field::MatchMapping::keys, keys);
  m->set_list(field::MatchMapping::patterns, pats);
  m->set_str(field::MatchMapping::rest, rest);
  return m;
}

Node* Parser::class_pattern(Node* cls) {
  advance();  // '('
  List *pats = nullptr, *kwd_attrs = nullptr, *kwd_pats = nullptr;
  while (!at(Tok::RPar)) {
    if (at(Tok::Name) && peek().kind == Tok::Equal) {
      arena_.push_str(kwd_attrs, ident(cur()));
      advance();
      advance();
      Node* p = pattern();
      if (!p) return nullptr;
      arena_.push_node(kwd_pats, p);
    } else {
      Node* p = pattern();
      if (!p) return nullptr;
      if (kwd_attrs) return fail_at(p, "positional patterns follow keyword patterns");
      arena_.push_node(pats, p);
    }
    if (!accept(Tok::Comma)) break;
  }
  if (!expect(Tok::RPar)) return nullptr;
  Node* c = make(Kind::MatchClass, cls->start, prev().end);
  c->set_child(field::MatchClass::cls, cls);
  c->set_list(field::MatchClass::patterns, pats);
  c->set_list(field::MatchClass::kwd_attrs, kwd_attrs);
  c->set_list(field::MatchClass::kwd_patterns, kwd_pats);
  return c;
}

}  // namespace quorbin::syntax
