// Measures how much C stack the parser and the generic tree walks spend per
// nesting level: each run happens on a thread whose stack this program
// allocates and fills with a pattern, and the deepest byte changed afterwards
// is the run's high-water mark. The difference between two depths divided by
// their difference is the cost of one level, free of fixed overheads.
//
//   stack_depth [DEPTH_A DEPTH_B]     (default 1000 2000)
//
// Built by tools/stack/measure.sh, plain and under AddressSanitizer.
#include <pthread.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "syntax/parser.h"
#include "syntax/tree.h"

using namespace quorbin::syntax;

namespace {

constexpr size_t kStack = size_t(256) << 20;
constexpr unsigned char kPaint = 0xA5;

struct Run {
  std::function<void()> work;
};

void* trampoline(void* arg) {
  static_cast<Run*>(arg)->work();
  return nullptr;
}

#if defined(__clang__) || defined(__GNUC__)
__attribute__((no_sanitize("address")))
#endif
size_t
high_water(const unsigned char* base, size_t size) {
  size_t i = 0;
  while (i < size && base[i] == kPaint) ++i;
  return size - i;
}

// Bytes of stack `work` used at its deepest, on a fresh painted stack.
size_t measure(const std::function<void()>& work) {
  void* mem = mmap(nullptr, kStack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (mem == MAP_FAILED) {
    std::perror("mmap");
    std::exit(1);
  }
  std::memset(mem, kPaint, kStack);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstack(&attr, mem, kStack);
  Run run{work};
  pthread_t thread;
  if (pthread_create(&thread, &attr, trampoline, &run) != 0) {
    std::perror("pthread_create");
    std::exit(1);
  }
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  const size_t used = high_water(static_cast<const unsigned char*>(mem), kStack);
  munmap(mem, kStack);
  return used;
}

struct Shape {
  const char* name;
  std::function<std::string(int)> make;
};

std::string repeat(const std::string& s, int n) {
  std::string out;
  out.reserve(s.size() * n);
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

std::string blocks(int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += std::string(i, ' ') + "if x:\n";
  return out + std::string(n, ' ') + "pass\n";
}

}  // namespace

int main(int argc, char** argv) {
  const int a = argc > 2 ? std::atoi(argv[1]) : 1000;
  const int b = argc > 2 ? std::atoi(argv[2]) : 2000;
  const std::vector<Shape> shapes = {
      {"unary minus", [](int n) { return repeat("-", n) + "x"; }},
      {"not", [](int n) { return repeat("not ", n) + "x"; }},
      {"conditional expressions", [](int n) { return repeat("a if b else ", n) + "x"; }},
      {"lambdas", [](int n) { return repeat("lambda:", n) + "x"; }},
      {"lambda defaults", [](int n) { return repeat("lambda a=", n) + "x" + repeat(":0", n); }},
      {"powers", [](int n) { return repeat("a**", n) + "x"; }},
      {"powers of calls", [](int n) { return repeat("f(a)**", n) + "x"; }},
      {"parentheses (per level, to 200)", [](int n) { return repeat("(", n / 10) + "x" + repeat(")", n / 10); }},
      {"lists (per level, to 200)", [](int n) { return repeat("[", n / 10) + "x" + repeat("]", n / 10); }},
      {"calls (per level, to 200)", [](int n) { return repeat("f(", n / 10) + "x" + repeat(")", n / 10); }},
      {"f-strings (per level, to 150)", [](int n) { return repeat("f'{", n / 20) + "x" + repeat("}'", n / 20); }},
      {"blocks (per level, to 99)", [](int n) { return blocks(n / 25); }},
      {"patterns (per level, to 200)",
       [](int n) { return "match x:\n case " + repeat("[", n / 10) + "a" + repeat("]", n / 10) + ": pass\n"; }},
  };
  std::printf("%-34s %12s %12s %12s\n", "construct", "bytes@A", "bytes@B", "bytes/level");
  for (const Shape& s : shapes) {
    // The bracket-like shapes are capped by their own limits; their
    // generators scale n down, so report the cost per real level.
    const std::string sa = s.make(a), sb = s.make(b);
    bool ok = true;
    auto parse = [&](const std::string& src) {
      return [&, src] {
        ParseResult r = parse_module(src, "<stack>");
        if (!r.ok) {
          std::fprintf(stderr, "%s: refused: %s\n", s.name, r.error.message.c_str());
          ok = false;
        }
      };
    };
    const size_t ua = measure(parse(sa)), ub = measure(parse(sb));
    if (!ok) continue;
    const double levels_a = std::strstr(s.name, "to 99") ? a / 25 : std::strstr(s.name, "to 150") ? a / 20
                            : std::strstr(s.name, "to 200")                                      ? a / 10
                                                                                                  : a;
    const double levels_b = std::strstr(s.name, "to 99") ? b / 25 : std::strstr(s.name, "to 150") ? b / 20
                            : std::strstr(s.name, "to 200")                                      ? b / 10
                                                                                                  : b;
    std::printf("%-34s %12zu %12zu %12.1f\n", s.name, ua, ub, (double(ub) - double(ua)) / (levels_b - levels_a));
  }

  // The generic walks over a tree as deep as the input: an attribute chain
  // nests one level per `.b`, and nothing in the parser recurses for it.
  for (int depth : {a, b}) {
    ParseResult r = parse_module("a" + repeat(".b", depth), "<stack>");
    if (!r.ok) {
      std::fprintf(stderr, "attribute chain refused\n");
      break;
    }
    const size_t copy = measure([&] { Tree t = deep_copy(r.tree); });
    const size_t count = measure([&] {
      NodeCounts c;
      count_nodes(r.tree.module, c);
    });
    std::printf("%-34s %12d %12zu\n", "deep_copy, attribute chain", depth, copy);
    std::printf("%-34s %12d %12zu\n", "count_nodes, attribute chain", depth, count);
  }

  // The worst case the budget allows: every level spent on lambdas.
  int lo = 1, hi = 20000;
  while (lo < hi) {
    const int mid = (lo + hi + 1) / 2;
    bool accepted = false;
    measure([&] { accepted = parse_module(repeat("lambda:", mid) + "x", "<stack>").ok; });
    if (accepted) lo = mid;
    else hi = mid - 1;
  }
  const std::string deepest = repeat("lambda:", lo) + "x";
  std::printf("%-34s %12d %12zu\n", "deepest accepted lambda chain", lo,
              measure([&] { (void)parse_module(deepest, "<stack>"); }));
  return 0;
}
