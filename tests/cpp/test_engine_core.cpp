// The engine layer without the interpreter: handle resolution, bundle
// validation, quoting, engine lifecycle.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine.h"
#include "engine/fault.h"
#include "engine/handle.h"
#include "engine/quote.h"
#include "engine/surface_bundle.h"

namespace quorbin::engine {
namespace {

std::string detail(const Status& s) { return s.ok() ? std::string("ok") : s.error().detail; }

Engine engine_with_state(size_t occurrences, size_t edges, size_t overlays) {
  Engine e = create_engine();
  e.templates.resize(2);
  e.workspaces.resize(1);
  AssemblyState state;
  state.occurrences.resize(occurrences);
  state.edges.resize(edges);
  state.overlays.resize(overlays);
  e.assembly_states.push_back(std::move(state));
  return e;
}

TEST(Engines, OwnerIdsIncreaseAndCloseOnce) {
  Engine a = create_engine();
  Engine b = create_engine();
  EXPECT_EQ(b.owner_id, a.owner_id + 1);
  EXPECT_EQ(a.engine_epoch, 1u);
  EXPECT_EQ(a.index, 0u);
  ASSERT_TRUE(close_engine(a).ok());
  EXPECT_TRUE(a.closed);
  EXPECT_EQ(a.generation, 1u);
  Status again = close_engine(a);
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error().kind, ErrorKind::StaleHandle);
  EXPECT_EQ(again.error().detail, "engine handle is already closed");
  EXPECT_EQ(a.generation, 1u);
}

TEST(Engines, OwnerIdsAreUniqueAcrossThreads) {
  std::vector<uint64_t> ids[4];
  std::vector<std::thread> threads;
  for (auto& mine : ids) {
    threads.emplace_back([&mine] {
      for (int i = 0; i < 1000; ++i) mine.push_back(take_owner_id());
    });
  }
  for (auto& t : threads) t.join();
  std::vector<uint64_t> all;
  for (auto& mine : ids) all.insert(all.end(), mine.begin(), mine.end());
  std::sort(all.begin(), all.end());
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
}

TEST(Resolution, ClosedComesFirst) {
  Engine e = engine_with_state(1, 0, 0);
  Engine other = create_engine();
  HandleRef foreign = template_handle(other, 99);
  ASSERT_TRUE(close_engine(e).ok());
  EXPECT_EQ(detail(resolve(e, {&foreign})), "engine handle is already closed");
}

TEST(Resolution, EveryOwnerBeforeAnyRange) {
  Engine e = engine_with_state(1, 0, 0);
  Engine other = create_engine();
  HandleRef out_of_range = template_handle(e, 5);
  HandleRef foreign = template_handle(other, 0);
  EXPECT_EQ(detail(resolve(e, {&out_of_range, &foreign})), "handle belongs to another native engine");
  // A foreign handle is refused even when its index exists here.
  EXPECT_EQ(detail(check_owner(e, foreign)), "handle belongs to another native engine");
  EXPECT_EQ(detail(resolve(e, {&out_of_range})), "unknown native template handle");
}

TEST(Resolution, Ranges) {
  Engine e = engine_with_state(2, 1, 1);
  struct Case {
    HandleRef handle;
    const char* expected;
  };
  const Case cases[] = {
      {template_handle(e, 1), "ok"},
      {template_handle(e, 2), "unknown native template handle"},
      {assembly_state_handle(e, 0), "ok"},
      {assembly_state_handle(e, 1), "unknown native assembly state handle"},
      {workspace_handle(e, 0), "ok"},
      {workspace_handle(e, 1), "unknown native materialization workspace handle"},
      {occurrence_handle(e, 0, 1), "ok"},
      {occurrence_handle(e, 0, 2), "unknown native occurrence handle"},
      {occurrence_handle(e, 1, 0), "unknown native assembly state handle"},
      {record_handle(e, 0, 1, 1000), "ok"},  // template records are the assembly layer's check
      {record_handle(e, 0, 2, 0), "unknown native occurrence handle"},
      {record_handle(e, 3, 0, 0), "unknown native assembly state handle"},
      {edge_handle(e, 0, 0), "ok"},
      {edge_handle(e, 0, 1), "unknown native edge handle"},
      {edge_handle(e, 7, 0), "unknown native assembly state handle"},
      {overlay_handle(e, 0, 0), "ok"},
      {overlay_handle(e, 0, 1), "unknown native overlay handle"},
  };
  for (const Case& c : cases) {
    Status s = check_range(e, c.handle);
    EXPECT_EQ(detail(s), c.expected);
    if (!s.ok()) EXPECT_EQ(s.error().kind, ErrorKind::StaleHandle);
  }
}

TEST(Resolution, Membership) {
  Engine e = engine_with_state(1, 1, 1);
  e.assembly_states.emplace_back();
  HandleRef state = assembly_state_handle(e, 1);
  HandleRef edge = edge_handle(e, 0, 0);
  Status s = check_member(state, edge, ErrorKind::StaleHandle, "edge");
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().kind, ErrorKind::StaleHandle);
  EXPECT_EQ(s.error().detail, "edge belongs to another native assembly state");
  Status r = check_member(state, record_handle(e, 0, 0, 0), ErrorKind::Schema, "record");
  EXPECT_EQ(r.error().kind, ErrorKind::Schema);
  EXPECT_TRUE(check_member(state, edge_handle(e, 1, 0), ErrorKind::Schema, "edge").ok());
}

