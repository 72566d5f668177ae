// Tokens: a kind and a byte range into the source. Values (names, numbers,
// string bodies) are decoded by the parser from the slice when it needs them.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string_view>

namespace quorbin::syntax {

#define QUORBIN_TOKENS(T)                                                                       \
  T(EndMarker, "end of input") T(Newline, "newline") T(Indent, "indent") T(Dedent, "dedent")     \
  T(Name, "name") T(Number, "number") T(String, "string") T(FStringStart, "f-string start")      \
  T(FStringMiddle, "f-string text") T(FStringEnd, "f-string end") T(Error, "invalid token")     \
  /* operators */                                                                               \
  T(LPar, "'('") T(RPar, "')'") T(LSqb, "'['") T(RSqb, "']'") T(LBrace, "'{'") T(RBrace, "'}'") \
  T(Colon, "':'") T(Comma, "','") T(Semi, "';'") T(Dot, "'.'") T(Ellipsis, "'...'")             \
  T(Plus, "'+'") T(Minus, "'-'") T(Star, "'*'") T(Slash, "'/'") T(VBar, "'|'") T(Amper, "'&'")   \
  T(Less, "'<'") T(Greater, "'>'") T(Equal, "'='") T(Percent, "'%'") T(Tilde, "'~'")             \
  T(Circumflex, "'^'") T(At, "'@'") T(Exclamation, "'!'") T(EqEqual, "'=='")                     \
  T(NotEqual, "'!='") T(LessEqual, "'<='") T(GreaterEqual, "'>='") T(LeftShift, "'<<'")          \
  T(RightShift, "'>>'") T(DoubleStar, "'**'") T(DoubleSlash, "'//'") T(RArrow, "'->'")           \
  T(ColonEqual, "':='")                                                                         \
  /* augmented assignment, in the order of Operator */                                           \
  T(PlusEqual, "'+='") T(MinEqual, "'-='") T(StarEqual, "'*='") T(AtEqual, "'@='")               \
  T(SlashEqual, "'/='") T(PercentEqual, "'%='") T(DoubleStarEqual, "'**='")                      \
  T(LeftShiftEqual, "'<<='") T(RightShiftEqual, "'>>='") T(VBarEqual, "'|='")                   \
  T(CircumflexEqual, "'^='") T(AmperEqual, "'&='") T(DoubleSlashEqual, "'//='")                  \
  /* hard keywords */                                                                           \
  T(KwFalse, "'False'") T(KwNone, "'None'") T(KwTrue, "'True'") T(KwAnd, "'and'")                \
  T(KwAs, "'as'") T(KwAssert, "'assert'") T(KwAsync, "'async'") T(KwAwait, "'await'")            \
  T(KwBreak, "'break'") T(KwClass, "'class'") T(KwContinue, "'continue'") T(KwDef, "'def'")      \
  T(KwDel, "'del'") T(KwElif, "'elif'") T(KwElse, "'else'") T(KwExcept, "'except'")              \
  T(KwFinally, "'finally'") T(KwFor, "'for'") T(KwFrom, "'from'") T(KwGlobal, "'global'")        \
  T(KwIf, "'if'") T(KwImport, "'import'") T(KwIn, "'in'") T(KwIs, "'is'") T(KwLambda, "'lambda'") \
  T(KwNonlocal, "'nonlocal'") T(KwNot, "'not'") T(KwOr, "'or'") T(KwPass, "'pass'")              \
  T(KwRaise, "'raise'") T(KwReturn, "'return'") T(KwTry, "'try'") T(KwWhile, "'while'")          \
  T(KwWith, "'with'") T(KwYield, "'yield'")

enum class Tok : uint8_t {
#define QUORBIN_T(name, text) name,
  QUORBIN_TOKENS(QUORBIN_T)
#undef QUORBIN_T
      Count_
};

// How a token kind is named in error messages ("expected ':'").
const char* describe(Tok kind);

struct Token {
  uint32_t start;
  uint32_t end;
  Tok kind;
  // Set by the lexer on names with characters beyond ASCII, the only ones
  // that need normalizing; the parser then need not scan every name again.
  bool non_ascii = false;
  std::string_view text(std::string_view source) const { return source.substr(start, end - start); }
};
static_assert(sizeof(Token) <= 12);

// Sets of token kinds, for first-sets and "can this start an expression".
class TokSet {
 public:
  constexpr TokSet() = default;
  constexpr TokSet(std::initializer_list<Tok> kinds) {
    for (Tok k : kinds) add(k);
  }
  constexpr void add(Tok k) { bits_[unsigned(k) / 64] |= uint64_t(1) << (unsigned(k) % 64); }
  constexpr bool has(Tok k) const { return (bits_[unsigned(k) / 64] >> (unsigned(k) % 64)) & 1; }

 private:
  uint64_t bits_[(unsigned(Tok::Count_) + 63) / 64] = {};
};

}  // namespace quorbin::syntax
