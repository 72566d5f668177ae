#include "engine/deep_stack.h"

#include <pthread.h>

#include <new>
#include <utility>
#include <vector>

namespace quorbin::engine {

size_t statement_depth(const syntax::Node* module) {
  using syntax::Category;
  size_t deepest = 0;
  std::vector<std::pair<const syntax::Node*, size_t>> stack;
  if (module) stack.emplace_back(module, 0);
  while (!stack.empty()) {
    const auto [node, depth] = stack.back();
    stack.pop_back();
    if (depth > deepest) deepest = depth;
    const syntax::KindInfo& ki = syntax::info(node->kind);
    for (unsigned i = 0; i < ki.field_count; ++i) {
      const syntax::FieldType type = ki.fields[i].type;
      if (type != syntax::FieldType::NodeList) continue;
      const syntax::List* list = node->list(i);
      for (uint32_t j = 0; j < syntax::list_size(list); ++j) {
        const syntax::Node* child = syntax::list_node(list, j);
        // Statements, and the handlers and match cases that hold blocks.
        const Category c = syntax::info(child->kind).category;
        if (c == Category::stmt || c == Category::excepthandler || child->kind == syntax::Kind::match_case)
          stack.emplace_back(child, depth + 1);
      }
    }
  }
  return deepest;
}

size_t stack_bytes_for_statement_depth(size_t depth) {
#if defined(__SANITIZE_ADDRESS__)
  constexpr size_t kPerLevel = 64 * 1024;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  constexpr size_t kPerLevel = 64 * 1024;
#else
  constexpr size_t kPerLevel = 16 * 1024;
#endif
#else
  constexpr size_t kPerLevel = 16 * 1024;
#endif
  // Generous on purpose: the stack is reserved address space, and only the
  // pages a walk touches are ever backed.
  return (size_t(4) << 20) + depth * kPerLevel;
}

namespace {

struct Call {
  void (*fn)(void*);
  void* arg;
};

void* thread_main(void* p) {
  const Call* call = static_cast<const Call*>(p);
  call->fn(call->arg);
  return nullptr;
}

}  // namespace

void run_with_stack(size_t bytes, void (*fn)(void*), void* arg) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) throw std::bad_alloc();
  const bool sized = pthread_attr_setstacksize(&attr, bytes) == 0;
  Call call{fn, arg};
  pthread_t thread;
  const int made = sized ? pthread_create(&thread, &attr, thread_main, &call) : -1;
  pthread_attr_destroy(&attr);
  if (made != 0) throw std::bad_alloc();
  pthread_join(thread, nullptr);
}

}  // namespace quorbin::engine
