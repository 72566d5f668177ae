// Shared declarations of the parser's translation units (core, expressions,
// statements, patterns, strings). Not part of the public interface.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "syntax/lexer.h"
#include "syntax/parser.h"
#include "syntax/token.h"
#include "syntax/tree.h"

namespace quorbin::syntax {

// Soft keywords are names everywhere except where one classifier says so.
enum class Soft : uint8_t { None, Match, Case, Type, Underscore };

// Recursion budget. Every construct that can nest without limit (unary
// operators, `not`, conditional expressions, lambdas, `**`, brackets, nested
// blocks and patterns) spends one unit per level. The interpreter refuses
// input at about 3,000 such levels (200 for brackets), so 5,000 accepts all
// it accepts; the count is also the bound on the depth of every tree later
// walks receive.
constexpr int kMaxDepth = 5000;

// Stack budget: the bytes of C stack a parse may use below the frame it
// started in. Levels differ in cost (a lambda default is four times a unary
// minus, a bracket ten), so the count alone cannot bound the stack, and
// under AddressSanitizer, or unoptimized, every frame is several times larger
// than in a release build. The budgets hold the costliest source the
// interpreter accepts two and a half times over or more, leave the level
// count the bound for every construct alone in an optimized build, and, with
// the caller's own frames, fit
// the default 8 MB stack of the main thread and of `threading` threads
// (docs/parser.md has the measured bytes per level).
#if defined(__SANITIZE_ADDRESS__)
#define QUORBIN_LARGE_FRAMES 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUORBIN_LARGE_FRAMES 1
#endif
#endif
#if !defined(QUORBIN_LARGE_FRAMES) && !defined(__OPTIMIZE__)
#define QUORBIN_LARGE_FRAMES 1
#endif
#ifdef QUORBIN_LARGE_FRAMES
constexpr uintptr_t kStackBudget = uintptr_t(4) << 20;
#else
constexpr uintptr_t kStackBudget = uintptr_t(2) << 20;
#endif

class Parser {
 public:
  // Constructed in the parse's entry frame: the stack budget is counted from
  // there (stacks grow down on every target built for).
  [[gnu::always_inline]] Parser(std::string_view source, const std::vector<Token>& tokens,
                                const LexError& lex_error, Arena& arena, uintptr_t stack_budget = kStackBudget)
      : src_(source), toks_(tokens), lex_error_(lex_error), arena_(arena),
        stack_floor_(floor_below_here(stack_budget)) {}

  Node* file();
  bool failed() const { return failed_; }
  const SyntaxErrorInfo& error() const { return error_; }

  // ------------------------------------------------------------ token source
  const Token& cur() const { return toks_[pos_]; }
  const Token& peek(size_t n = 1) const {
    size_t i = pos_ + n;
    return toks_[i < toks_.size() ? i : toks_.size() - 1];
  }
  const Token& prev() const { return toks_[pos_ - 1]; }
  Tok kind() const { return toks_[pos_].kind; }
  bool at(Tok k) const { return toks_[pos_].kind == k; }
  void advance() {
    if (pos_ + 1 < toks_.size()) ++pos_;
  }
  bool accept(Tok k) {
    if (!at(k)) return false;
    advance();
    return true;
  }
  bool expect(Tok k);
  size_t checkpoint() const { return pos_; }
  void rewind(size_t mark) { pos_ = mark; }
  std::string_view text(const Token& t) const { return t.text(src_); }
  Soft soft(const Token& t) const;

  // ------------------------------------------------------------ errors
  // The first error wins; every parse function returns null once failed.
  std::nullptr_t fail(std::string message, uint32_t offset);
  std::nullptr_t fail_here(const char* expected);  // "expected X, found Y"
  std::nullptr_t fail_at(const Node* n, std::string message) { return fail(std::move(message), n->start); }
  struct Speculation {
    size_t pos;
    bool failed;
  };
  Speculation speculate() const { return {pos_, failed_}; }
  void give_up(const Speculation& s) {
    pos_ = s.pos;
    failed_ = s.failed;
    if (!failed_) error_ = {};
  }

  // The stack position is taken where the guard is inlined, the recursing
  // function itself: two compares per level.
  [[gnu::always_inline]] bool room_for_level() { return ++depth_ <= kMaxDepth && stack_position() > stack_floor_; }
  void fail_too_deep() { fail("too deeply nested: the source exceeds the parser's nesting limit", cur().start); }

  struct Depth {
    Parser& p;
    bool ok;
    [[gnu::always_inline]] explicit Depth(Parser& parser) : p(parser), ok(parser.room_for_level()) {
      if (!ok) p.fail_too_deep();
    }
    ~Depth() { --p.depth_; }
  };