TEST(Resolution, GenerationIsNeverCompared) {
  Engine e = engine_with_state(1, 0, 0);
  HandleRef h = template_handle(e, 0);
  h.generation = 41;
  EXPECT_TRUE(resolve(e, {&h}).ok());
}

Surface surface(const char* key) { return {key, 1, ""}; }
Operation operation(const char* key) { return {key, 1, ""}; }
Pattern pattern(const char* key, const char* surface_key, const char* operation_key) {
  Pattern p;
  p.pattern_key = key;
  p.template_key = "t";
  p.surface_key = surface_key;
  p.operation_key = operation_key;
  return p;
}
CompatibilityRule rule(const char* target, const char* production) {
  CompatibilityRule r;
  r.target_surface_key = target;
  r.production_surface_key = production;
  return r;
}

TEST(SurfaceBundles, Validation) {
  SurfaceBundle b;
  b.surfaces = {surface("a"), surface("b")};
  b.operations = {operation("op")};
  b.patterns = {pattern("p", "a", "op")};
  b.compatibility_rules = {rule("a", "b")};
  EXPECT_TRUE(validate_surface_bundle(b).ok());

  SurfaceBundle dup = b;
  dup.surfaces = {surface("a"), surface("b"), surface("a"), surface("b"), surface("a")};
  EXPECT_EQ(detail(validate_surface_bundle(dup)), "duplicate surface keys: [\"a\", \"b\"]");

  SurfaceBundle both = b;
  both.patterns = {pattern("p", "x", "y")};
  EXPECT_EQ(detail(validate_surface_bundle(both)), "pattern references unknown surface: x");
  both.patterns = {pattern("p", "a", "y")};
  EXPECT_EQ(detail(validate_surface_bundle(both)), "pattern references unknown operation: y");

  SurfaceBundle rules = b;
  rules.compatibility_rules = {rule("a", "b"), rule("t", "p")};
  EXPECT_EQ(detail(validate_surface_bundle(rules)), "rule references unknown target surface: t");
  rules.compatibility_rules = {rule("a", "p")};
  EXPECT_EQ(detail(validate_surface_bundle(rules)), "rule references unknown production surface: p");

  // Rules need not be unique.
  SurfaceBundle repeated = b;
  repeated.compatibility_rules = {rule("a", "b"), rule("a", "b")};
  EXPECT_TRUE(validate_surface_bundle(repeated).ok());
}

