// libFuzzer harness for the native parser. Every input is parsed; a refusal
// must carry an offset inside the source, an accepted source must give a tree
// whose shape and ranges hold the invariants every later layer relies on.
// Any violation aborts with a description, which libFuzzer records as a crash
// together with the input. See tools/fuzz/README.md.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "syntax/parser.h"
#include "syntax/tree.h"

using namespace quorbin::syntax;

namespace {

[[noreturn]] void violation(const char* what, const Node* n, std::string_view source) {
  std::fprintf(stderr, "tree invariant violated: %s", what);
  if (n) {
    std::fprintf(stderr, " (node %s, range %u..%u, source size %zu)", name_of(n->kind), n->start, n->end,
                 source.size());
  }
  std::fputc('\n', stderr);
  std::abort();
}

bool is_continuation(std::string_view s, uint32_t offset) {
  return offset < s.size() && (static_cast<unsigned char>(s[offset]) & 0xC0) == 0x80;
}

// Strict UTF-8 (no surrogates, no overlong forms) or, with `surrogates`,
// the three-byte surrogate form string constants use for lone surrogates.
bool valid_utf8(std::string_view s, bool surrogates) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const size_t n = s.size();
  for (size_t i = 0; i < n;) {
    const unsigned c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    unsigned len;
    uint32_t cp;
    uint32_t min;
    if ((c & 0xE0) == 0xC0) len = 2, cp = c & 0x1F, min = 0x80;
    else if ((c & 0xF0) == 0xE0) len = 3, cp = c & 0x0F, min = 0x800;
    else if ((c & 0xF8) == 0xF0) len = 4, cp = c & 0x07, min = 0x10000;
    else return false;
    if (i + len > n) return false;
    for (unsigned k = 1; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF) return false;
    if (!surrogates && cp >= 0xD800 && cp <= 0xDFFF) return false;
    i += len;
  }
  return true;
}

// Where a child may lie outside its parent's range. A function or class
// starts at `def`/`class` (or `async`), after its decorators, as the
// interpreter places it; everything else nests.
bool may_escape_parent(Kind parent, unsigned field) {
  switch (parent) {
    case Kind::FunctionDef: return field == field::FunctionDef::decorator_list;
    case Kind::AsyncFunctionDef: return field == field::AsyncFunctionDef::decorator_list;
    case Kind::ClassDef: return field == field::ClassDef::decorator_list;
    default: return false;
  }
}

struct Frame {
  const Node* node;
  // The range the node must lie in: its nearest located ancestor's, or the
  // whole source when no ancestor constrains it.
  uint32_t lo;
  uint32_t hi;
};

class Checker {
 public:
  explicit Checker(std::string_view source) : src_(source) {}

  // Returns the number of nodes reached.
  uint64_t check(const Node* module) {
    if (!module || module->kind != Kind::Module) violation("the root is not a Module", module, src_);
    const uint32_t size = static_cast<uint32_t>(src_.size());
    stack_.push_back({module, 0, size});
    uint64_t count = 0;
    while (!stack_.empty()) {
      const Frame f = stack_.back();
      stack_.pop_back();
      ++count;
      visit(f);
    }
    return count;
  }

 private:
  std::string_view src_;
  std::vector<Frame> stack_;
  std::unordered_set<const Node*> seen_;

