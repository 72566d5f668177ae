// extract_template_snapshot, register_template_snapshot and
// compile_validate_source: template source and template snapshots between
// Python and the engine. The engine layer does the parsing, the checks and
// the walk; this file only reads and writes the dictionaries.
#include <limits>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/extract.h"
#include "engine/handle.h"
#include "engine/template.h"
#include "python/dict_reader.h"
#include "python/exports.h"
#include "python/frame.h"
#include "python/handles.h"
#include "python/snapshot_writer.h"
#include "python/surface_bundle.h"

namespace quorbin::python {
namespace {

using engine::RegisteredLocator;
using engine::RegisteredRecord;
using engine::RegisteredTemplate;
using engine::Result;
using engine::Status;
using engine::TemplateRecord;

constexpr std::string_view kExtractFilename = "<quorbin-native>";
constexpr std::string_view kValidateFilename = "<quorbin>";

#define QUORBIN_TRY(expr)                            \
  do {                                               \
    if (::quorbin::engine::Status s_ = (expr); !s_) return std::move(s_).error(); \
  } while (0)

// ---- extract_template_snapshot

Ref locator_dict(const TemplateRecord& record, uint64_t index) {
  const engine::RecordKindInfo& kind = engine::record_kind_info(record.kind);
  DictWriter d;
  d.str("ast_path", record.ast_path)
      .str("authored_summary", engine::authored_summary(record))
      .u64("locator_id", index)
      .str("materialization_anchor", kind.materialization_anchor)
      .none("parent_locator_id")
      .str("role_key", kind.inventory_kind)
      .u64("template_id", 0);
  return d.finish();
}

Ref record_dict(const TemplateRecord& record, uint64_t index) {
  const engine::RecordKindInfo& kind = engine::record_kind_info(record.kind);
  DictWriter state;
  state.boolean("satisfied", false).boolean("visible", true);
  ListWriter record_id;
  record_id.u64(0).u64(index);
  DictWriter d;
  d.set("code_owner", new_str_list(record.code_owner))
      .str("inventory_kind", kind.inventory_kind)
      .u64("locator_id", index)
      .u64("occurrence_id", 0)
      .set("record_id", record_id.finish())
      .str("resource_name", record.resource_name)
      .str("semantic_summary", engine::semantic_summary(record))
      .set("state", state.finish())
      .str("surface_key", kind.surface_key)
      .u64("template_record_id", index);
  return d.finish();
}

Ref empty_list() { return ListWriter().finish(); }

Ref template_snapshot(const engine::SurfaceBundle& bundle, const std::vector<TemplateRecord>& records,
                      std::string_view key, std::string_view summary) {
  DictWriter entry;
  entry.u64("record_count", records.size()).str("source_summary", summary).u64("template_id", 0).str("template_key", key);
  ListWriter templates;
  templates.append(entry.finish());

  ListWriter locators;
  ListWriter record_list;
  for (size_t i = 0; i < records.size() && locators.ok() && record_list.ok(); ++i) {
    locators.append(locator_dict(records[i], i));
    record_list.append(record_dict(records[i], i));
  }

  ListWriter build_path;
  build_path.str("Template");
  DictWriter occurrence;
  occurrence.set("build_path", build_path.finish())
      .u64("occurrence_id", 0)
      .none("parent_occurrence_id")
      .u64("template_id", 0);
  ListWriter occurrences;
  occurrences.append(occurrence.finish());

  DictWriter materialization;
  materialization.set("artifact_requests", empty_list())
      .set("debug_views", DictWriter().finish())
      .set("hygiene_stream", empty_list())
      .set("operation_stream", empty_list())
      .none("root_occurrence_id");

  DictWriter d;
  d.str("schema", engine::snapshot_checks::kSchema)
      .set("surface_bundle", surface_bundle_snapshot(bundle))
      .set("templates", templates.finish())
      .set("locators", locators.finish())
      .set("occurrences", occurrences.finish())
      .set("records", record_list.finish())
      .set("edges", empty_list())
      .set("overlays", empty_list())
      .set("materialization", materialization.finish())
      .set("diagnostics", empty_list());
  return d.finish();
}

Outcome extract_template_snapshot(Args& args) {
  // The line number is converted as an unsigned 64-bit index by the frame;
  // its narrower range is part of converting it, so it reports like one.
  uint64_t line_number = args.present(3) ? args.index(3) : 1;
  if (line_number > std::numeric_limits<uint32_t>::max()) {
    PyErr_SetString(PyExc_OverflowError, "int too big to convert");
    add_processing_note("line_number");
    return Outcome::raised();
  }
  const engine::Engine& e = args.engine(0);
  QUORBIN_TRY(engine::check_open(e));
  Result<const engine::SurfaceBundle*> bundle = engine::registered_surface_bundle(e);
  if (!bundle) return std::move(bundle).error();

  const std::string_view source = args.text(1);
  const std::string_view filename = args.opt_text(2).value_or(kExtractFilename);
  Result<syntax::Tree> tree = engine::parse_template(source, filename);
  if (!tree) return std::move(tree).error();
  Result<std::vector<TemplateRecord>> records =
      engine::extract_records(tree->module, source, static_cast<uint32_t>(line_number));
  if (!records) return std::move(records).error();

  const std::string key = engine::template_key(source);
  const std::string summary = engine::source_summary(static_cast<uint32_t>(line_number), records->size());
  Ref snapshot = template_snapshot(**bundle, *records, key, summary);
  if (!snapshot) return Outcome::raised();
  return snapshot;
}

// ---- register_template_snapshot

namespace checks = engine::snapshot_checks;

Status read_locator(const DictReader& reader, RegisteredTemplate& out) {
  const size_t position = out.locators.size();
  Result<uint64_t> id = reader.unsigned_int("locator_id", UIntWidth::U64);
  if (!id) return std::move(id).error();
  QUORBIN_TRY(checks::locator_id(*id, position));
  RegisteredLocator locator;
  for (auto [key, field] : {std::pair{"ast_path", &RegisteredLocator::ast_path},
                            std::pair{"authored_summary", &RegisteredLocator::authored_summary},
                            std::pair{"materialization_anchor", &RegisteredLocator::materialization_anchor}}) {
    Result<std::string> text = reader.text(key);
    if (!text) return std::move(text).error();
    locator.*field = std::move(text).value();
  }
  Result<std::optional<uint64_t>> parent = reader.optional_unsigned("parent_locator_id", UIntWidth::U64);
  if (!parent) return std::move(parent).error();
  locator.parent_locator_id = *parent;
  Result<std::string> role = reader.text("role_key");
  if (!role) return std::move(role).error();
  locator.role_key = std::move(role).value();
  out.locators.push_back(std::move(locator));
  return {};
}

Status read_record(const DictReader& reader, RegisteredTemplate& out) {
  const size_t position = out.records.size();
  Result<std::vector<uint64_t>> record_id = reader.unsigned_list("record_id", UIntWidth::U64);
  if (!record_id) return std::move(record_id).error();
  const std::vector<uint64_t>& ids = *record_id;
  QUORBIN_TRY(checks::record_id(ids.size(), ids.size() > 0 ? ids[0] : 0, ids.size() > 1 ? ids[1] : 0, position));
  Result<uint64_t> template_record_id = reader.unsigned_int("template_record_id", UIntWidth::U64);
  if (!template_record_id) return std::move(template_record_id).error();
  QUORBIN_TRY(checks::template_record_id(*template_record_id, position));

  RegisteredRecord record;
  Result<std::vector<std::string>> owner = reader.text_list("code_owner");
  if (!owner) return std::move(owner).error();
  record.code_owner = std::move(owner).value();
  Result<std::string> kind = reader.text("inventory_kind");
  if (!kind) return std::move(kind).error();
  record.inventory_kind = std::move(kind).value();
  Result<uint64_t> locator_id = reader.unsigned_int("locator_id", UIntWidth::U64);
  if (!locator_id) return std::move(locator_id).error();
  record.locator_id = *locator_id;
  for (auto [key, field] : {std::pair{"resource_name", &RegisteredRecord::resource_name},
                            std::pair{"semantic_summary", &RegisteredRecord::semantic_summary},
                            std::pair{"surface_key", &RegisteredRecord::surface_key}}) {
    Result<std::string> text = reader.text(key);
    if (!text) return std::move(text).error();
    record.*field = std::move(text).value();
  }
  out.records.push_back(std::move(record));
  return {};
}

Outcome register_template_snapshot(Args& args) {
  engine::Engine& e = args.engine(0);
  QUORBIN_TRY(engine::check_open(e));
  if (Result<const engine::SurfaceBundle*> bundle = engine::registered_surface_bundle(e); !bundle)
    return std::move(bundle).error();

  DictReader snapshot(args.object(1));
  Result<std::string> schema = snapshot.text("schema");
  if (!schema) return std::move(schema).error();
  QUORBIN_TRY(checks::schema(*schema));

  RegisteredTemplate registered;
  registered.first_global_locator_id = engine::next_first_global_locator_id(e.templates);

  std::vector<DictReader> entries;
  QUORBIN_TRY(snapshot.each_dict("templates", [&](const DictReader& entry) -> Status {
    entries.push_back(entry);
    return {};
  }));
  QUORBIN_TRY(checks::template_count(entries.size()));

  QUORBIN_TRY(snapshot.each_dict("locators", [&](const DictReader& l) { return read_locator(l, registered); }));
  QUORBIN_TRY(snapshot.each_dict("records", [&](const DictReader& r) { return read_record(r, registered); }));

  const DictReader& entry = entries.front();
  Result<uint64_t> record_count = entry.unsigned_int("record_count", UIntWidth::U64);
  if (!record_count) return std::move(record_count).error();
  QUORBIN_TRY(checks::record_count(*record_count, registered.records.size()));
  Result<std::string> key = entry.text("template_key");
  if (!key) return std::move(key).error();
  registered.template_key = std::move(key).value();
  Result<std::string> summary = entry.text("source_summary");
  if (!summary) return std::move(summary).error();
  registered.source_summary = std::move(summary).value();

  // Reading ran user code; the engine could not change meanwhile (it is held
  // exclusively), but the closed check is repeated as for every writer.
  QUORBIN_TRY(engine::check_open(e));
  // The handle is made first, so that a failure leaves nothing registered.
  Ref handle = new_handle(engine::template_handle(e, e.templates.size()));
  if (!handle) return Outcome::raised();
  e.templates.push_back(std::move(registered));
  return handle;
}

// ---- compile_validate_source

Outcome compile_validate_source(Args& args) {
  const std::string_view source = args.text(0);
  const std::string_view filename = args.opt_text(1).value_or(kValidateFilename);
  Result<syntax::Tree> tree = engine::parse_template(source, filename);
  if (!tree) return std::move(tree).error();
  QUORBIN_TRY(engine::check_no_authored_insert(tree->module, source));
  return new_none();
}

constexpr Param kExtractParams[] = {
    {"engine", Conv::Engine}, {"source", Conv::Text}, {"filename", Conv::OptText, false}, {"line_number", Conv::Index, false}};
constexpr Param kRegisterParams[] = {{"engine", Conv::EngineMut}, {"snapshot", Conv::Dict}};
constexpr Param kValidateParams[] = {{"source", Conv::Text}, {"filename", Conv::OptText, false}};

constexpr FunctionSpec kExtract{"extract_template_snapshot", nullptr, kExtractParams, 4, extract_template_snapshot};
constexpr FunctionSpec kRegister{"register_template_snapshot", nullptr, kRegisterParams, 2, register_template_snapshot};
constexpr FunctionSpec kValidate{"compile_validate_source", nullptr, kValidateParams, 2, compile_validate_source};

}  // namespace

namespace exports {
PyMethodDef extract_template_snapshot =
    QUORBIN_FUNCTION_DEF(kExtract, "extract_template_snapshot(engine, source, filename=None, line_number=1)");
PyMethodDef register_template_snapshot = QUORBIN_FUNCTION_DEF(kRegister, "register_template_snapshot(engine, snapshot)");
PyMethodDef compile_validate_source = QUORBIN_FUNCTION_DEF(kValidate, "compile_validate_source(source, filename=None)");
}  // namespace exports

}  // namespace quorbin::python
