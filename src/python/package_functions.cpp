// extract_template_package_v2_snapshot, register_template_package_v2_source
// and template_package_v2_snapshot: template packages between Python and the
// engine. The engine layer parses, extracts and interns; this file converts
// the arguments, registers, and writes the package dictionary.
#include <limits>
#include <memory>
#include <string>

#include "engine/engine.h"
#include "engine/handle.h"
#include "engine/package.h"
#include "python/exports.h"
#include "python/frame.h"
#include "python/handles.h"
#include "python/snapshot_writer.h"

namespace quorbin::python {
namespace {

using engine::AstPathId;
using engine::BindingSetId;
using engine::PathId;
using engine::Result;
using engine::StringId;
using engine::TemplatePackage;

constexpr std::string_view kExtractFilename = "<quorbin-native>";

// Comment payloads are string constants, which may hold lone surrogates;
// they go back to Python as written.
Ref package_str(std::string_view text) {
  return Ref(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass"));
}

// Writes one package as its dictionary, every index resolved.
class PackageWriter {
 public:
  explicit PackageWriter(const TemplatePackage& package) : p_(package) {}

  Ref write() {
    DictWriter d;
    d.str("schema", engine::kPackageSchema)
        .set("surface_bundle_signature", str(0))
        .set("template_key", str(1))
        .set("source_summary", str(2))
        .set("string_table", texts(p_.strings))
        .set("path_table", path_table())
        .set("ast_path_table", texts(p_.ast_paths))
        .set("binding_sets", binding_sets())
        .set("locators", rows(p_.locators, &PackageWriter::locator))
        .set("records", rows(p_.records, &PackageWriter::record))
        .set("scopes", rows(p_.scopes, &PackageWriter::scope))
        .set("markers", rows(p_.markers, &PackageWriter::marker))
        .set("pyimport_markers", rows(p_.pyimport_markers, &PackageWriter::pyimport))
        .set("managed_imports", rows(p_.managed_imports, &PackageWriter::managed_import))
        .set("comment_markers", rows(p_.comment_markers, &PackageWriter::comment))
        .set("ref_markers", rows(p_.ref_markers, &PackageWriter::ref))
        .set("unroll_markers", rows(p_.unroll_markers, &PackageWriter::unroll));
    return d.finish();
  }

 private:
  const TemplatePackage& p_;

  Ref str(StringId id) const { return package_str(p_.string(id)); }
  // Optional strings that the dictionary shows as "" when absent.
  Ref str_or_empty(std::optional<StringId> id) const { return id ? str(*id) : package_str(""); }
  Ref ast(AstPathId id) const { return package_str(p_.ast_path(id)); }
  Ref opt_ast(std::optional<AstPathId> id) const { return id ? ast(*id) : new_none(); }
  Ref opt_u64(std::optional<uint64_t> value) const { return value ? new_u64(*value) : new_none(); }

  Ref ids(const std::vector<StringId>& list) const {
    ListWriter out;
    for (StringId id : list) out.append(str(id));
    return out.finish();
  }
  Ref path(PathId id) const { return ids(p_.path(id)); }
  Ref opt_path(std::optional<PathId> id) const { return id ? path(*id) : new_none(); }
  Ref names(BindingSetId id) const { return ids(p_.binding_set(id)); }

  template <class Strings>
  static Ref texts(const Strings& strings) {
    ListWriter out;
    for (const std::string& s : strings) out.append(package_str(s));
    return out.finish();
  }

  Ref path_table() const {
    ListWriter out;
    for (const std::vector<StringId>& path : p_.paths) out.append(ids(path));
    return out.finish();
  }

  Ref binding_sets() const {
    ListWriter out;
    for (size_t i = 0; i < p_.binding_sets.size() && out.ok(); ++i) {
      DictWriter d;
      d.u64("binding_set_id", i).set("names", ids(p_.binding_sets[i]));
      out.append(d.finish());
    }
    return out.finish();
  }

  template <class Row>
  Ref rows(const std::vector<Row>& table, Ref (PackageWriter::*write_row)(const Row&) const) const {
    ListWriter out;
    for (size_t i = 0; i < table.size() && out.ok(); ++i) out.append((this->*write_row)(table[i]));
    return out.finish();
  }

  Ref locator(const engine::PackageLocator& r) const {
    DictWriter d;
    d.set("ast_path", ast(r.ast_path))
        .set("authored_summary", str(r.authored_summary))
        .u64("locator_id", r.locator_id)
        .set("materialization_anchor", str(r.materialization_anchor))
        .set("parent_locator_id", opt_u64(r.parent_locator_id))
        .set("role_key", str(r.role_key));
    return d.finish();
  }

  Ref record(const engine::PackageRecord& r) const {
    DictWriter d;
    d.set("flags", ListWriter().finish())
        .set("inventory_kind", str(r.inventory_kind))
        .u64("locator_id", r.locator_id)
        .set("operation_key", package_str(""))
        .set("owner_path", path(r.owner_path))
        .set("resource_name", str_or_empty(r.resource_name))
        .set("semantic_summary", str(r.semantic_summary))
        .set("surface_key", str(r.surface_key))
        .u64("template_record_id", r.template_record_id);
    return d.finish();
  }

  Ref scope(const engine::ScopeRow& r) const {
    DictWriter d;
    d.set("arguments", names(r.arguments))
        .set("ast_path", ast(r.ast_path))
        .set("local_bindings", names(r.local_bindings))
        .set("owner_path", path(r.owner_path))
        .set("parent_scope_id", opt_u64(r.parent_scope_id))
        .u64("scope_id", r.scope_id)
        .set("scope_kind", str(r.scope_kind))
        .set("start_line", opt_u64(r.start_line));
    return d.finish();
  }

  Ref marker(const engine::MarkerRow& r) const {
    DictWriter d;
    d.set("ast_path", ast(r.ast_path))
        .set("flags", ids(r.flags))
        .u64("marker_id", r.marker_id)
        .set("marker_kind", str(r.marker_kind))
        .set("operation_key", str(r.operation_key))
        .set("owner_path", path(r.owner_path))
        .set("resource_name", str_or_empty(r.resource_name))
        .u64("scope_id", r.scope_id)
        .set("source_name", str(r.source_name))
        .u64("source_order", r.source_order)
        .set("statement_path", opt_ast(r.statement_path));
    return d.finish();
  }

  Ref pyimport(const engine::PyimportMarkerRow& r) const {
    DictWriter d;
    d.set("as_name", str(r.as_name))
        .set("flags", ids(r.flags))
        .u64("marker_id", r.marker_id)
        .set("module_path", opt_path(r.module_path))
        .set("names", names(r.names))
        .u64("pyimport_marker_id", r.pyimport_marker_id);
    return d.finish();
  }

  Ref managed_import(const engine::ManagedImportRow& r) const {
    DictWriter d;
    d.set("final_local_name", str(r.final_local_name))
        .set("flags", ids(r.flags))
        .u64("managed_import_id", r.managed_import_id)
        .u64("marker_id", r.marker_id)
        .set("module_path", opt_path(r.module_path))
        .set("original_symbol", r.original_symbol ? str(*r.original_symbol) : new_none())
        .u64("scope_id", r.scope_id)
        .u64("source_order", r.source_order);
    return d.finish();
  }

  Ref comment(const engine::CommentMarkerRow& r) const {
    DictWriter d;
    d.u64("comment_marker_id", r.comment_marker_id)
        .set("flags", ids(r.flags))
        .u64("marker_id", r.marker_id)
        .set("payload", str(r.payload));
    return d.finish();
  }

  Ref ref(const engine::RefMarkerRow& r) const {
    DictWriter d;
    d.set("context", str(r.context))
        .set("flags", ids(r.flags))
        .set("literal_path", opt_path(r.literal_path))
        .u64("marker_id", r.marker_id)
        .set("ref_kind", str(r.ref_kind))
        .u64("ref_marker_id", r.ref_marker_id)
        .set("sentinel_attr", str(r.sentinel_attr));
    return d.finish();
  }

  Ref unroll(const engine::UnrollMarkerRow& r) const {
    DictWriter d;
    d.set("body_path", ast(r.body_path))
        .set("domain_ast_path", ast(r.domain_ast_path))
        .set("domain_shape", str(r.domain_shape))
        .set("flags", ids(r.flags))
        .set("iter_ast_path", ast(r.iter_ast_path))
        .u64("marker_id", r.marker_id)
        .set("orelse_path", opt_ast(r.orelse_path))
        .set("statement_path", ast(r.statement_path))
        .set("target_ast_path", ast(r.target_ast_path))
        .set("target_bindings", names(r.target_bindings))
        .u64("unroll_marker_id", r.unroll_marker_id);
    return d.finish();
  }
};

Ref package_snapshot(const TemplatePackage& package) { return PackageWriter(package).write(); }

// The line number is converted as an unsigned 64-bit index by the frame; the
// extraction counts lines in 32 bits, and a larger value is refused the way
// the conversion refuses one beyond 64 bits, rather than cut short.
bool read_line_number(const Args& args, unsigned slot, uint32_t& out) {
  const uint64_t line_number = args.present(slot) ? args.index(slot) : 1;
  if (line_number > std::numeric_limits<uint32_t>::max()) {
    PyErr_SetString(PyExc_OverflowError, "int too big to convert");
    add_processing_note("line_number");
    return false;
  }
  out = static_cast<uint32_t>(line_number);
  return true;
}

// The checks and the extraction both functions share.
Result<engine::ExtractedPackage> extract(const Args& args, const engine::Engine& e, uint32_t line_number) {
  if (engine::Status open = engine::check_open(e); !open) return std::move(open).error();
  Result<const engine::SurfaceBundle*> bundle = engine::registered_surface_bundle(e);
  if (!bundle) return std::move(bundle).error();
  const std::string_view filename = args.opt_text(2).value_or(kExtractFilename);
  return engine::extract_template_package(args.text(1), filename, line_number, (*bundle)->bundle_signature);
}

Outcome extract_template_package_v2_snapshot(Args& args) {
  uint32_t line_number = 1;
  if (!read_line_number(args, 3, line_number)) return Outcome::raised();
  Result<engine::ExtractedPackage> extracted = extract(args, args.engine(0), line_number);
  if (!extracted) return std::move(extracted).error();
  Ref snapshot = package_snapshot(extracted->package);
  if (!snapshot) return Outcome::raised();
  return snapshot;
}

Outcome register_template_package_v2_source(Args& args) {
  uint32_t line_number = 1;
  if (!read_line_number(args, 3, line_number)) return Outcome::raised();
  engine::Engine& e = args.engine(0);
  Result<engine::ExtractedPackage> extracted = extract(args, e, line_number);
  if (!extracted) return std::move(extracted).error();

  // The handle is made first, so that a failure leaves nothing registered.
  Ref handle = new_handle(engine::template_handle(e, e.templates.size()));
  if (!handle) return Outcome::raised();
  e.templates.push_back(engine::registered_template_from_package(
      std::move(extracted).value(), std::string(args.text(1)), engine::next_first_global_locator_id(e.templates)));
  return handle;
}

Outcome template_package_v2_snapshot(Args& args) {
  const engine::Engine& e = args.engine(0);
  const engine::HandleRef& handle = args.handle(1);
  if (engine::Status s = engine::resolve(e, {&handle}); !s) return std::move(s).error();
  const engine::RegisteredTemplate& registered = e.templates[handle.index];
  if (!registered.package) return engine::schema_error("native template does not carry package-v2 rows");
  Ref snapshot = package_snapshot(*registered.package);
  if (!snapshot) return Outcome::raised();
  return snapshot;
}

constexpr Param kExtractParams[] = {
    {"engine", Conv::Engine}, {"source", Conv::Text}, {"filename", Conv::OptText, false}, {"line_number", Conv::Index, false}};
constexpr Param kRegisterParams[] = {
    {"engine", Conv::EngineMut}, {"source", Conv::Text}, {"filename", Conv::OptText, false}, {"line_number", Conv::Index, false}};
constexpr Param kSnapshotParams[] = {{"engine", Conv::Engine}, {"template", Conv::Template}};

constexpr FunctionSpec kExtract{"extract_template_package_v2_snapshot", nullptr, kExtractParams, 4,
                                extract_template_package_v2_snapshot};
constexpr FunctionSpec kRegister{"register_template_package_v2_source", nullptr, kRegisterParams, 4,
                                 register_template_package_v2_source};
constexpr FunctionSpec kSnapshot{"template_package_v2_snapshot", nullptr, kSnapshotParams, 2,
                                 template_package_v2_snapshot};

}  // namespace

namespace exports {
PyMethodDef extract_template_package_v2_snapshot = QUORBIN_FUNCTION_DEF(
    kExtract, "extract_template_package_v2_snapshot(engine, source, filename=None, line_number=1)");
PyMethodDef register_template_package_v2_source = QUORBIN_FUNCTION_DEF(
    kRegister, "register_template_package_v2_source(engine, source, filename=None, line_number=1)");
PyMethodDef template_package_v2_snapshot =
    QUORBIN_FUNCTION_DEF(kSnapshot, "template_package_v2_snapshot(engine, template)");
}  // namespace exports

}  // namespace quorbin::python
