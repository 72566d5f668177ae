// The generic tree walks (deep_copy, count_nodes) on parsed trees and on
// trees far deeper than any thread's stack would take for a recursive walk.
#include <gtest/gtest.h>
#include <pthread.h>

#include <functional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "syntax/parser.h"
#include "syntax/tree.h"

namespace quorbin::syntax {
namespace {

bool same_const(const Const* a, const Const* b) {
  if (!a || !b) return a == b;
  if (a->kind != b->kind || a->base != b->base) return false;
  switch (a->kind) {
    case ConstKind::BigInt:
    case ConstKind::Str:
    case ConstKind::Bytes:
      return a->text->view() == b->text->view() && a->text != b->text;
    case ConstKind::Tuple:
      if (list_size(a->tuple) != list_size(b->tuple)) return false;
      for (uint32_t i = 0; i < list_size(a->tuple); ++i)
        if (!same_const(a->tuple->items[i].cst, b->tuple->items[i].cst)) return false;
      return true;
    default:
      return a->i == b->i;
  }
}

bool same_str(const Str* a, const Str* b) {
  if (!a || !b) return a == b;
  return a->view() == b->view() && a != b;  // equal text, separate storage
}

// Structural equality, iteratively; every node, list and string of `b`
// must be its own storage, not `a`'s.
::testing::AssertionResult same_tree(const Node* a, const Node* b) {
  std::vector<std::pair<const Node*, const Node*>> stack{{a, b}};
  while (!stack.empty()) {
    auto [x, y] = stack.back();
    stack.pop_back();
    if (!x || !y) {
      if (x != y) return ::testing::AssertionFailure() << "null on one side";
      continue;
    }
    if (x == y) return ::testing::AssertionFailure() << "the copy shares a " << name_of(x->kind) << " node";
    if (x->kind != y->kind || x->start != y->start || x->end != y->end || x->flags != y->flags)
      return ::testing::AssertionFailure() << name_of(x->kind) << " header differs";
    const KindInfo& ki = info(x->kind);
    for (unsigned i = 0; i < ki.field_count; ++i) {
      const Slot& s = x->slot(i);
      const Slot& t = y->slot(i);
      switch (ki.fields[i].type) {
        case FieldType::Node:
        case FieldType::OptNode:
          stack.push_back({s.node, t.node});
          break;
        case FieldType::NodeList:
        case FieldType::OptNodeList:
        case FieldType::IdentList:
        case FieldType::CmpOpList: {
          if (list_size(s.list) != list_size(t.list))
            return ::testing::AssertionFailure() << name_of(x->kind) << "." << ki.fields[i].name << " length differs";
          if (s.list && t.list && s.list == t.list)
            return ::testing::AssertionFailure() << "the copy shares a list";
          for (uint32_t j = 0; j < list_size(s.list); ++j) {
            const Slot& p = s.list->items[j];
            const Slot& q = t.list->items[j];
            const FieldType ft = ki.fields[i].type;
            if (ft == FieldType::IdentList) {
              if (!same_str(p.str, q.str)) return ::testing::AssertionFailure() << "identifier list differs";
            } else if (ft == FieldType::CmpOpList) {
              if (p.i != q.i) return ::testing::AssertionFailure() << "comparison operators differ";
            } else {
              stack.push_back({p.node, q.node});
            }
          }
          break;
        }
        case FieldType::Ident:
        case FieldType::OptIdent:
        case FieldType::Str:
        case FieldType::OptStr:
          if (!same_str(s.str, t.str))
            return ::testing::AssertionFailure() << name_of(x->kind) << "." << ki.fields[i].name << " differs";
          break;
        case FieldType::Const:
          if (!same_const(s.cst, t.cst) || s.cst == t.cst)
            return ::testing::AssertionFailure() << name_of(x->kind) << " constant differs or is shared";
          break;
        default:
          if (s.i != t.i) return ::testing::AssertionFailure() << name_of(x->kind) << "." << ki.fields[i].name;
          break;
      }
    }
  }
  return ::testing::AssertionSuccess();
}

class CopyOfParsedTree : public ::testing::TestWithParam<const char*> {};

TEST_P(CopyOfParsedTree, IsEqualAndSharesNothing) {
  ParseResult parsed = parse_module(GetParam(), "<test>");
  ASSERT_TRUE(parsed.ok) << parsed.error.message;
  Tree copy = deep_copy(parsed.tree);
  ASSERT_NE(copy.arena, parsed.tree.arena);
  EXPECT_TRUE(same_tree(parsed.tree.module, copy.module));
  NodeCounts a, b;
  count_nodes(parsed.tree.module, a);
  count_nodes(copy.module, b);
  EXPECT_EQ(a, b);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, CopyOfParsedTree,
    ::testing::Values("x = 1", "", "@d(1)\nasync def f[T: int](a, /, b=2, *c, d, e=None, **g) -> T:\n  global z\n",
                      "class C(B, metaclass=M):\n  x: int = 1\n  del a.b, c[1:2:3]\n",
                      "f'{a!r:>{w}}' 'b'\nb'\\x00'; 0xffffffffffffffffffffffff; 1.5j; ...",
                      "{**a, 'b': [x async for x in y if x]} < c is not d",
                      "match p:\n case [1, *r] | {'k': C(a=_)} as z if z: pass\n case None: pass",
                      "try:\n  pass\nexcept* (A, B) as e:\n  raise X from e\nelse:\n  pass\nfinally:\n  pass",
                      "with (a as b, c): import x.y as z; from . import (q,)\ntype T[*Ts, **P] = list[T]",
                      "lambda *a, k=1, **kw: (yield) if not -x else {k: v for k, v in z}"));

// Runs `work` on a thread with `stack_bytes` of stack.
void on_small_stack(size_t stack_bytes, const std::function<void()>& work) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, stack_bytes);
  pthread_t thread;
  auto* arg = new std::function<void()>(work);
  ASSERT_EQ(pthread_create(
                &thread, &attr,
                [](void* p) -> void* {
                  auto* f = static_cast<std::function<void()>*>(p);
                  (*f)();
                  delete f;
                  return nullptr;
                },
                arg),
            0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
}

TEST(DeepTree, CopyAndCountOfAMillionLevelsFitASmallStack) {
  // a.b.b.b... built directly: one Attribute per level around a Name.
  constexpr uint32_t kDepth = 1'000'000;
  Tree tree;
  Arena& arena = *tree.arena;
  Node* e = arena.node(Kind::Name, 0, 1);
  e->set_str(field::Name::id, arena.str("a"));
  const Str* attr = arena.str("b");
  for (uint32_t i = 0; i < kDepth; ++i) {
    Node* a = arena.node(Kind::Attribute, 0, 3 + 2 * i);
    a->set_child(field::Attribute::value, e);
    a->set_str(field::Attribute::attr, attr);
    e = a;
  }
  Node* stmt = arena.node(Kind::Expr, 0, e->end);
  stmt->set_child(field::Expr::value, e);
  tree.module = arena.node(Kind::Module);
  arena.push_node(tree.module->slots()[field::Module::body].list, stmt);

  Tree copy;
  NodeCounts counts;
  on_small_stack(256 * 1024, [&] {
    copy = deep_copy(tree);
    count_nodes(copy.module, counts);
  });
  ASSERT_NE(copy.module, nullptr);
  EXPECT_EQ(counts["Attribute"], kDepth);
  EXPECT_EQ(counts["Name"], 1u);
  EXPECT_TRUE(same_tree(tree.module, copy.module));
}

TEST(DeepTree, SubtreeCopiesIntoAnotherArena) {
  ParseResult parsed = parse_module("x = [f(a, *b, k=c) for a in d if a]\ny = 2", "<test>");
  ASSERT_TRUE(parsed.ok);
  const Node* assign = list_node(parsed.tree.module->list(field::Module::body), 0);
  Arena other;
  Node* copy = deep_copy(assign->child(field::Assign::value), other);
  EXPECT_TRUE(same_tree(assign->child(field::Assign::value), copy));
  EXPECT_GT(other.bytes_reserved(), 0u);
}

}  // namespace
}  // namespace quorbin::syntax
