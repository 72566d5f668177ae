// Plan failures Python cannot provoke: packages built by extraction always
// carry a record row and a locator for every record, so a missing one needs
// a package assembled by hand.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/assembly_state_ops.h"
#include "engine/engine.h"
#include "engine/handle.h"
#include "engine/package.h"
#include "engine/plan.h"

namespace quorbin::engine {
namespace {

SurfaceBundle bundle_with_every_key() {
  SurfaceBundle b;
  for (const char* key : {"quorbin.operation.splice_body_at_marker", "quorbin.operation.gate_no_unresolved",
                          "quorbin.operation.keep_name", "quorbin.operation.managed_import_request",
                          "quorbin.operation.rename_if_collides", "quorbin.operation.strip_marker"}) {
    b.operations.push_back(Operation{key, 1, ""});
  }
  return b;
}

// A package with a module scope binding `names`, and, when `with_record`,
// one record row whose locator is `locator_id` (with a locator row only when
// `with_locator`).
std::shared_ptr<const TemplatePackage> package(std::vector<std::string_view> names, bool with_record,
                                               bool with_locator) {
  PackageInterner in("sig", "key", "summary");
  ScopeRow scope;
  scope.scope_kind = in.string("module");
  scope.ast_path = in.ast_path("");
  scope.owner_path = in.path(std::vector<std::string>{});
  scope.local_bindings = in.binding_set(std::move(names));
  scope.arguments = in.binding_set({});
  in.package().scopes.push_back(scope);
  if (with_record) {
    PackageRecord r;
    r.template_record_id = 0;
    r.locator_id = 0;
    r.inventory_kind = in.string("hole.block");
    r.owner_path = in.path(std::vector<std::string>{});
    r.semantic_summary = in.string("");
    r.surface_key = in.string("quorbin.surface.block.hole");
    in.package().records.push_back(r);
  }
  if (with_locator) {
    PackageLocator l;
    l.ast_path = in.ast_path("body[0]/value");
    l.authored_summary = in.string("");
    l.materialization_anchor = in.string("");
    l.role_key = in.string("hole.block");
    in.package().locators.push_back(l);
  }
  return std::make_shared<const TemplatePackage>(in.take());
}

Result<MaterializationPlan> plan_of_one_splice(bool with_record, bool with_locator) {
  Engine e = create_engine();
  e.surface_bundle = bundle_with_every_key();
  RegisteredTemplate target;
  RegisteredRecord hole;
  hole.inventory_kind = "hole.block";
  target.records.push_back(hole);
  target.package = package({"a"}, with_record, with_locator);
  RegisteredTemplate source;
  source.package = package({"a", "b"}, false, false);
  e.templates.push_back(std::move(target));
  e.templates.push_back(std::move(source));
  e.assembly_states.emplace_back();
  AssemblyState& st = e.assembly_states[0];
  push_occurrence(st, e.templates[0], 0, {"Root"}, std::nullopt);
  push_occurrence(st, e.templates[1], 1, {"Root", "s"}, 0);
  push_edge(st, Edge{{0, 0}, 1, "quorbin.operation.splice_body_at_marker", 0});
  return materialization_plan(e, assembly_state_handle(e, 0), std::nullopt);
}

TEST(MaterializationPlan, TargetRecordLocatorMustExist) {
  for (auto [record, locator] : {std::pair{false, false}, std::pair{true, false}}) {
    Result<MaterializationPlan> p = plan_of_one_splice(record, locator);
    ASSERT_FALSE(p.ok());
    EXPECT_EQ(p.error().kind, ErrorKind::Schema);
    EXPECT_EQ(p.error().detail, "target record locator is missing");
  }
  Result<MaterializationPlan> p = plan_of_one_splice(true, true);
  ASSERT_TRUE(p.ok());
  ASSERT_EQ(p->hygiene.size(), 2u);  // the edge rename, then the gate
  EXPECT_EQ(p->hygiene[0].kind, HygieneKind::EdgeRename);
  EXPECT_EQ(p->hygiene[0].colliding_names, std::vector<std::string>{"a"});
  EXPECT_EQ(p->boundary_marker_count, 1u);
}

}  // namespace
}  // namespace quorbin::engine
