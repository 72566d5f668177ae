// The parser's limits through lowered values: the source-size refusal, which
// at its real bound needs a 4 GiB source, and the stack budget, which in a
// release build the nesting count reaches first.
#include <gtest/gtest.h>

#include <string>

#include "syntax/parser.h"
#include "syntax/tree.h"

namespace quorbin::syntax {
namespace {

std::string repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

// `x = 1\n` statements padded with a comment to exactly `size` bytes.
std::string source_of(size_t size) {
  std::string s = "x = 1\ny = 'é'\n#";
  s.resize(size, 'c');
  return s;
}

TEST(ParserLimits, SourceSizeIsRefusedWholeOneByteOverTheLimit) {
  const ParseLimits limits{64, 0};
  struct Case {
    size_t size;
    bool accepted;
  };
  for (const Case& c : {Case{63, true}, Case{64, true}, Case{65, false}, Case{4096, false}}) {
    SCOPED_TRACE(c.size);
    const std::string source = source_of(c.size);
    ParseResult r = parse_module(source, "<limits>", limits);
    ASSERT_EQ(r.ok, c.accepted) << r.error.message;
    if (c.accepted) {
      // The whole text, not a prefix: both statements, the comment after them.
      const List* body = r.tree.module->list(field::Module::body);
      ASSERT_EQ(list_size(body), 2u);
      EXPECT_EQ(list_node(body, 1)->end, 14u);
    } else {
      EXPECT_EQ(r.error.message, "source is too large (more than 64 bytes)");
      EXPECT_EQ(r.error.offset, 0u);
    }
  }
}

TEST(ParserLimits, SizeRefusalComesBeforeTheContentChecks) {
  std::string source = source_of(64);
  source[20] = '\0';
  source += "\xff";
  ParseResult r = parse_module(source, "<limits>", ParseLimits{64, 0});
  ASSERT_FALSE(r.ok);
  EXPECT_EQ(r.error.message, "source is too large (more than 64 bytes)");
}

TEST(ParserLimits, ALimitPastTheOffsetBoundIsTheOffsetBound) {
  ParseResult r = parse_module("x = 1\n", "<limits>", ParseLimits{SIZE_MAX, 0});
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(kMaxSourceBytes, size_t(UINT32_MAX) - 1);
}

TEST(ParserLimits, StackBudgetEndsRecursionNotLevels) {
  // A 64 KiB budget: recursive nesting runs out of bytes long before 5,000
  // levels; an attribute chain deepens the tree without recursing, so only
  // its level count matters.
  const ParseLimits small{kMaxSourceBytes, 64 * 1024};
  struct Case {
    const char* name;
    std::string source;
    bool accepted_in_small;
  };
  const Case cases[] = {
      {"shallow unary", repeat("-", 20) + "x", true},
      {"deep unary", repeat("-", 2000) + "x", false},
      {"deep lambdas", repeat("lambda:", 2000) + "x", false},
      {"deep lambda defaults", repeat("lambda a=", 700) + "x" + repeat(":0", 700), false},
      {"deep attribute chain", "a" + repeat(".b", 4000), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ParseResult full = parse_module(c.source, "<limits>");
    EXPECT_TRUE(full.ok) << full.error.message;
    ParseResult r = parse_module(c.source, "<limits>", small);
    EXPECT_EQ(r.ok, c.accepted_in_small) << r.error.message;
    if (!c.accepted_in_small)
      EXPECT_EQ(r.error.message, "too deeply nested: the source exceeds the parser's nesting limit");
  }
}

}  // namespace
}  // namespace quorbin::syntax
