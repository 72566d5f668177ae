// Assembly-state checks that Python cannot reach: handles are only ever
// issued for objects that exist, so an index out of range, a record past its
// template's end or a template without a bundle need forged handles or an
// engine assembled by hand.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/assembly_state_ops.h"
#include "engine/engine.h"
#include "engine/handle.h"
#include "engine/queries.h"
#include "engine/request_batch.h"

namespace quorbin::engine {
namespace {

RegisteredRecord record(std::string kind, std::string name, std::vector<std::string> owner = {}) {
  RegisteredRecord r;
  r.inventory_kind = std::move(kind);
  r.resource_name = std::move(name);
  r.code_owner = std::move(owner);
  r.surface_key = "s";
  return r;
}

// An engine with one template of two records (a block hole `h` and a block
// production) and one state holding one occurrence of it; no bundle.
Engine small_engine() {
  Engine e = create_engine();
  RegisteredTemplate t;
  t.records = {record("hole.block", "h"), record("production.block", "__block__")};
  e.templates.push_back(std::move(t));
  e.assembly_states.emplace_back();
  push_occurrence(e.assembly_states[0], e.templates[0], 0, {"Root"}, std::nullopt);
  return e;
}

void expect_error(const Status& s, ErrorKind kind, const std::string& detail) {
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().kind, kind);
  EXPECT_EQ(s.error().detail, detail);
}

template <class T>
void expect_error(const Result<T>& r, ErrorKind kind, const std::string& detail) {
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind, kind);
  EXPECT_EQ(r.error().detail, detail);
}

TEST(AssemblyStateChecks, RangesInTheirOrder) {
  Engine e = small_engine();
  const HandleRef state = assembly_state_handle(e, 0);
  const HandleRef missing_state = assembly_state_handle(e, 5);
  const HandleRef tmpl = template_handle(e, 0);
  const HandleRef missing_tmpl = template_handle(e, 3);
  const HandleRef occ = occurrence_handle(e, 0, 0);
  const HandleRef missing_occ = occurrence_handle(e, 0, 9);
  const HandleRef rec = record_handle(e, 0, 0, 0);
  const HandleRef past_end = record_handle(e, 0, 0, 2);
  const HandleRef missing_rec_occ = record_handle(e, 0, 7, 0);
  const auto stale = ErrorKind::StaleHandle;

  // append_occurrence: the template range comes before the parent's checks,
  // the state range after them.
  expect_error(append_occurrence(e, missing_state, missing_tmpl, {}, nullptr), stale, "unknown native template handle");
  const HandleRef parent_elsewhere = occurrence_handle(e, 5, 0);
  expect_error(append_occurrence(e, state, tmpl, {}, &parent_elsewhere), stale,
               "parent occurrence belongs to another native assembly state");
  const HandleRef parent_in_missing = occurrence_handle(e, 5, 0);
  expect_error(append_occurrence(e, missing_state, tmpl, {}, &parent_in_missing), stale,
               "unknown native assembly state handle");
  expect_error(append_occurrence(e, state, tmpl, {}, &missing_occ), stale, "unknown native occurrence handle");
  expect_error(append_occurrence(e, missing_state, tmpl, {}, nullptr), stale, "unknown native assembly state handle");

  // record_handle
  expect_error(check_record_handle(e, missing_state, occurrence_handle(e, 5, 0), 0), stale,
               "unknown native assembly state handle");
  expect_error(check_record_handle(e, state, missing_occ, 0), stale, "unknown native occurrence handle");
  expect_error(check_record_handle(e, state, occ, 2), stale, "unknown native template record handle");

  // The target record check: occurrence, then record ("unknown native
  // template record", without "handle"), before the edge's source.
  expect_error(append_edge(e, state, missing_rec_occ, missing_occ, "op", 0), stale, "unknown native occurrence handle");
  expect_error(append_edge(e, state, past_end, missing_occ, "op", 0), stale, "unknown native template record");
  expect_error(append_edge(e, state, rec, missing_occ, "op", 0), stale, "unknown native occurrence handle");
  expect_error(append_edge(e, missing_state, record_handle(e, 5, 0, 0), occurrence_handle(e, 5, 0), "op", 0), stale,
               "unknown native assembly state handle");
  expect_error(append_overlay(e, state, past_end, "k", "l"), stale, "unknown native template record");
  expect_error(mark_satisfied(e, state, past_end), stale, "unknown native template record");
  expect_error(mark_satisfied(e, state, missing_rec_occ), stale, "unknown native occurrence handle");

  // Nothing of the above changed the state.
  const AssemblyState& st = e.assembly_states[0];
  EXPECT_EQ(st.occurrences.size(), 1u);
  EXPECT_TRUE(st.edges.empty() && st.overlays.empty() && st.satisfied.empty());
}

