#include "python/surface_bundle.h"

#include "python/dict_reader.h"
#include "python/snapshot_writer.h"

namespace quorbin::python {
namespace {

using engine::Error;
using engine::Result;
using engine::Status;

// Assigns the value of a read, or leaves the enclosing function with its error.
#define QUORBIN_READ(target, expression)           \
  do {                                             \
    auto read_result_ = (expression);              \
    if (!read_result_) return std::move(read_result_).error(); \
    (target) = std::move(read_result_).value();    \
  } while (0)

Status read_expectations(const DictReader& predicate, const char* key, std::vector<engine::Expectation>& out) {
  return predicate.each_dict(key, [&](const DictReader& item) -> Status {
    engine::Expectation e;
    QUORBIN_READ(e.field_name, item.text("field_name"));
    QUORBIN_READ(e.expected_value, item.text("expected_value"));
    out.push_back(std::move(e));
    return {};
  });
}

Status read_sections(const DictReader& r, engine::SurfaceBundle& b) {
  uint64_t schema_version = 0;
  QUORBIN_READ(schema_version, r.unsigned_int("schema_version", UIntWidth::U32));
  if (Status s = engine::check_bundle_schema_version(schema_version); !s) return s;
  b.schema_version = static_cast<uint32_t>(schema_version);

  Status s = r.each_dict("surfaces", [&](const DictReader& item) -> Status {
    engine::Surface x;
    QUORBIN_READ(x.surface_key, item.text("surface_key"));
    QUORBIN_READ(x.version, item.unsigned_int("version", UIntWidth::U32));
    QUORBIN_READ(x.summary, item.text("summary"));
    b.surfaces.push_back(std::move(x));
    return {};
  });
  if (!s) return s;

  s = r.each_dict("operations", [&](const DictReader& item) -> Status {
    engine::Operation x;
    QUORBIN_READ(x.operation_key, item.text("operation_key"));
    QUORBIN_READ(x.version, item.unsigned_int("version", UIntWidth::U32));
    QUORBIN_READ(x.summary, item.text("summary"));
    b.operations.push_back(std::move(x));
    return {};
  });
  if (!s) return s;

  s = r.each_dict("patterns", [&](const DictReader& item) -> Status {
    engine::Pattern x;
    QUORBIN_READ(x.template_key, item.text("template_key"));
    QUORBIN_READ(x.pattern_key, item.text("pattern_key"));
    QUORBIN_READ(x.version, item.unsigned_int("version", UIntWidth::U32));
    QUORBIN_READ(x.surface_key, item.text("surface_key"));
    QUORBIN_READ(x.operation_key, item.text("operation_key"));
    QUORBIN_READ(x.summary, item.text("summary"));
    QUORBIN_READ(x.enabled, item.boolean("enabled"));
    QUORBIN_READ(x.diagnostic_only, item.boolean("diagnostic_only"));
    if (Status done = engine::finish_pattern(x, b.patterns.size()); !done) return done;
    b.patterns.push_back(std::move(x));
    return {};
  });
  if (!s) return s;

  return r.each_dict("compatibility_rules", [&](const DictReader& item) -> Status {
    engine::CompatibilityRule x;
    Result<DictReader> predicate = item.dict("predicate");
    if (!predicate) return std::move(predicate).error();
    Result<DictReader> policy = item.dict("result_policy");
    if (!policy) return std::move(policy).error();
    QUORBIN_READ(x.target_surface_key, item.text("target_surface_key"));
    QUORBIN_READ(x.production_surface_key, item.text("production_surface_key"));
    if (Status e = read_expectations(*predicate, "target_expectations", x.target_expectations); !e) return e;
    if (Status e = read_expectations(*predicate, "production_expectations", x.production_expectations); !e) return e;
    QUORBIN_READ(x.policy_key, policy->text("policy_key"));
    QUORBIN_READ(x.policy_summary, policy->text("summary"));
    b.compatibility_rules.push_back(std::move(x));
    return {};
  });
}

Ref expectations_snapshot(const std::vector<engine::Expectation>& items) {
  ListWriter list;
  for (const engine::Expectation& e : items) {
    if (!list.ok()) break;
    list.append(DictWriter().str("expected_value", e.expected_value).str("field_name", e.field_name).finish());
  }
  return list.finish();
}

}  // namespace

Result<engine::SurfaceBundle> read_surface_bundle(PyObject* bundle) {
  const DictReader r(bundle);
  engine::SurfaceBundle b;
  if (Status s = read_sections(r, b); !s) return std::move(s).error();
  if (Status s = engine::validate_surface_bundle(b); !s) return std::move(s).error();
  // The key and signature come last, after every structural check.
  QUORBIN_READ(b.bundle_key, r.text("bundle_key"));
  QUORBIN_READ(b.bundle_signature, r.text("bundle_signature"));
  return b;
}

Ref surface_bundle_snapshot(const engine::SurfaceBundle& b) {
  ListWriter rules;
  for (const engine::CompatibilityRule& x : b.compatibility_rules) {
    if (!rules.ok()) break;
    Ref predicate = DictWriter()
                        .set("production_expectations", expectations_snapshot(x.production_expectations))
                        .set("target_expectations", expectations_snapshot(x.target_expectations))
                        .finish();
    Ref policy = DictWriter().str("policy_key", x.policy_key).str("summary", x.policy_summary).finish();
    rules.append(DictWriter()
                     .set("predicate", std::move(predicate))
                     .str("production_surface_key", x.production_surface_key)
                     .set("result_policy", std::move(policy))
                     .str("target_surface_key", x.target_surface_key)
                     .finish());
  }
  ListWriter operations;
  for (const engine::Operation& x : b.operations) {
    if (!operations.ok()) break;
    operations.append(
        DictWriter().str("operation_key", x.operation_key).str("summary", x.summary).u64("version", x.version).finish());
  }
  ListWriter patterns;
  for (const engine::Pattern& x : b.patterns) {
    if (!patterns.ok()) break;
    patterns.append(DictWriter()
                        .boolean("diagnostic_only", x.diagnostic_only)
                        .boolean("enabled", x.enabled)
                        .str("operation_key", x.operation_key)
                        .str("pattern_key", x.pattern_key)
                        .str("summary", x.summary)
                        .str("surface_key", x.surface_key)
                        .str("template_key", x.template_key)
                        .u64("version", x.version)
                        .finish());
  }
  ListWriter surfaces;
  for (const engine::Surface& x : b.surfaces) {
    if (!surfaces.ok()) break;
    surfaces.append(
        DictWriter().str("summary", x.summary).str("surface_key", x.surface_key).u64("version", x.version).finish());
  }
  if (!rules.ok() || !operations.ok() || !patterns.ok() || !surfaces.ok()) return Ref();
  return DictWriter()
      .str("bundle_key", b.bundle_key)
      .str("bundle_signature", b.bundle_signature)
      .set("compatibility_rules", rules.finish())
      .set("operations", operations.finish())
      .set("patterns", patterns.finish())
      .u64("schema_version", b.schema_version)
      .set("surfaces", surfaces.finish())
      .finish();
}

}  // namespace quorbin::python
