// The pieces of template extraction that need no parser: digests, line
// numbers, AST path building, the pre-order search and locator numbering.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/ast_path.h"
#include "engine/extract.h"
#include "engine/node_search.h"
#include "engine/sha256.h"
#include "engine/source_lines.h"
#include "engine/template.h"

namespace quorbin::engine {
namespace {

using syntax::Kind;
namespace field = syntax::field;

TEST(Sha256, KnownDigests) {
  struct Case {
    std::string input;
    const char* hex;
  };
  const Case cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Case& c : cases) {
    std::optional<Sha256Digest> digest = sha256(c.input);
    ASSERT_TRUE(digest);
    EXPECT_EQ(to_hex(*digest), c.hex) << c.input.substr(0, 20);
  }
}

TEST(TemplateKey, IsTheDigestPrefix) {
  EXPECT_EQ(template_key(""), "template:e3b0c44298fc1c14");
  EXPECT_EQ(template_key("abc"), "template:ba7816bf8f01cfea");
  // Bytes are hashed as they are: no NUL truncation.
  EXPECT_NE(template_key(std::string("a\0b", 3)), template_key("a"));
}

TEST(SourceLines, OnlyLineFeedsStartLines) {
  SourceLines lines("ab\ncd\r\nef\rgh\n");
  const std::pair<uint64_t, uint64_t> cases[] = {
      {0, 1}, {2, 1}, {3, 2}, {5, 2}, {6, 2}, {7, 3}, {10, 3}, {12, 3}, {13, 4}, {1000, 4},
  };
  for (auto [offset, line] : cases) EXPECT_EQ(lines.line_of(offset), line) << offset;
  EXPECT_EQ(SourceLines("").line_of(uint64_t{0}), 1u);
}

TEST(SourceLines, StatementLinesOnlyForListedKinds) {
  syntax::Arena arena;
  SourceLines lines("\n\n\nx");
  for (Kind kind : {Kind::FunctionDef, Kind::AsyncFunctionDef, Kind::ClassDef, Kind::Return, Kind::Assign,
                    Kind::AnnAssign, Kind::If, Kind::With, Kind::Try, Kind::Import, Kind::ImportFrom, Kind::Expr})
    EXPECT_EQ(lines.statement_line(arena.node(kind, 3, 4)), 4u) << syntax::name_of(kind);
  for (Kind kind : {Kind::For, Kind::AsyncFor, Kind::While, Kind::AugAssign, Kind::Delete, Kind::AsyncWith,
                    Kind::Match, Kind::Raise, Kind::TryStar, Kind::Assert, Kind::Global, Kind::Nonlocal, Kind::Pass,
                    Kind::Break, Kind::Continue, Kind::TypeAlias})
    EXPECT_EQ(lines.statement_line(arena.node(kind, 3, 4)), 1u) << syntax::name_of(kind);
}

TEST(PathBuilder, WritesSteps) {
  PathBuilder path;
  EXPECT_EQ(path.str(), ".");
  {
    PathStep body(path, "body", 2);
    EXPECT_EQ(path.str(), "body[2]");
    {
      PathStep args(path, "args");
      PathStep defaults(path, "defaults", 10);
      EXPECT_EQ(path.str(), "body[2]/args/defaults[10]");
    }
    PathStep orelse(path, "orelse", 0);
    PathStep value(path, "value");
    EXPECT_EQ(path.str(), "body[2]/orelse[0]/value");
  }
  EXPECT_EQ(path.str(), ".");
}

// @quorbin_insert(a)                  decorator on line 1
// def f(x=quorbin_insert(b, c)): ...  default on line 2
// with the body's call on line 3
TEST(SearchPreorder, FollowsFieldOrder) {
  syntax::Tree tree;
  syntax::Arena& a = *tree.arena;
  auto call = [&](uint32_t start) {
    syntax::Node* name = a.node(Kind::Name, start, start + 14);
    name->set_str(field::Name::id, a.str("quorbin_insert"));
    syntax::Node* c = a.node(Kind::Call, start, start + 16);
    c->set_child(field::Call::func, name);
    return c;
  };
  const std::string source = "@quorbin_insert()\ndef f(x=quorbin_insert()):\n    quorbin_insert()\n";
  syntax::Node* decorator = call(1);
  syntax::Node* dflt = call(26);
  syntax::Node* inner = call(49);
  syntax::Node* expr = a.node(Kind::Expr, 49, 65);
  expr->set_child(field::Expr::value, inner);
  syntax::Node* args = a.node(Kind::arguments);
  a.push_node(args->slots()[field::arguments::defaults].list, dflt);
  syntax::Node* def = a.node(Kind::FunctionDef, 18, 65);
  def->set_str(field::FunctionDef::name, a.str("f"));
  def->set_child(field::FunctionDef::args, args);
  a.push_node(def->slots()[field::FunctionDef::body].list, expr);
  a.push_node(def->slots()[field::FunctionDef::decorator_list].list, decorator);
  tree.module = a.node(Kind::Module);
  a.push_node(tree.module->slots()[field::Module::body].list, def);

  std::vector<const syntax::Node*> calls;
  search_preorder(tree.module, [&](const syntax::Node* n) {
    if (n->kind == Kind::Call) calls.push_back(n);
    return false;
  });
  EXPECT_EQ(calls, (std::vector<const syntax::Node*>{dflt, inner, decorator}));

  Status status = check_no_authored_insert(tree.module, source);
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().kind, ErrorKind::Schema);
  EXPECT_EQ(status.error().detail,
            "quorbin_insert(...) is internal emitted-source metadata and cannot be authored directly at line 2");
  EXPECT_TRUE(check_no_authored_insert(tree.module, "no marker text at all").ok());
}

TEST(RegisteredTemplates, LocatorIdsContinueAcrossTemplates) {
  std::vector<RegisteredTemplate> templates;
  EXPECT_EQ(next_first_global_locator_id(templates), 0u);
  for (size_t count : {3u, 2u, 0u}) {
    RegisteredTemplate t;
    t.first_global_locator_id = next_first_global_locator_id(templates);
    t.locators.resize(count);
    templates.push_back(std::move(t));
  }
  EXPECT_EQ(templates[0].first_global_locator_id, 0u);
  EXPECT_EQ(templates[1].first_global_locator_id, 3u);
  EXPECT_EQ(templates[2].first_global_locator_id, 5u);
  EXPECT_EQ(next_first_global_locator_id(templates), 5u);
}

}  // namespace
}  // namespace quorbin::engine