  // Left-folded constructs (postfix chains, one precedence level of binary
  // operators, pattern dotted names) deepen the tree by one level per step
  // without recursing here. Each step spends a unit until the chain ends, so
  // the trees handed to later walks, which recurse, stay within the budget.
  struct Chain {
    Parser& p;
    int spent = 0;
    explicit Chain(Parser& parser) : p(parser) {}
    Chain(const Chain&) = delete;
    Chain& operator=(const Chain&) = delete;
    [[nodiscard]] bool step() {
      ++spent;
      if (p.room_for_level()) return true;
      p.fail_too_deep();
      return false;
    }
    ~Chain() { p.depth_ -= spent; }
  };

  // ------------------------------------------------------------ nodes
  Node* make(Kind k, uint32_t start, uint32_t end) { return arena_.node(k, start, end); }
  const Str* ident(const Token& t);
  Node* name(const Token& t, ExprContext ctx);
  Arena& arena() { return arena_; }
  static uint32_t list_end(const List* l) { return list_node(l, l->size - 1)->end; }
  // End of the last consumed token that is not NEWLINE, INDENT or DEDENT:
  // where a compound statement ends.
  uint32_t last_real_end() const {
    size_t i = pos_;
    while (i > 0) {
      const Tok k = toks_[i - 1].kind;
      if (k != Tok::Newline && k != Tok::Indent && k != Tok::Dedent) return toks_[i - 1].end;
      --i;
    }
    return 0;
  }

  // ------------------------------------------------------------ expressions
  Node* star_expressions();
  Node* star_expression();
  // `*` (the current token) and its operand, as a Starred node.
  Node* starred(Node* (Parser::*operand)());
  Node* star_named_expression();
  Node* named_expression();
  Node* expression();
  Node* bool_chain(Tok keyword, BoolOperator op, Node* (Parser::*operand)());
  Node* disjunction();
  Node* conjunction();
  Node* inversion();
  Node* comparison();
  Node* bitwise_or() { return binary(1); }
  Node* binary(int min_prec);
  Node* factor();
  Node* power();
  Node* primary();
  Node* atom();
  Node* yield_expr();
  Node* lambdef();
  Node* paren_atom();
  Node* list_atom();
  Node* brace_atom();
  List* comprehension_clauses();
  Node* slices();
  Node* slice();
  bool call_arguments(Node* call, Tok closer);
  Node* parameters(bool is_lambda, Tok closer);
  Node* param(bool is_lambda, bool star_annotation);
  bool can_start_expression(Tok k) const;
  Node* target_list(bool allow_tuple);  // star_targets, parsed at the primary level
  Node* star_target();
  // Validates and stores an assignment/for/with/del target; message on failure.
  bool set_context(Node* n, ExprContext ctx);
  const char* expr_name(const Node* n) const;

  // ------------------------------------------------------------ strings
  Node* strings();
  Node* fstring();
  Node* replacement_field();
  Node* string_constant(const Token& t);
  Node* fstring_text_constant(const Token& t, bool raw);
  bool decode(std::string_view body, uint32_t offset, bool raw, bool bytes, std::string& out);

  // ------------------------------------------------------------ statements
  void statement(List*& body);
  bool simple_stmts(List*& body);
  Node* simple_stmt();
  Node* compound_stmt();
  List* block();
  Node* assignment_or_expr();
  Node* import_stmt();
  Node* from_stmt();
  Node* if_stmt(bool elif);
  Node* while_stmt();
  Node* for_stmt(uint32_t start, bool is_async);
  Node* with_stmt(uint32_t start, bool is_async);
  Node* try_stmt();
  Node* def_stmt(List* decorators, uint32_t start, bool is_async);
  Node* class_stmt(List* decorators);
  Node* decorated();
  Node* type_alias();
  List* type_params();
  Node* match_stmt();
  List* else_block();

  // ------------------------------------------------------------ patterns
  Node* patterns();
  Node* pattern();
  Node* or_pattern();
  Node* closed_pattern();
  Node* star_or_pattern();
  Node* sequence_pattern(Tok closer, uint32_t start);
  Node* mapping_pattern();
  Node* class_pattern(Node* cls);
  Node* literal_expr();  // signed numbers, complex numbers, strings, None/True/False
  Node* name_or_attr();

 private:
  std::string_view src_;
  const std::vector<Token>& toks_;
  const LexError& lex_error_;
  Arena& arena_;
  size_t pos_ = 0;
  bool failed_ = false;
  SyntaxErrorInfo error_;
  int depth_ = 0;
  uintptr_t stack_floor_;  // a frame at or below this address is out of budget
  std::string scratch_;

  // On x86-64 the stack pointer itself: __builtin_frame_address would make
  // every recursing function set up a frame pointer, a few percent of the
  // parse.
  [[gnu::always_inline]] static uintptr_t stack_position() {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    uintptr_t sp;
    asm("mov %%rsp, %0" : "=r"(sp));
    return sp;
#else
    return reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
#endif
  }
  [[gnu::always_inline]] static uintptr_t floor_below_here(uintptr_t budget) {
    const uintptr_t entry = stack_position();
    return entry > budget ? entry - budget : 0;
  }
};

}  // namespace quorbin::syntax
