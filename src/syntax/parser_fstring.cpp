// String literals, f-strings and implicit concatenation. The positions of the
// constants inside a JoinedStr follow the interpreter's rules: each literal
// piece keeps the range of the token it came from, and adjacent constants
// are merged into one spanning from the first to the last.
#include <cstring>

#include "syntax/literals.h"
#include "syntax/parser_internal.h"

namespace quorbin::syntax {

namespace {

struct Prefix {
  bool raw = false, bytes = false, f = false, u = false;
  size_t length = 0;  // prefix letters
};

Prefix prefix_of(std::string_view t) {
  Prefix p;
  while (p.length < t.size() && t[p.length] != '"' && t[p.length] != '\'') {
    switch (t[p.length] | 0x20) {
      case 'r': p.raw = true; break;
      case 'b': p.bytes = true; break;
      case 'f': p.f = true; break;
      case 'u': p.u = true; break;
    }
    ++p.length;
  }
  return p;
}

Node* str_constant(Arena& arena, std::string_view value, uint32_t start, uint32_t end, const Str* kind) {
  Const* c = arena.constant(ConstKind::Str);
  c->text = arena.str(value);
  Node* n = arena.node(Kind::Constant, start, end);
  n->set_const(field::Constant::value, c);
  n->set_str(field::Constant::kind, kind);
  return n;
}

bool is_str_constant(const Node* n) {
  return n->kind == Kind::Constant && n->slot(field::Constant::value).cst->kind == ConstKind::Str;
}
std::string_view str_value(const Node* n) { return n->slot(field::Constant::value).cst->text->view(); }

}  // namespace

// Line ends inside literals read as "\n", whatever the file uses.
bool Parser::decode(std::string_view body, uint32_t offset, bool raw, bool bytes, std::string& out) {
  std::string normalized;
  if (body.find('\r') != std::string_view::npos) {
    normalized.reserve(body.size());
    for (size_t i = 0; i < body.size(); ++i) {
      if (body[i] == '\r') {
        normalized += '\n';
        if (i + 1 < body.size() && body[i + 1] == '\n') ++i;
      } else {
        normalized += body[i];
      }
    }
    body = normalized;
  }
  out.clear();
  if (body.find('\\') == std::string_view::npos) {
    // Nothing to decode: a str body is the source text itself; a bytes body
    // must still be ASCII.
    if (bytes) {
      for (size_t i = 0; i < body.size(); ++i)
        if (static_cast<unsigned char>(body[i]) >= 0x80) {
          fail("bytes can only contain ASCII literal characters", offset + static_cast<uint32_t>(i));
          return false;
        }
    }
    out.assign(body.data(), body.size());
    return true;
  }
  LiteralError err;
  if (!decode_string_body(body, offset, raw, bytes, out, err)) {
    fail(err.message.empty() ? std::string("invalid string literal") : err.message, err.offset);
    return false;
  }
  return true;
}

Node* Parser::string_constant(const Token& t) {
  std::string_view s = text(t);
  Prefix p = prefix_of(s);
  const size_t qs = (s.size() - p.length >= 6 && s[p.length] == s[p.length + 1] && s[p.length] == s[p.length + 2]) ? 3 : 1;
  std::string_view body = s.substr(p.length + qs, s.size() - p.length - 2 * qs);
  if (!decode(body, static_cast<uint32_t>(t.start + p.length + qs), p.raw, p.bytes, scratch_)) return nullptr;
  Const* c = arena_.constant(p.bytes ? ConstKind::Bytes : ConstKind::Str);
  c->text = arena_.str(scratch_);
  Node* n = make(Kind::Constant, t.start, t.end);
  n->set_const(field::Constant::value, c);
  if (!s.empty() && s[0] == 'u') n->set_str(field::Constant::kind, arena_.str("u"));
  return n;
}

Node* Parser::fstring_text_constant(const Token& t, bool raw) {
  std::string_view s = text(t);
  // A doubled brace stands for one brace; the token covers both.
  if (s.size() >= 2 && (s.substr(s.size() - 2) == "{{" || s.substr(s.size() - 2) == "}}")) s.remove_suffix(1);
  if (!raw && s.find('\\') == std::string_view::npos) raw = true;  // nothing to decode
  if (!decode(s, t.start, raw, false, scratch_)) return nullptr;
  return str_constant(arena_, scratch_, t.start, t.end, nullptr);
}

Node* Parser::strings() {
  const uint32_t start = cur().start;
  List* parts = nullptr;
  bool bytes = false, text_found = false, fstring_found = false;
  while (at(Tok::String) || at(Tok::FStringStart)) {
    Node* part;
    if (at(Tok::String)) {
      part = string_constant(cur());
      if (!part) return nullptr;
      if (part->slot(field::Constant::value).cst->kind == ConstKind::Bytes) bytes = true;
      else text_found = true;
      advance();
    } else {
      part = fstring();
      if (!part) return nullptr;
      fstring_found = true;
    }
    arena_.push_node(parts, part);
  }
  const uint32_t end = prev().end;
  if (bytes && (text_found || fstring_found)) return fail("cannot mix bytes and nonbytes literals", start);
  if (bytes) {
    if (parts->size == 1) return list_node(parts, 0);
    std::string joined;
    for (uint32_t i = 0; i < parts->size; ++i) {
      std::string_view v = list_node(parts, i)->slot(field::Constant::value).cst->text->view();
      joined.append(v.data(), v.size());
    }
    Const* c = arena_.constant(ConstKind::Bytes);
    c->text = arena_.str(joined);
    Node* n = make(Kind::Constant, start, end);
    n->set_const(field::Constant::value, c);
    return n;
  }
  if (!fstring_found && parts->size == 1) return list_node(parts, 0);

  // Flatten the f-strings' values, then fold runs of adjacent constants.
  List* flat = nullptr;
  for (uint32_t i = 0; i < parts->size; ++i) {
    Node* p = list_node(parts, i);
    if (p->kind == Kind::JoinedStr) {
      List* vals = p->list(field::JoinedStr::values);
      for (uint32_t j = 0; j < list_size(vals); ++j) arena_.push_node(flat, list_node(vals, j));
    } else {
      arena_.push_node(flat, p);
    }
  }
  List* values = nullptr;
  const uint32_t n = list_size(flat);
  for (uint32_t i = 0; i < n; ++i) {
    Node* e = list_node(flat, i);
    if (is_str_constant(e)) {
      if (i + 1 < n && is_str_constant(list_node(flat, i + 1))) {
        Node* first = e;
        Node* last = e;
        std::string joined;
        uint32_t j = i;
        for (; j < n && is_str_constant(list_node(flat, j)); ++j) {
          last = list_node(flat, j);
          std::string_view v = str_value(last);
          joined.append(v.data(), v.size());
        }
        i = j - 1;
        e = str_constant(arena_, joined, first->start, last->end, first->str(field::Constant::kind));
      }
      if (fstring_found && str_value(e).empty()) continue;
    }
    arena_.push_node(values, e);
  }
  if (!fstring_found) return list_node(values, 0);
  Node* j = make(Kind::JoinedStr, start, end);
  j->set_list(field::JoinedStr::values, values);
  return j;
}

Node* Parser::fstring() {
  Depth depth(*this);
  if (!depth.ok) return nullptr;
  const Token& open = cur();
  const bool raw = prefix_of(text(open)).raw;
  advance();
  List* values = nullptr;
  for (;;) {
    if (at(Tok::FStringMiddle)) {
      Node* c = fstring_text_constant(cur(), raw);
      if (!c) return nullptr;
      advance();
      if (!str_value(c).empty()) arena_.push_node(values, c);
    } else if (at(Tok::LBrace)) {
      Node* f = replacement_field();
      if (!f) return nullptr;
      if (f->kind == Kind::JoinedStr) {  // a debug field: its text, then the value
        List* vals = f->list(field::JoinedStr::values);
        // The text is decoded like the literal text around it: unless the
        // f-string is raw, the escapes of a string it quotes are applied
        // (f'{"\\n"=}' shows a line end, as the compiled program prints it).
        Node* shown = list_node(vals, 0);
        if (!raw && str_value(shown).find('\\') != std::string_view::npos) {
          const std::string written(str_value(shown));
          if (!decode(written, shown->start, false, false, scratch_)) return nullptr;
          shown = str_constant(arena_, scratch_, shown->start, shown->end, nullptr);
        }
        arena_.push_node(values, shown);
        for (uint32_t i = 1; i < list_size(vals); ++i) arena_.push_node(values, list_node(vals, i));
      } else {
        arena_.push_node(values, f);
      }
    } else if (at(Tok::FStringEnd)) {
      break;
    } else {
      return fail_here("'}' or the end of the f-string");
    }
  }
  Node* j = make(Kind::JoinedStr, open.start, cur().end);
  j->set_list(field::JoinedStr::values, values);
  advance();
  return j;
}

Node* Parser::replacement_field() {
  Depth depth(*this);
  if (!depth.ok) return nullptr;
  const Token& lbrace = cur();
  const size_t lbrace_index = checkpoint();
  advance();
  if (at(Tok::RBrace) || at(Tok::Exclamation) || at(Tok::Colon) || at(Tok::Equal))
    return fail("f-string: valid expression required before '" + std::string(text(cur())) + "'", cur().start);
  const uint32_t value_start = cur().start;
  Node* value = at(Tok::KwYield) ? yield_expr() : star_expressions();
  if (!value) return nullptr;
  if (value->kind == Kind::Lambda && value->start == value_start && at(Tok::Colon))
    return fail_at(value, "f-string: lambda expressions are not allowed without parentheses");
  const bool debug = accept(Tok::Equal);
  int64_t conversion = -1;
  const Token* bang = nullptr;
  const Token* conv_name = nullptr;
  if (at(Tok::Exclamation)) {
    bang = &cur();
    advance();
    if (!at(Tok::Name)) {
      if (at(Tok::RBrace) || at(Tok::Colon)) return fail("f-string: missing conversion character", cur().start);
      return fail_here("conversion character after '!'");
    }
    if (cur().start != bang->end)
      return fail("f-string: conversion type must come right after the exclamation mark", cur().start);
    std::string_view c = text(cur());
    if (c.size() != 1 || (c[0] != 's' && c[0] != 'r' && c[0] != 'a'))
      return fail("f-string: invalid conversion character '" + std::string(c) + "': expected 's', 'r', or 'a'",
                  cur().start);
    conversion = c[0];
    conv_name = &cur();
    advance();
  }
  Node* spec = nullptr;
  const Token* colon = nullptr;
  if (at(Tok::Colon)) {
    colon = &cur();
    advance();
    List* parts = nullptr;
    for (;;) {
      if (at(Tok::FStringMiddle)) {
        Node* c = fstring_text_constant(cur(), false);
        if (!c) return nullptr;
        arena_.push_node(parts, c);
        advance();
      } else if (at(Tok::LBrace)) {
        Node* f = replacement_field();
        if (!f) return nullptr;
        if (f->kind == Kind::JoinedStr) {
          // A debug field inside a spec: its text and value, as at the top
          // level (the interpreter fails to build this tree at all).
          List* vals = f->list(field::JoinedStr::values);
          for (uint32_t i = 0; i < list_size(vals); ++i) arena_.push_node(parts, list_node(vals, i));
        } else {
          arena_.push_node(parts, f);
        }
      } else {
        break;
      }
    }
    // An empty spec is an empty JoinedStr, not one holding ''.
    if (list_size(parts) == 1 && is_str_constant(list_node(parts, 0)) && str_value(list_node(parts, 0)).empty())
      parts = nullptr;
    spec = make(Kind::JoinedStr, colon->start, prev().end);
    spec->set_list(field::JoinedStr::values, parts);
  }
  if (!at(Tok::RBrace)) {
    if (!bang && !colon) return fail_here(debug ? "'!', ':' or '}' after '='" : "'=', '!', ':' or '}' in f-string");
    return fail_here(colon ? "'}' after the format spec" : "':' or '}'");
  }
  const Token& rbrace = cur();
  advance();
  if (debug && !bang && !colon) conversion = 'r';
  Node* fv = make(Kind::FormattedValue, lbrace.start, rbrace.end);
  fv->set_child(field::FormattedValue::value, value);
  fv->set_int(field::FormattedValue::conversion, conversion);
  fv->set_child(field::FormattedValue::format_spec, spec);
  if (!debug) return fv;

  // The expression's text as written, up to the conversion, spec or brace,
  // without comments (which only ever sit between tokens).
  const uint32_t text_end = bang ? bang->start : colon ? colon->start : rbrace.start;
  std::string debug_text;
  uint32_t at_offset = lbrace.end;
  for (size_t i = lbrace_index + 1; at_offset < text_end; ++i) {
    const uint32_t gap_end = i < toks_.size() && toks_[i].start < text_end ? toks_[i].start : text_end;
    bool comment = false;
    for (uint32_t k = at_offset; k < gap_end; ++k) {
      const char c = src_[k];
      if (c == '\r' || c == '\n') {
        comment = false;
        debug_text += '\n';
        if (c == '\r' && k + 1 < gap_end && src_[k + 1] == '\n') ++k;
      } else if (c == '#') {
        comment = true;
      } else if (!comment) {
        debug_text += c;
      }
    }
    if (gap_end >= text_end) break;
    std::string_view tok_text = src_.substr(toks_[i].start, toks_[i].end - toks_[i].start);
    for (size_t k = 0; k < tok_text.size(); ++k) {
      if (tok_text[k] == '\r') {
        debug_text += '\n';
        if (k + 1 < tok_text.size() && tok_text[k + 1] == '\n') ++k;
      } else {
        debug_text += tok_text[k];
      }
    }
    at_offset = toks_[i].end;
  }
  const uint32_t debug_end = conv_name ? conv_name->start : colon ? colon->start + 1 : rbrace.end;
  Node* dc = str_constant(arena_, debug_text, lbrace.start + 1, debug_end - 1, nullptr);
  Node* j = make(Kind::JoinedStr, lbrace.start, debug_end);
  List* vals = nullptr;
  arena_.push_node(vals, dc);
  arena_.push_node(vals, fv);
  j->set_list(field::JoinedStr::values, vals);
  return j;
}

}  // namespace quorbin::syntax
