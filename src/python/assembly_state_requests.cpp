// assembly_state_apply_request_batch, assembly_state_query_demand_candidates
// and assembly_state_query_composable_candidates: reading requests and
// queries, and writing events and candidates. The search and the appends are
// the engine layer's.
#include <climits>
#include <optional>
#include <string>
#include <vector>

#include "engine/assembly_state.h"
#include "engine/engine.h"
#include "engine/handle.h"
#include "engine/queries.h"
#include "engine/request_batch.h"
#include "python/dict_reader.h"
#include "python/exports.h"
#include "python/frame.h"
#include "python/handles.h"
#include "python/snapshot_writer.h"

namespace quorbin::python {
namespace {

using engine::BatchRequest;
using engine::PathSelector;
using engine::RecordId;
using engine::Result;
using engine::Status;

std::string with_key(std::string_view key, const char* tail) {
  std::string text(key);
  text += tail;
  return text;
}

// ---------------------------------------------------------------------------
// Reading values shared by requests and queries

// None or a str: "{key} must be a string or None".
Result<std::optional<std::string>> read_optional_text(const DictReader& r, std::string_view key) {
  Result<Ref> v = r.value(key);
  if (!v) return std::move(v).error();
  if (v->get() == Py_None) return std::optional<std::string>();
  if (!PyUnicode_Check(v->get())) return engine::schema_error(with_key(key, " must be a string or None"));
  Result<std::string> text = read_text(v->get(), key);
  if (!text) return std::move(text).error();
  return std::optional<std::string>(std::move(text).value());
}

// Any iterable of str: "{key} entries must be strings".
Result<std::vector<std::string>> read_strings(PyObject* iterable, std::string_view key) {
  std::vector<std::string> items;
  Status s = for_each_item(iterable, [&](PyObject* item) -> Status {
    if (!PyUnicode_Check(item)) return engine::schema_error(with_key(key, " entries must be strings"));
    Result<std::string> text = read_text(item, key);
    if (!text) return std::move(text).error();
    items.push_back(std::move(text).value());
    return {};
  });
  if (!s) return std::move(s).error();
  return items;
}

// None or any iterable of str: a path selector, validated only when a
// search reaches its parts.
Result<std::optional<PathSelector>> read_selector(const DictReader& r, std::string_view key) {
  Result<Ref> v = r.value(key);
  if (!v) return std::move(v).error();
  if (v->get() == Py_None) return std::optional<PathSelector>();
  Result<std::vector<std::string>> parts = read_strings(v->get(), key);
  if (!parts) return std::move(parts).error();
  return std::optional<PathSelector>(std::move(parts).value());
}

// An int (or __index__) in the signed 64-bit range: "{key} must be an integer".
Result<int64_t> read_signed(const DictReader& r, std::string_view key) {
  Result<Ref> v = r.value(key);
  if (!v) return std::move(v).error();
  PyObject* value = v->get();
  Ref number;
  if (PyLong_Check(value)) {
    number = Ref::borrow(value);
  } else if (PyIndex_Check(value)) {
    number = Ref(PyNumber_Index(value));  // user code: its errors pass through
    if (!number) return engine::raised_error();
  } else {
    return engine::schema_error(with_key(key, " must be an integer"));
  }
  int overflow = 0;
  const long long result = PyLong_AsLongLongAndOverflow(number.get(), &overflow);
  if (result == -1 && PyErr_Occurred()) return engine::raised_error();
  if (overflow != 0) return engine::schema_error(with_key(key, " must be an integer"));
  return static_cast<int64_t>(result);
}

Result<engine::DemandTarget> read_demand_target(const DictReader& r) {
  engine::DemandTarget target;
  Result<std::optional<std::string>> name = read_optional_text(r, "name");
  if (!name) return std::move(name).error();
  target.name = std::move(name).value();
  Result<std::optional<PathSelector>> build_match = read_selector(r, "build_match");
  if (!build_match) return std::move(build_match).error();
  target.build_match = std::move(build_match).value();
  Result<std::optional<PathSelector>> owner_match = read_selector(r, "owner_match");
  if (!owner_match) return std::move(owner_match).error();
  target.owner_match = std::move(owner_match).value();
  return target;
}

Ref record_id_list(RecordId id) {
  ListWriter list;
  list.u64(id.occurrence).u64(id.record);
  return list.finish();
}

Ref u64_list(const std::vector<uint64_t>& values) {
  ListWriter list;
  for (uint64_t v : values) list.u64(v);
  return list.finish();
}

// ---------------------------------------------------------------------------
// Request batches

// The keys of one request, in their reading order: the kind, the kind's own
// keys, then the target description.
Result<BatchRequest> read_request(const engine::Engine& e, PyObject* item) {
  if (!PyDict_Check(item)) return engine::schema_error("batch request entries must be dicts");
  DictReader r(item);
  BatchRequest request;

  Result<std::string> kind_text = r.text("resource_kind");
  if (!kind_text) return std::move(kind_text).error();
  std::optional<engine::ResourceKind> kind = engine::parse_resource_kind(*kind_text);
  if (!kind) return engine::schema_error("unsupported batch resource kind: " + *kind_text);
  request.kind = *kind;

  switch (request.kind) {
    case engine::ResourceKind::Composable: {
      Result<Ref> tmpl = r.value("source_template");
      if (!tmpl) return std::move(tmpl).error();
      if (!is_instance(tmpl->get(), ClassId::TemplateHandle)) {
        return engine::schema_error("source_template must be a native template handle");
      }
      const engine::HandleRef& ref = handle_of(tmpl->get());
      if (Status s = engine::check_owner(e, ref); !s) return std::move(s).error();
      if (Status s = engine::check_range(e, ref); !s) return std::move(s).error();
      request.source_template = ref.index;
      Result<std::string> instance = r.text("source_instance_name");
      if (!instance) return std::move(instance).error();
      request.source_instance_name = std::move(instance).value();
      Result<int64_t> order = read_signed(r, "operation_order");
      if (!order) return std::move(order).error();
      request.operation_order = *order;
      break;
    }
    case engine::ResourceKind::External: {
      Result<uint64_t> token = r.unsigned_int("value_token", UIntWidth::U64);
      if (!token) return std::move(token).error();
      request.value_token = *token;
      break;
    }
    case engine::ResourceKind::Identifier: {
      Result<std::string> identifier = r.text("identifier");
      if (!identifier) return std::move(identifier).error();
      request.identifier = std::move(identifier).value();
      break;
    }
  }

  Result<engine::DemandTarget> target = read_demand_target(r);
  if (!target) return std::move(target).error();
  request.target = std::move(target).value();
  Result<bool> allow = r.boolean("allow_equivalent_demand_sites");
  if (!allow) return std::move(allow).error();
  request.allow_equivalent_demand_sites = *allow;
  return request;
}

Ref event_dict(const engine::Engine& e, uint64_t state_index, const engine::BatchEvent& ev) {
  DictWriter d;
  d.str("kind", engine::resource_kind_text(ev.kind))
      .u64("request_index", ev.request_index)
      .set("target_record", record_id_list(ev.target));
  switch (ev.kind) {
    case engine::ResourceKind::Composable:
      d.set("production_records", u64_list(ev.production_records))
          .set("source_build_path", new_str_list(ev.source_build_path))
          .u64("source_occurrence_id", ev.source_occurrence)
          .set("source_occurrence_handle", new_handle(engine::occurrence_handle(e, state_index, ev.source_occurrence)))
          .u64("edge_id", ev.edge_id)
          .str("operation_key", ev.operation_key)
          .i64("order", ev.order)
          .boolean("mark_satisfied", ev.mark_satisfied);
      break;
    case engine::ResourceKind::External:
      d.u64("overlay_id", ev.overlay_id).str("source_label", ev.source_label).u64("value_token", ev.value_token);
      break;
    case engine::ResourceKind::Identifier:
      d.u64("overlay_id", ev.overlay_id).str("source_label", ev.source_label);
      break;
  }
  return d.finish();
}

Outcome assembly_state_apply_request_batch(Args& args) {
  engine::Engine& e = args.engine(0);
  const engine::HandleRef& state = args.handle(1);
  if (Status s = engine::check_open(e); !s) return std::move(s).error();
  if (Status s = engine::check_owner(e, state); !s) return std::move(s).error();

  // Every request is read before anything changes: a malformed request
  // anywhere in the batch leaves the state as it was.
  std::vector<BatchRequest> requests;
  Status read = for_each_item(args.object(2), [&](PyObject* item) -> Status {
    Result<BatchRequest> request = read_request(e, item);
    if (!request) return std::move(request).error();
    requests.push_back(std::move(request).value());
    return {};
  });
  if (!read) return std::move(read).error();

  Result<engine::BatchOutcome> outcome = engine::apply_request_batch(e, state.index, requests);
  if (!outcome) return std::move(outcome).error();

  ListWriter events;
  for (const engine::BatchEvent& ev : outcome->events) {
    if (!events.ok()) break;
    events.append(event_dict(e, state.index, ev));
  }
  DictWriter summary;
  summary.u64("candidate_count", outcome->candidate_count).u64("request_count", requests.size());
  DictWriter d;
  d.set("events", events.finish()).set("diagnostic_summary", summary.finish());
  return d.finish();
}

// ---------------------------------------------------------------------------
// Candidate queries

// One (occurrence index, source name, target name) triple, from any
// iterable of exactly three items.
Result<engine::ExtraBinding> read_binding(PyObject* entry) {
  constexpr std::string_view key = "identifier_bindings";
  Ref iterator(PyObject_GetIter(entry));
  if (!iterator) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return engine::raised_error();
    PyErr_Clear();
    return engine::schema_error(with_key(key, " entries must be triples"));
  }
  // Three items and the end; a fourth is enough to refuse, so an endless
  // iterator cannot hold the call.
  Ref items[3];
  size_t count = 0;
  while (count <= 3) {
    Ref item(PyIter_Next(iterator.get()));
    if (!item) {
      if (PyErr_Occurred()) return engine::raised_error();
      break;
    }
    if (count < 3) items[count] = std::move(item);
    ++count;
  }
  if (count != 3) return engine::schema_error(with_key(key, " entries must be triples"));