TEST(AssemblyStateChecks, TargetRecordChecksTheTemplateOfItsOccurrence) {
  Engine e = small_engine();
  e.assembly_states[0].occurrences.push_back(Occurrence{42, {"Lost"}, std::nullopt, true});
  expect_error(check_target_record(e, e.assembly_states[0], RecordId{1, 0}), ErrorKind::StaleHandle,
               "unknown native template handle");
  expect_error(check_record_handle(e, assembly_state_handle(e, 0), occurrence_handle(e, 0, 1), 0),
               ErrorKind::StaleHandle, "unknown native template handle");
}

BatchRequest block_request(uint64_t source_template) {
  BatchRequest r;
  r.kind = ResourceKind::Composable;
  r.source_template = source_template;
  r.source_instance_name = "c";
  r.target.name = "h";
  return r;
}

TEST(RequestBatch, StateAndBundleChecksComeWithTheFirstRequest) {
  Engine e = small_engine();
  // An empty batch checks nothing, not even the state index.
  Result<BatchOutcome> empty = apply_request_batch(e, 9, {});
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(empty->candidate_count, 0u);
  expect_error(apply_request_batch(e, 9, {block_request(0)}), ErrorKind::StaleHandle,
               "unknown native assembly state handle");
  expect_error(apply_request_batch(e, 0, {block_request(0)}), ErrorKind::Schema,
               "surface bundle has not been registered");
  // Other kinds need no bundle.
  BatchRequest ext;
  ext.kind = ResourceKind::External;
  expect_error(apply_request_batch(e, 0, {ext}), ErrorKind::Schema, "expected exactly one candidate, found 0");
  e.closed = true;
  expect_error(apply_request_batch(e, 0, {ext}), ErrorKind::StaleHandle, "engine handle is already closed");
}

TEST(CandidateQueries, ComposableQueriesNeedABundle) {
  Engine e = small_engine();
  CandidateQuery q;
  q.kinds = {"hole.block"};
  Result<std::vector<Candidate>> demand = query_demand_candidates(e, assembly_state_handle(e, 0), q);
  ASSERT_TRUE(demand.ok());
  ASSERT_EQ(demand->size(), 1u);
  EXPECT_EQ((*demand)[0].target, (RecordId{0, 0}));
  // The bundle check sits between the owners and the ranges.
  expect_error(query_composable_candidates(e, assembly_state_handle(e, 5), template_handle(e, 5), q),
               ErrorKind::Schema, "surface bundle has not been registered");
  e.surface_bundle.emplace();
  expect_error(query_composable_candidates(e, assembly_state_handle(e, 5), template_handle(e, 5), q),
               ErrorKind::StaleHandle, "unknown native assembly state handle");
  expect_error(query_composable_candidates(e, assembly_state_handle(e, 0), template_handle(e, 5), q),
               ErrorKind::StaleHandle, "unknown native template handle");
}

TEST(RecordState, DeadOccurrencesAndTheDeadSetHideRecords) {
  Engine e = small_engine();
  AssemblyState& st = e.assembly_states[0];
  push_occurrence(st, e.templates[0], 0, {"Root"}, std::nullopt);
  st.satisfied.insert({1, 0});
  st.dead.insert({1, 0});
  EXPECT_EQ(record_state(st, {1, 0}), RecordState::Dead);  // dead wins over satisfied
  st.occurrences[0].live = false;
  EXPECT_EQ(record_state(st, {0, 0}), RecordState::Dead);
  EXPECT_EQ(record_state(st, {1, 1}), RecordState::Live);
  CandidateQuery q;
  q.kinds = {"hole.block"};
  Result<std::vector<Candidate>> found = query_demand_candidates(e, assembly_state_handle(e, 0), q);
  ASSERT_TRUE(found.ok());
  EXPECT_TRUE(found->empty());
}

TEST(PathSelector, MatchesAndRefusals) {
  struct Case {
    PathSelector selector;
    std::vector<std::string> path;
    int expected;  // 1 match, 0 no match, -1 schema error
  };
  const Case cases[] = {
      {{}, {}, 1},
      {{}, {"a"}, 0},
      {{"*"}, {}, 1},
      {{"+"}, {}, 0},
      {{"?", "?"}, {"a"}, 1},
      {{".", "*", "."}, {"a"}, 0},
      {{"a", "*", "b"}, {"a", "x", "y", "b"}, 1},
      {{"zz", ""}, {"a"}, 0},  // the empty part sits behind a failing literal
      {{"a", ""}, {"a"}, -1},
      {{"a.b"}, {}, -1},  // a literal is validated even with no element left
      {{"ab", "?", "x*"}, {"ab"}, -1},
  };
  for (const Case& c : cases) {
    Result<bool> m = match_path_selector(c.selector, c.path);
    if (c.expected < 0) {
      EXPECT_FALSE(m.ok());
    } else {
      ASSERT_TRUE(m.ok());
      EXPECT_EQ(*m, c.expected == 1);
    }
  }
}

}  // namespace
}  // namespace quorbin::engine
