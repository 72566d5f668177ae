// The native syntax tree: arena-allocated nodes whose kinds and fields mirror
// the interpreter's ast classes. See docs/tree.md for the layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "syntax/tree_kinds.h"

namespace quorbin::syntax {

enum class Category : uint8_t { mod, stmt, expr, helper, excepthandler, pattern, type_ignore, type_param };

enum class Kind : uint8_t {
#define QUORBIN_X(name, cat, located, nfields) name,
  QUORBIN_SYNTAX_KINDS(QUORBIN_X)
#undef QUORBIN_X
  Count_
};
inline constexpr size_t kKindCount = static_cast<size_t>(Kind::Count_);

// What a slot holds; decides how generic walkers treat it.
enum class FieldType : uint8_t {
  Node,           // Node*, never null
  OptNode,        // Node*, may be null
  NodeList,       // List* of Node* (null list == empty)
  OptNodeList,    // List* of Node*, entries may be null (Dict.keys, kw_defaults)
  Ident,          // const Str*, never null
  OptIdent,       // const Str*, may be null
  IdentList,      // List* of const Str*
  Str,            // const Str*, never null
  OptStr,         // const Str*, may be null (Constant.kind, type_comment)
  Const,          // const Const*, never null
  Int,            // int64_t
  ExprContext,    // ExprContext in i
  BoolOperator,   // BoolOperator in i
  Operator,       // Operator in i
  UnaryOperator,  // UnaryOperator in i
  CmpOpList,      // List* of CmpOperator in i
};

enum class ExprContext : uint8_t { Load, Store, Del };
enum class BoolOperator : uint8_t { And, Or };
enum class Operator : uint8_t { Add, Sub, Mult, MatMult, Div, Mod, Pow, LShift, RShift, BitOr, BitXor, BitAnd, FloorDiv };
enum class UnaryOperator : uint8_t { Invert, Not, UAdd, USub };
enum class CmpOperator : uint8_t { Eq, NotEq, Lt, LtE, Gt, GtE, Is, IsNot, In, NotIn };

const char* name_of(ExprContext);
const char* name_of(BoolOperator);
const char* name_of(Operator);
const char* name_of(UnaryOperator);
const char* name_of(CmpOperator);

struct FieldInfo {
  const char* name;
  FieldType type;
};

struct KindInfo {
  const char* name;  // the ast class name
  Category category;
  bool located;      // carries lineno/col_offset/end_lineno/end_col_offset
  uint8_t field_count;
  const FieldInfo* fields;
};

const KindInfo& info(Kind kind);

// Slots per kind, the same numbers as info(kind).field_count, for the inline
// allocation path.
inline constexpr uint8_t kFieldCounts[] = {
#define QUORBIN_X(name, cat, located, nfields) nfields,
    QUORBIN_SYNTAX_KINDS(QUORBIN_X)
#undef QUORBIN_X
};
inline const char* name_of(Kind kind) { return info(kind).name; }

// Immutable byte string owned by an arena. Text is UTF-8, except that string
// constants may hold lone surrogates encoded as three-byte sequences (the
// interpreter's "surrogatepass" form), since "\ud800" is a valid literal.
struct Str {
  uint32_t size;
  uint32_t reserved_;
  const char* data() const { return reinterpret_cast<const char*>(this + 1); }
  std::string_view view() const { return {data(), size}; }
};

struct List;
struct Node;
struct Const;

union Slot {
  Node* node;
  List* list;
  const Str* str;
  const Const* cst;
  int64_t i;
};
static_assert(sizeof(Slot) == 8);

// A growable array inside an arena. Growth reallocates within the same arena
// (the old storage is simply abandoned), so a list may be spliced freely.
struct List {
  uint32_t size;
  uint32_t capacity;
  Slot* items;
};

enum class ConstKind : uint8_t { None, True, False, Ellipsis, Int, BigInt, Float, Complex, Str, Bytes, Tuple };

struct Const {
  ConstKind kind;
  // BigInt only: the radix of `text` (2, 8, 10 or 16). The text holds only
  // digits (no prefix, no underscores); base 10 may start with '-'.
  uint8_t base;
  union {
    int64_t i;        // Int: fits in 64 bits
    double f;         // Float value; Complex: imaginary part (real part is 0)
    const Str* text;  // BigInt digits; Str (UTF-8/surrogatepass); Bytes (raw)
    List* tuple;      // Tuple: List of Slot.cst
  };
};

// A tree node. The header is followed directly by `slot_count` slots, one per
// field of its kind, in field order. Unlocated kinds leave start/end at 0.
struct alignas(Slot) Node {  // slots follow the header, so it carries their alignment
  Kind kind;
  uint8_t slot_count;
  uint16_t flags;      // free for later layers; the parser leaves it 0
  uint32_t start;      // byte offset of the first byte
  uint32_t end;        // byte offset one past the last byte
  uint32_t reserved_;

