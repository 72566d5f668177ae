// Token source, errors and the entry point.
#include <algorithm>
#include <cstring>
#include <memory>

#include "syntax/literals.h"
#include "syntax/parser_internal.h"

namespace quorbin::syntax {

bool Parser::expect(Tok k) {
  if (accept(k)) return true;
  fail_here(describe(k));
  return false;
}

std::nullptr_t Parser::fail(std::string message, uint32_t offset) {
  if (!failed_) {
    failed_ = true;
    error_.message = std::move(message);
    error_.offset = offset;
  }
  return nullptr;
}

std::nullptr_t Parser::fail_here(const char* expected) {
  const Token& t = cur();
  if (t.kind == Tok::Error) return fail(lex_error_.message, lex_error_.offset);
  std::string msg = "expected ";
  msg += expected;
  msg += ", found ";
  switch (t.kind) {
    case Tok::EndMarker: msg += "end of input"; break;
    case Tok::Newline: msg += "end of line"; break;
    case Tok::Indent: msg += "unexpected indent"; break;
    case Tok::Dedent: msg += "end of block"; break;
    case Tok::FStringMiddle: msg += "f-string text"; break;
    case Tok::FStringEnd: msg += "end of f-string"; break;
    default: {
      std::string_view s = text(t);
      if (s.size() > 40) {
        size_t cut = 40;  // on a character boundary: messages are UTF-8 text
        while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
        s = s.substr(0, cut);
      }
      if (t.kind == Tok::Name) msg += "name ";
      else if (t.kind == Tok::Number) msg += "number ";
      else if (t.kind == Tok::String || t.kind == Tok::FStringStart) msg += "string ";
      msg += '\'';
      msg.append(s.data(), s.size());
      msg += '\'';
    }
  }
  return fail(std::move(msg), t.start);
}

Soft Parser::soft(const Token& t) const {
  if (t.kind != Tok::Name) return Soft::None;
  std::string_view s = text(t);
  switch (s.size()) {
    case 1: return s[0] == '_' ? Soft::Underscore : Soft::None;
    case 4: return s == "type" ? Soft::Type : s == "case" ? Soft::Case : Soft::None;
    case 5: return s == "match" ? Soft::Match : Soft::None;
    default: return Soft::None;
  }
}

const Str* Parser::ident(const Token& t) {
  std::string_view s = text(t);
  return t.non_ascii ? arena_.str(normalize_identifier(s)) : arena_.str(s);
}

Node* Parser::name(const Token& t, ExprContext ctx) {
  Node* n = make(Kind::Name, t.start, t.end);
  n->set_str(field::Name::id, ident(t));
  n->set_int(field::Name::ctx, static_cast<int64_t>(ctx));
  return n;
}

Node* Parser::file() {
  List* body = nullptr;
  while (!failed_ && !at(Tok::EndMarker)) {
    const size_t before = pos_;
    statement(body);
    if (!failed_ && pos_ == before) fail_here("statement");
  }
  if (failed_) return nullptr;
  Node* module = make(Kind::Module, 0, 0);
  module->set_list(field::Module::body, body);
  return module;
}

namespace {

bool valid_utf8(std::string_view s, uint32_t& bad) {
  for (size_t i = 0; i < s.size();) {
    // Sources are mostly ASCII: eight bytes at a time while no high bit is set.
    uint64_t word;
    while (i + 8 <= s.size() && (std::memcpy(&word, s.data() + i, 8), (word & 0x8080808080808080u) == 0)) i += 8;
    if (i >= s.size()) break;
    if (static_cast<unsigned char>(s[i]) < 0x80) {
      ++i;
      continue;
    }
    char32_t cp;
    unsigned n = decode_utf8(s, i, cp);
    if (n == 0) {
      bad = static_cast<uint32_t>(i);
      return false;
    }
    i += n;
  }
  return true;
}

}  // namespace

ParseResult parse_module(std::string_view source, std::string_view filename) {
  return parse_module(source, filename, ParseLimits{});
}

ParseResult parse_module(std::string_view source, std::string_view filename, const ParseLimits& limits) {
  (void)filename;
  ParseResult result;
  const size_t max_bytes = std::min(limits.max_source_bytes, kMaxSourceBytes);
  if (source.size() > max_bytes) {
    // Refused whole: a prefix that fits would parse to a tree of another program.
    result.error = {max_bytes == kMaxSourceBytes
                        ? std::string("source is too large (4 GiB or more)")
                        : "source is too large (more than " + std::to_string(max_bytes) + " bytes)",
                    0};
    return result;
  }
  if (const void* nul = std::memchr(source.data(), 0, source.size())) {
    result.error = {"source code string cannot contain null bytes",
                    static_cast<uint32_t>(static_cast<const char*>(nul) - source.data())};
    return result;
  }
  uint32_t bad = 0;
  if (!valid_utf8(source, bad)) {
    result.error = {"source is not valid UTF-8", bad};
    return result;
  }
  // Trees are a few times the size of their source; one first chunk of
  // that size keeps most parses to a single allocation.
  result.tree.arena = std::make_shared<Arena>(std::max<size_t>(64 * 1024, source.size() * 8));
  std::vector<Token> tokens;
  LexError lex_error;
  tokenize(source, tokens, lex_error);
  Parser parser(source, tokens, lex_error, *result.tree.arena, limits.stack_bytes ? limits.stack_bytes : kStackBudget);
  Node* module = parser.file();
  if (!module) {
    result.error = parser.error();
    return result;
  }
  result.tree.module = module;
  result.ok = true;
  return result;
}

}  // namespace quorbin::syntax