  void visit(const Frame& f) {
    const Node* n = f.node;
    if (static_cast<size_t>(n->kind) >= kKindCount) violation("unknown node kind", nullptr, src_);
    const KindInfo& ki = info(n->kind);
    // A node reachable twice would be edited in two places at once by any
    // in-place rewrite, and copied twice by a copy.
    if (!seen_.insert(n).second) violation("node shared between two parents", n, src_);
    if (n->slot_count != ki.field_count) violation("slot count differs from the kind's field count", n, src_);
    if (n->flags != 0) violation("parser left flags set", n, src_);
    uint32_t lo = f.lo, hi = f.hi;
    if (ki.located) {
      if (n->start > n->end) violation("start after end", n, src_);
      if (n->end > src_.size()) violation("range past the end of the source", n, src_);
      if (is_continuation(src_, n->start) || is_continuation(src_, n->end))
        violation("range not on a UTF-8 character boundary", n, src_);
      if (n->start < f.lo || n->end > f.hi) violation("range outside the parent's range", n, src_);
      lo = n->start;
      hi = n->end;
    } else if (n->start != 0 || n->end != 0) {
      violation("unlocated node with a range", n, src_);
    }
    for (unsigned i = 0; i < ki.field_count; ++i) {
      const Slot& s = n->slot(i);
      const FieldType type = ki.fields[i].type;
      const uint32_t clo = may_escape_parent(n->kind, i) ? 0 : lo;
      const uint32_t chi = may_escape_parent(n->kind, i) ? static_cast<uint32_t>(src_.size()) : hi;
      switch (type) {
        case FieldType::Node:
          if (!s.node) violation("required child is null", n, src_);
          stack_.push_back({s.node, clo, chi});
          break;
        case FieldType::OptNode:
          if (s.node) stack_.push_back({s.node, clo, chi});
          break;
        case FieldType::NodeList:
        case FieldType::OptNodeList:
          check_list(n, s.list);
          for (uint32_t j = 0; j < list_size(s.list); ++j) {
            const Node* c = s.list->items[j].node;
            if (!c) {
              if (type == FieldType::NodeList) violation("null entry in a node list", n, src_);
              continue;
            }
            stack_.push_back({c, clo, chi});
          }
          break;
        case FieldType::Ident:
        case FieldType::OptIdent:
          if (!s.str) {
            if (type == FieldType::Ident) violation("required identifier is null", n, src_);
            break;
          }
          check_ident(n, s.str);
          break;
        case FieldType::IdentList:
          check_list(n, s.list);
          for (uint32_t j = 0; j < list_size(s.list); ++j) check_ident(n, s.list->items[j].str);
          break;
        case FieldType::Str:
        case FieldType::OptStr:
          if (!s.str) {
            if (type == FieldType::Str) violation("required string is null", n, src_);
            break;
          }
          if (!valid_utf8(s.str->view(), false)) violation("string field is not UTF-8", n, src_);
          break;
        case FieldType::Const:
          if (!s.cst) violation("constant is null", n, src_);
          check_const(n, s.cst, 0);
          break;
        case FieldType::Int:
          break;
        case FieldType::ExprContext:
          if (s.i < 0 || s.i > 2) violation("expression context out of range", n, src_);
          break;
        case FieldType::BoolOperator:
          if (s.i < 0 || s.i > 1) violation("boolean operator out of range", n, src_);
          break;
        case FieldType::Operator:
          if (s.i < 0 || s.i > 12) violation("binary operator out of range", n, src_);
          break;
        case FieldType::UnaryOperator:
          if (s.i < 0 || s.i > 3) violation("unary operator out of range", n, src_);
          break;
        case FieldType::CmpOpList:
          check_list(n, s.list);
          for (uint32_t j = 0; j < list_size(s.list); ++j)
            if (s.list->items[j].i < 0 || s.list->items[j].i > 9) violation("comparison operator out of range", n, src_);
          break;
      }
    }
    check_kind_specific(n);
  }

  void check_list(const Node* n, const List* l) {
    if (l && l->size > l->capacity) violation("list size above its capacity", n, src_);
    if (l && l->size && !l->items) violation("list without storage", n, src_);
  }

  void check_ident(const Node* n, const Str* s) {
    if (!s) violation("null identifier in a list", n, src_);
    if (s->size == 0) violation("empty identifier", n, src_);
    if (!valid_utf8(s->view(), false)) violation("identifier is not UTF-8", n, src_);
    if (s->data()[s->size] != '\0') violation("arena string not terminated", n, src_);
  }

  void check_const(const Node* n, const Const* c, int depth) {
    if (depth > 64) violation("constant tuple nested implausibly deep", n, src_);
    switch (c->kind) {
      case ConstKind::None:
      case ConstKind::True:
      case ConstKind::False:
      case ConstKind::Ellipsis:
      case ConstKind::Int:
      case ConstKind::Float:
      case ConstKind::Complex:
        break;
      case ConstKind::BigInt: {
        if (!c->text || c->text->size == 0) violation("big integer without digits", n, src_);
        if (c->base != 2 && c->base != 8 && c->base != 10 && c->base != 16)
          violation("big integer with an unknown base", n, src_);
        std::string_view d = c->text->view();
        if (c->base == 10 && d[0] == '-') d.remove_prefix(1);
        for (char ch : d) {
          const int v = ch >= '0' && ch <= '9' ? ch - '0'
                        : ch >= 'a' && ch <= 'f' ? ch - 'a' + 10
                        : ch >= 'A' && ch <= 'F' ? ch - 'A' + 10
                                                 : 99;
          if (v >= c->base) violation("big integer digit outside its base", n, src_);
        }
        break;
      }
      case ConstKind::Str:
        if (!c->text) violation("string constant without text", n, src_);
        if (!valid_utf8(c->text->view(), true)) violation("string constant is not UTF-8/surrogatepass", n, src_);
        break;
      case ConstKind::Bytes:
        if (!c->text) violation("bytes constant without data", n, src_);
        break;
      case ConstKind::Tuple:
        for (uint32_t j = 0; j < list_size(c->tuple); ++j) check_const(n, c->tuple->items[j].cst, depth + 1);
        break;
      default:
        violation("unknown constant kind", n, src_);
    }
  }