  engine::ExtraBinding binding;
  Result<uint64_t> occurrence = read_unsigned(items[0].get(), UIntWidth::U64, key);
  if (!occurrence) {
    if (occurrence.error().kind == engine::ErrorKind::Schema) {
      return engine::schema_error(with_key(key, " occurrence indexes must be unsigned integers"));
    }
    return std::move(occurrence).error();
  }
  binding.occurrence = *occurrence;
  if (!PyUnicode_Check(items[1].get())) return engine::schema_error(with_key(key, " source names must be strings"));
  Result<std::string> source = read_text(items[1].get(), key);
  if (!source) return std::move(source).error();
  binding.source_name = std::move(source).value();
  if (!PyUnicode_Check(items[2].get())) return engine::schema_error(with_key(key, " target names must be strings"));
  Result<std::string> target = read_text(items[2].get(), key);
  if (!target) return std::move(target).error();
  binding.target_name = std::move(target).value();
  return binding;
}

Result<engine::CandidateQuery> read_query(PyObject* dict) {
  DictReader r(dict);
  engine::CandidateQuery query;
  Result<engine::DemandTarget> target = read_demand_target(r);
  if (!target) return std::move(target).error();
  query.target = std::move(target).value();

  Result<Ref> kinds = r.value("target_inventory_kinds");
  if (!kinds) return std::move(kinds).error();
  Result<std::vector<std::string>> kind_list = read_strings(kinds->get(), "target_inventory_kinds");
  if (!kind_list) return std::move(kind_list).error();
  query.kinds = std::move(kind_list).value();

  Result<Ref> bindings = r.value("identifier_bindings");
  if (!bindings) return std::move(bindings).error();
  if (bindings->get() != Py_None) {
    Status s = for_each_item(bindings->get(), [&](PyObject* entry) -> Status {
      Result<engine::ExtraBinding> binding = read_binding(entry);
      if (!binding) return std::move(binding).error();
      query.extra_bindings.push_back(std::move(binding).value());
      return {};
    });
    if (!s) return std::move(s).error();
  }
  return query;
}

Ref candidates_result(const std::vector<engine::Candidate>& candidates, bool with_productions) {
  ListWriter list;
  for (const engine::Candidate& c : candidates) {
    if (!list.ok()) break;
    DictWriter d;
    d.set("target_record", record_id_list(c.target));
    if (with_productions) d.set("production_records", u64_list(c.production_records));
    list.append(d.finish());
  }
  DictWriter summary;
  summary.u64("candidate_count", candidates.size());
  DictWriter d;
  d.set("candidates", list.finish()).set("diagnostic_summary", summary.finish());
  return d.finish();
}

Outcome assembly_state_query_demand_candidates(Args& args) {
  const engine::Engine& e = args.engine(0);
  const engine::HandleRef& state = args.handle(1);
  if (Status s = engine::check_demand_query(e, state); !s) return std::move(s).error();
  Result<engine::CandidateQuery> query = read_query(args.object(2));
  if (!query) return std::move(query).error();
  Result<std::vector<engine::Candidate>> found = engine::query_demand_candidates(e, state, *query);
  if (!found) return std::move(found).error();
  return candidates_result(*found, false);
}

Outcome assembly_state_query_composable_candidates(Args& args) {
  const engine::Engine& e = args.engine(0);
  const engine::HandleRef& state = args.handle(1);
  const engine::HandleRef& source_template = args.handle(2);
  if (Status s = engine::check_composable_query(e, state, source_template); !s) return std::move(s).error();
  Result<engine::CandidateQuery> query = read_query(args.object(3));
  if (!query) return std::move(query).error();
  Result<std::vector<engine::Candidate>> found =
      engine::query_composable_candidates(e, state, source_template, *query);
  if (!found) return std::move(found).error();
  return candidates_result(*found, true);
}

// ---------------------------------------------------------------------------
// Specs

constexpr Param kBatchParams[] = {
    {"engine", Conv::EngineMut}, {"state", Conv::AssemblyState}, {"requests", Conv::Object}};
constexpr Param kDemandParams[] = {{"engine", Conv::Engine}, {"state", Conv::AssemblyState}, {"request", Conv::Dict}};
constexpr Param kComposableParams[] = {{"engine", Conv::Engine},
                                       {"state", Conv::AssemblyState},
                                       {"source_template", Conv::Template},
                                       {"request", Conv::Dict}};

constexpr FunctionSpec kBatch{"assembly_state_apply_request_batch", nullptr, kBatchParams, 3,
                              assembly_state_apply_request_batch};
constexpr FunctionSpec kDemand{"assembly_state_query_demand_candidates", nullptr, kDemandParams, 3,
                               assembly_state_query_demand_candidates};
constexpr FunctionSpec kComposable{"assembly_state_query_composable_candidates", nullptr, kComposableParams, 4,
                                   assembly_state_query_composable_candidates};

}  // namespace

namespace exports {
PyMethodDef assembly_state_apply_request_batch =
    QUORBIN_FUNCTION_DEF(kBatch, "assembly_state_apply_request_batch(engine, state, requests)");
PyMethodDef assembly_state_query_demand_candidates =
    QUORBIN_FUNCTION_DEF(kDemand, "assembly_state_query_demand_candidates(engine, state, request)");
PyMethodDef assembly_state_query_composable_candidates = QUORBIN_FUNCTION_DEF(
    kComposable, "assembly_state_query_composable_candidates(engine, state, source_template, request)");
}  // namespace exports

}  // namespace quorbin::python
