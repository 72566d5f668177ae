#include "syntax/tree.h"

#include <algorithm>
#include <cstdlib>
#include <new>

namespace quorbin::syntax {

namespace {

#define QUORBIN_F(kind, fname, ftype) {#fname, FieldType::ftype},
constexpr FieldInfo kAllFields[] = {QUORBIN_SYNTAX_FIELDS(QUORBIN_F){nullptr, FieldType::Node}};
#undef QUORBIN_F

struct KindTable {
  KindInfo kinds[kKindCount];
  constexpr KindTable() : kinds{} {
    const char* names[] = {
#define QUORBIN_X(name, cat, located, nfields) #name,
        QUORBIN_SYNTAX_KINDS(QUORBIN_X)
#undef QUORBIN_X
    };
    const Category cats[] = {
#define QUORBIN_X(name, cat, located, nfields) Category::cat,
        QUORBIN_SYNTAX_KINDS(QUORBIN_X)
#undef QUORBIN_X
    };
    const bool located[] = {
#define QUORBIN_X(name, cat, loc, nfields) loc,
        QUORBIN_SYNTAX_KINDS(QUORBIN_X)
#undef QUORBIN_X
    };
    const uint8_t counts[] = {
#define QUORBIN_X(name, cat, located, nfields) nfields,
        QUORBIN_SYNTAX_KINDS(QUORBIN_X)
#undef QUORBIN_X
    };
    size_t offset = 0;
    for (size_t k = 0; k < kKindCount; ++k) {
      kinds[k] = KindInfo{names[k], cats[k], located[k], counts[k], kAllFields + offset};
      offset += counts[k];
    }
  }
};
constexpr KindTable kTable;

constexpr bool field_counts_agree() {
  for (size_t k = 0; k < kKindCount; ++k)
    if (kTable.kinds[k].field_count != kFieldCounts[k]) return false;
  return true;
}
static_assert(field_counts_agree());

}  // namespace

const KindInfo& info(Kind kind) { return kTable.kinds[static_cast<size_t>(kind)]; }

const char* name_of(ExprContext v) {
  static const char* const n[] = {"Load", "Store", "Del"};
  return n[static_cast<int>(v)];
}
const char* name_of(BoolOperator v) {
  static const char* const n[] = {"And", "Or"};
  return n[static_cast<int>(v)];
}
const char* name_of(Operator v) {
  static const char* const n[] = {"Add",    "Sub",    "Mult",  "MatMult", "Div",    "Mod",     "Pow",
                                  "LShift", "RShift", "BitOr", "BitXor",  "BitAnd", "FloorDiv"};
  return n[static_cast<int>(v)];
}
const char* name_of(UnaryOperator v) {
  static const char* const n[] = {"Invert", "Not", "UAdd", "USub"};
  return n[static_cast<int>(v)];
}
const char* name_of(CmpOperator v) {
  static const char* const n[] = {"Eq", "NotEq", "Lt", "LtE", "Gt", "GtE", "Is", "IsNot", "In", "NotIn"};
  return n[static_cast<int>(v)];
}

// ---------------------------------------------------------------- arena

struct Arena::Chunk {
  Chunk* next;
  size_t size;
};

Arena::Arena(size_t first_chunk) : next_chunk_(std::max<size_t>(first_chunk, 4096)) {}

Arena::~Arena() {
  while (head_) {
    Chunk* next = head_->next;
    std::free(head_);
    head_ = next;
  }
}

void Arena::grow(size_t at_least) {
  size_t size = std::max(next_chunk_, at_least + sizeof(Chunk) + alignof(std::max_align_t));
  auto* chunk = static_cast<Chunk*>(std::malloc(size));
  if (!chunk) throw std::bad_alloc();
  chunk->next = head_;
  chunk->size = size;
  head_ = chunk;
  cursor_ = reinterpret_cast<char*>(chunk + 1);
  limit_ = reinterpret_cast<char*>(chunk) + size;
  reserved_ += size;
  if (next_chunk_ < (size_t(64) << 20)) next_chunk_ *= 2;
}

void* Arena::alloc_in_new_chunk(size_t size, size_t align) {
  grow(size + align);
  const auto p = reinterpret_cast<uintptr_t>(cursor_);
  const uintptr_t aligned = (p + (align - 1)) & ~(uintptr_t(align) - 1);
  cursor_ = reinterpret_cast<char*>(aligned + size);
  return reinterpret_cast<void*>(aligned);
}

const Str* Arena::str(std::string_view text) {
  void* mem = alloc(sizeof(Str) + text.size() + 1, alignof(Str));
  auto* s = static_cast<Str*>(mem);
  s->size = static_cast<uint32_t>(text.size());
  s->reserved_ = 0;
  char* data = reinterpret_cast<char*>(s + 1);
  if (!text.empty()) std::memcpy(data, text.data(), text.size());
  data[text.size()] = '\0';
  return s;
}

Const* Arena::constant(ConstKind kind) {
  auto* c = static_cast<Const*>(alloc(sizeof(Const), alignof(Const)));
  c->kind = kind;
  c->base = 0;
  c->i = 0;
  return c;
}

List* Arena::list(uint32_t capacity) {
  auto* l = static_cast<List*>(alloc(sizeof(List), alignof(List)));
  l->size = 0;
  l->capacity = capacity;
  l->items = capacity ? static_cast<Slot*>(alloc(capacity * sizeof(Slot), alignof(Slot))) : nullptr;
  return l;
}

void Arena::push_growing(List*& l, Slot value) {
  if (!l) l = list(4);
  if (l->size == l->capacity) {
    uint32_t cap = l->capacity ? l->capacity * 2 : 4;
    auto* items = static_cast<Slot*>(alloc(cap * sizeof(Slot), alignof(Slot)));
    if (l->size) std::memcpy(items, l->items, l->size * sizeof(Slot));
    l->items = items;
    l->capacity = cap;
  }
  l->items[l->size++] = value;
}

void Arena::splice(List*& l, uint32_t at, uint32_t remove, const Slot* src, uint32_t count) {
  if (!l) l = list(count);
  const uint32_t size = l->size;
  const uint32_t tail = size - at - remove;
  const uint32_t new_size = size - remove + count;
  Slot* items = l->items;
  if (new_size > l->capacity) {
    uint32_t cap = std::max(new_size, l->capacity * 2);
    items = static_cast<Slot*>(alloc(cap * sizeof(Slot), alignof(Slot)));
    if (at) std::memcpy(items, l->items, at * sizeof(Slot));
    if (tail) std::memcpy(items + at + count, l->items + at + remove, tail * sizeof(Slot));
    l->capacity = cap;
  } else if (tail && count != remove) {
    std::memmove(items + at + count, items + at + remove, tail * sizeof(Slot));
  }
  if (count) std::memcpy(items + at, src, count * sizeof(Slot));
  l->items = items;
  l->size = new_size;
}

// ---------------------------------------------------------------- copies

namespace {

const Str* copy_str(const Str* s, Arena& into) { return s ? into.str(s->view()) : nullptr; }

const Const* copy_const(const Const* c, Arena& into) {
  Const* out = into.constant(c->kind);
  out->base = c->base;
  switch (c->kind) {
    case ConstKind::BigInt:
    case ConstKind::Str:
    case ConstKind::Bytes:
      out->text = copy_str(c->text, into);
      break;
    case ConstKind::Tuple: {
      out->tuple = nullptr;
      for (uint32_t i = 0; i < list_size(c->tuple); ++i) {
        Slot s;
        s.cst = copy_const(c->tuple->items[i].cst, into);
        into.push(out->tuple, s);
      }
      break;
    }
    default:
      out->i = c->i;  // copies the whole union (int or double)
      break;
  }
  return out;
}

// A node still to copy and the slot that receives its copy.
struct CopyTask {
  const Node* from;
  Slot* to;
};

}  // namespace

// Iterative: a tree may be as deep as its source is long (an attribute chain
// nests one level per `.name`), far deeper than any thread's stack would take
// for a recursive copy. Every destination slot is allocated, with its final
// size, before a task points into it, and arena storage never moves.
Node* deep_copy(const Node* node, Arena& into) {
  Slot root;
  root.node = nullptr;
  std::vector<CopyTask> tasks;
  tasks.push_back({node, &root});
  while (!tasks.empty()) {
    const CopyTask task = tasks.back();
    tasks.pop_back();
    const Node* from = task.from;
    const KindInfo& ki = info(from->kind);
    Node* out = into.node(from->kind, from->start, from->end);
    out->flags = from->flags;
    task.to->node = out;
    const size_t first_child = tasks.size();
    for (unsigned i = 0; i < ki.field_count; ++i) {
      const Slot& s = from->slot(i);
      Slot& d = out->slot(i);
      const FieldType type = ki.fields[i].type;
      switch (type) {
        case FieldType::Node:
        case FieldType::OptNode:
          d.node = nullptr;
          if (s.node) tasks.push_back({s.node, &d});
          break;
        case FieldType::NodeList:
        case FieldType::OptNodeList:
        case FieldType::IdentList:
        case FieldType::CmpOpList: {
          const List* l = s.list;
          if (!l || l->size == 0) {
            d.list = nullptr;
            break;
          }
          List* copy = into.list(l->size);
          copy->size = l->size;
          for (uint32_t j = 0; j < l->size; ++j) {
            const Slot& item = l->items[j];
            Slot& dest = copy->items[j];
            if (type == FieldType::NodeList || type == FieldType::OptNodeList) {
              dest.node = nullptr;
              if (item.node) tasks.push_back({item.node, &dest});
            } else if (type == FieldType::IdentList) {
              dest.str = copy_str(item.str, into);
            } else {
              dest = item;
            }
          }
          d.list = copy;
          break;
        }
        case FieldType::Ident:
        case FieldType::OptIdent:
        case FieldType::Str:
        case FieldType::OptStr:
          d.str = copy_str(s.str, into);
          break;
        case FieldType::Const:
          d.cst = s.cst ? copy_const(s.cst, into) : nullptr;
          break;
        default:
          d = s;
          break;
      }
    }
    // Children in field order, so the copy is laid out as a recursive
    // copy would lay it out.
    std::reverse(tasks.begin() + static_cast<std::ptrdiff_t>(first_child), tasks.end());
  }
  return root.node;
}

Tree deep_copy(const Tree& tree) {
  Tree out;
  if (tree.module) out.module = deep_copy(tree.module, *out.arena);
  return out;
}

// ---------------------------------------------------------------- counts

void count_nodes(const Node* root, NodeCounts& counts) {
  // An explicit stack keeps deep trees off the C stack. Counting by kind
  // into an array and filling the map once at the end keeps the walk free
  // of map lookups (a name comparison per node was a quarter of the time of
  // a parse).
  uint64_t per_kind[kKindCount] = {};
  std::vector<const Node*> stack;
  stack.reserve(64);
  stack.push_back(root);
  while (!stack.empty()) {
    const Node* node = stack.back();
    stack.pop_back();
    const KindInfo& ki = info(node->kind);
    ++per_kind[static_cast<size_t>(node->kind)];
    for (unsigned i = 0; i < ki.field_count; ++i) {
      const Slot& s = node->slot(i);
      switch (ki.fields[i].type) {
        case FieldType::Node:
        case FieldType::OptNode:
          if (s.node) stack.push_back(s.node);
          break;
        case FieldType::NodeList:
        case FieldType::OptNodeList:
          for (uint32_t j = 0; j < list_size(s.list); ++j)
            if (s.list->items[j].node) stack.push_back(s.list->items[j].node);
          break;
        default:
          break;
      }
    }
  }
  for (size_t k = 0; k < kKindCount; ++k)
    if (per_kind[k]) counts[kTable.kinds[k].name] += per_kind[k];
}

}  // namespace quorbin::syntax