TEST(SurfaceBundles, PatternFamilies) {
  Pattern p = pattern("p", "a", "op");
  p.template_key = "one+two+three";
  ASSERT_TRUE(finish_pattern(p, 4).ok());
  EXPECT_EQ(p.template_family, "one");
  EXPECT_EQ(p.position, 4u);
  p.template_key = "solo";
  ASSERT_TRUE(finish_pattern(p, 0).ok());
  EXPECT_EQ(p.template_family, "solo");
  p.template_key = "+lead";
  ASSERT_TRUE(finish_pattern(p, 0).ok());
  EXPECT_EQ(p.template_family, "");
  p.template_key = "";
  EXPECT_EQ(detail(finish_pattern(p, 0)), "pattern template_key must not be empty");
}

TEST(SurfaceBundles, InstallOnce) {
  Engine e = create_engine();
  Result<const SurfaceBundle*> none = registered_surface_bundle(e);
  ASSERT_FALSE(none.ok());
  EXPECT_EQ(none.error().detail, "surface bundle has not been registered");
  SurfaceBundle first;
  first.bundle_key = "first";
  ASSERT_TRUE(install_surface_bundle(e, std::move(first)).ok());
  SurfaceBundle second;
  second.bundle_key = "second";
  EXPECT_EQ(detail(install_surface_bundle(e, std::move(second))), "surface bundle is already registered");
  EXPECT_EQ(e.surface_bundle->bundle_key, "first");
  ASSERT_TRUE(close_engine(e).ok());
  EXPECT_EQ(detail(install_surface_bundle(e, SurfaceBundle())), "engine handle is already closed");
}

TEST(Quoting, Escapes) {
  struct Case {
    std::string text;
    const char* shown;
  };
  const Case cases[] = {
      {"plain", "\"plain\""},
      {"\"\\", "\"\\\"\\\\\""},
      {std::string("\t\r\n\0", 4), "\"\\t\\r\\n\\0\""},
      {"\x01\x7f", "\"\\u{1}\\u{7f}\""},
      {"\xc2\x85\xc2\xa0", "\"\\u{85}\\u{a0}\""},           // NEL, no-break space
      {"\xe2\x80\x8b\xe2\x80\xa8", "\"\\u{200b}\\u{2028}\""},  // zero width space, line separator
      {"\xee\x80\x80", "\"\\u{e000}\""},                      // private use
      {"\xcd\xb8", "\"\\u{378}\""},                           // unassigned
      {"\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\"\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
      {"'", "\"'\""},
      // Invalid UTF-8 (never produced by the interpreter) stays valid output.
      {"\xff", "\"\\u{fffd}\""},
      {"\xc3", "\"\\u{fffd}\""},
      {"\xed\xa0\x80", "\"\\u{fffd}\\u{fffd}\\u{fffd}\""},
  };
  for (const Case& c : cases) EXPECT_EQ(engine::quoted(c.text), c.shown) << c.text;
  EXPECT_EQ(quoted_list(std::vector<std::string>{"a", "b\""}), "[\"a\", \"b\\\"\"]");
  EXPECT_EQ(quoted_list(std::vector<std::string>{}), "[]");
}

TEST(Faults, CheckThrowsAnInternalFault) {
  try {
    QUORBIN_CHECK(1 + 1 == 3);
    FAIL() << "no fault";
  } catch (const InternalFault& fault) {
    EXPECT_NE(std::string(fault.what()).find("1 + 1 == 3"), std::string::npos);
    EXPECT_NE(std::string(fault.what()).find("test_engine_core.cpp"), std::string::npos);
  }
}

TEST(Errors, SyntaxErrorFrame) {
  Error e = syntax_error_at("unexpected end of input", 5, "<quorbin-native>");
  EXPECT_EQ(e.kind, ErrorKind::Syntax);
  EXPECT_EQ(e.detail, "unexpected end of input at byte offset 5 in <quorbin-native>");
}

}  // namespace
}  // namespace quorbin::engine