  Slot* slots() { return reinterpret_cast<Slot*>(this + 1); }
  const Slot* slots() const { return reinterpret_cast<const Slot*>(this + 1); }
  Slot& slot(unsigned i) { return slots()[i]; }
  const Slot& slot(unsigned i) const { return slots()[i]; }

  Node* child(unsigned i) const { return slots()[i].node; }
  List* list(unsigned i) const { return slots()[i].list; }
  const Str* str(unsigned i) const { return slots()[i].str; }
  int64_t integer(unsigned i) const { return slots()[i].i; }

  void set_child(unsigned i, Node* n) { slots()[i].node = n; }
  void set_list(unsigned i, List* l) { slots()[i].list = l; }
  void set_str(unsigned i, const Str* s) { slots()[i].str = s; }
  void set_int(unsigned i, int64_t v) { slots()[i].i = v; }
  void set_const(unsigned i, const Const* c) { slots()[i].cst = c; }
};
static_assert(sizeof(Node) == 16 && alignof(Node) == alignof(Slot));

inline uint32_t list_size(const List* l) { return l ? l->size : 0; }
inline Node* list_node(const List* l, uint32_t i) { return l->items[i].node; }

// Bump allocator. Chunks grow geometrically; nothing is freed before the arena.
class Arena {
 public:
  explicit Arena(size_t first_chunk = 64 * 1024);
  ~Arena();
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;

  // The allocation paths are inline: the parser calls them for every node,
  // and a call into another file per node was a tenth of a parse.
  void* alloc(size_t size, size_t align = alignof(std::max_align_t)) {
    const auto p = reinterpret_cast<uintptr_t>(cursor_);
    const uintptr_t aligned = (p + (align - 1)) & ~(uintptr_t(align) - 1);
    if (cursor_ && aligned + size <= reinterpret_cast<uintptr_t>(limit_)) [[likely]] {
      cursor_ = reinterpret_cast<char*>(aligned + size);
      return reinterpret_cast<void*>(aligned);
    }
    return alloc_in_new_chunk(size, align);
  }

  Node* node(Kind kind, uint32_t start = 0, uint32_t end = 0) {  // slots zeroed
    const unsigned n = kFieldCounts[static_cast<size_t>(kind)];
    auto* node = static_cast<Node*>(alloc(sizeof(Node) + n * sizeof(Slot), alignof(Node)));
    node->kind = kind;
    node->slot_count = static_cast<uint8_t>(n);
    node->flags = 0;
    node->start = start;
    node->end = end;
    node->reserved_ = 0;
    std::memset(node->slots(), 0, n * sizeof(Slot));
    return node;
  }
  const Str* str(std::string_view text);
  Const* constant(ConstKind kind);
  List* list(uint32_t capacity = 0);

  // Appends to *l, creating the list when null.
  void push(List*& l, Slot value) {
    if (l && l->size < l->capacity) [[likely]] {
      l->items[l->size++] = value;
      return;
    }
    push_growing(l, value);
  }
  void push_node(List*& l, Node* n) { Slot s; s.node = n; push(l, s); }
  void push_str(List*& l, const Str* v) { Slot s; s.str = v; push(l, s); }
  void push_int(List*& l, int64_t v) { Slot s; s.i = v; push(l, s); }
  // Replaces items [at, at + remove) of *l by `count` items from `src`.
  void splice(List*& l, uint32_t at, uint32_t remove, const Slot* src, uint32_t count);

  size_t bytes_reserved() const { return reserved_; }

 private:
  struct Chunk;
  Chunk* head_ = nullptr;
  char* cursor_ = nullptr;
  char* limit_ = nullptr;
  size_t next_chunk_;
  size_t reserved_ = 0;
  void grow(size_t at_least);
  void* alloc_in_new_chunk(size_t size, size_t align);
  void push_growing(List*& l, Slot value);
};

// A module tree with the arena that owns its nodes.
struct Tree {
  std::shared_ptr<Arena> arena = std::make_shared<Arena>();
  Node* module = nullptr;  // Kind::Module
};

// Deep copy of a subtree (nodes, lists, strings, constants) into `into`.
Node* deep_copy(const Node* node, Arena& into);
Tree deep_copy(const Tree& tree);

// Per-class node counts as described for NativeModule: every node once by its
// class name; contexts and operators are not nodes.
using NodeCounts = std::map<std::string_view, uint64_t>;  // keys are the static class names
void count_nodes(const Node* root, NodeCounts& counts);

}  // namespace quorbin::syntax