  // Shapes the conversion and the compiler rely on beyond the field types.
  void check_kind_specific(const Node* n) {
    switch (n->kind) {
      case Kind::Dict:
        if (list_size(n->list(field::Dict::keys)) != list_size(n->list(field::Dict::values)))
          violation("Dict keys and values differ in length", n, src_);
        break;
      case Kind::Compare:
        if (list_size(n->list(field::Compare::ops)) == 0 ||
            list_size(n->list(field::Compare::ops)) != list_size(n->list(field::Compare::comparators)))
          violation("Compare ops and comparators differ in length", n, src_);
        break;
      case Kind::BoolOp:
        if (list_size(n->list(field::BoolOp::values)) < 2) violation("BoolOp with fewer than two values", n, src_);
        break;
      case Kind::MatchMapping:
        if (list_size(n->list(field::MatchMapping::keys)) != list_size(n->list(field::MatchMapping::patterns)))
          violation("MatchMapping keys and patterns differ in length", n, src_);
        break;
      case Kind::MatchClass:
        if (list_size(n->list(field::MatchClass::kwd_attrs)) != list_size(n->list(field::MatchClass::kwd_patterns)))
          violation("MatchClass keyword names and patterns differ in length", n, src_);
        break;
      case Kind::arguments: {
        const Node* a = n;
        if (list_size(a->list(field::arguments::kwonlyargs)) != list_size(a->list(field::arguments::kw_defaults)))
          violation("keyword-only parameters and their defaults differ in length", n, src_);
        if (list_size(a->list(field::arguments::defaults)) >
            list_size(a->list(field::arguments::posonlyargs)) + list_size(a->list(field::arguments::args)))
          violation("more defaults than positional parameters", n, src_);
        break;
      }
      case Kind::FormattedValue: {
        const int64_t conv = n->integer(field::FormattedValue::conversion);
        if (conv != -1 && conv != 's' && conv != 'r' && conv != 'a') violation("unknown f-string conversion", n, src_);
        const Node* spec = n->child(field::FormattedValue::format_spec);
        if (spec && spec->kind != Kind::JoinedStr) violation("format spec is not a JoinedStr", n, src_);
        break;
      }
      case Kind::Module:
      case Kind::If:
      case Kind::While:
      case Kind::For:
      case Kind::AsyncFor:
      case Kind::With:
      case Kind::AsyncWith:
      case Kind::FunctionDef:
      case Kind::AsyncFunctionDef:
      case Kind::ClassDef:
        break;
      default:
        break;
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view source(reinterpret_cast<const char*>(data), size);
  ParseResult result = parse_module(source, "<fuzz>");
  if (!result.ok) {
    if (result.tree.module) violation("a refused source left a tree", nullptr, source);
    if (result.error.message.empty()) violation("refusal without a message", nullptr, source);
    if (result.error.offset > size) violation("error offset past the end of the source", nullptr, source);
    if (!valid_utf8(result.error.message, false)) violation("error message is not UTF-8", nullptr, source);
    // Valid text gets an offset on a character boundary; only the report of
    // invalid UTF-8 itself may point into the middle of a sequence.
    if (valid_utf8(source, false) && is_continuation(source, result.error.offset))
      violation("error offset inside a UTF-8 sequence", nullptr, source);
    return 0;
  }
  if (!valid_utf8(source, false)) violation("invalid UTF-8 accepted", nullptr, source);
  const uint64_t nodes = Checker(source).check(result.tree.module);

  // The generic walks every later layer uses must agree on the tree.
  NodeCounts counts;
  count_nodes(result.tree.module, counts);
  uint64_t counted = 0;
  for (const auto& [name, c] : counts) counted += c;
  if (counted != nodes) violation("count_nodes disagrees with the walk", nullptr, source);
  Tree copy = deep_copy(result.tree);
  NodeCounts copy_counts;
  count_nodes(copy.module, copy_counts);
  if (copy_counts != counts) violation("deep_copy changed the node counts", nullptr, source);
  Checker(source).check(copy.module);
  return 0;
}
