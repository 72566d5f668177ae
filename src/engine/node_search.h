// Pre-order search over every node of a subtree, children in field order.
// Uses its own stack, so a deeply nested expression costs heap, not C stack.
#pragma once

#include <vector>

#include "syntax/tree.h"

namespace quorbin::engine {

// Calls `visit(node)` on `root` and every node below it, each node before its
// children, children in field order and list order. Stops at, and returns,
// the first node for which `visit` returns true; null when there is none.
template <class Visit>
const syntax::Node* search_preorder(const syntax::Node* root, Visit&& visit) {
  using syntax::FieldType;
  std::vector<const syntax::Node*> stack;
  if (root) stack.push_back(root);
  while (!stack.empty()) {
    const syntax::Node* node = stack.back();
    stack.pop_back();
    if (visit(node)) return node;
    const syntax::KindInfo& kind = syntax::info(node->kind);
    // Pushed last field first so that the first field is taken next.
    for (unsigned f = kind.field_count; f-- > 0;) {
      switch (kind.fields[f].type) {
        case FieldType::Node:
        case FieldType::OptNode:
          if (const syntax::Node* child = node->child(f)) stack.push_back(child);
          break;
        case FieldType::NodeList:
        case FieldType::OptNodeList: {
          const syntax::List* list = node->list(f);
          for (uint32_t i = syntax::list_size(list); i-- > 0;)
            if (const syntax::Node* child = syntax::list_node(list, i)) stack.push_back(child);
          break;
        }
        default:
          break;
      }
    }
  }
  return nullptr;
}

}  // namespace quorbin::engine
