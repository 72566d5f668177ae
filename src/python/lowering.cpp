// lower_template_package_v2_from_registered_template: replays a registered
// template's package into the Python library's own lowering object, one
// keyword-argument call per row. What the object does with the rows is the
// library's business; only the calls and their order are fixed here.
#include <initializer_list>
#include <memory>
#include <utility>
#include <vector>

#include "engine/engine.h"
#include "engine/handle.h"
#include "engine/package.h"
#include "python/exports.h"
#include "python/frame.h"
#include "python/snapshot_writer.h"

namespace quorbin::python {
namespace {

using engine::StringId;
using engine::TemplatePackage;

constexpr const char* kBuilderModule = "quorbin.lower_engine.package_v2";
constexpr const char* kBuilderClass = "LowerTemplatePackageV2";

Ref package_str(std::string_view text) {
  return Ref(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass"));
}

// The arguments of one call, gathered by keyword in the order they are
// passed. A failed value (out of memory) is remembered and the call is not
// made.
class KeywordCall {
 public:
  explicit KeywordCall(const TemplatePackage& package) : p_(package) {}

  KeywordCall& arg(const char* name, Ref value) {
    names_.push_back(name);
    values_.push_back(std::move(value));
    return *this;
  }
  KeywordCall& str(const char* name, StringId id) { return arg(name, package_str(p_.string(id))); }
  KeywordCall& str_or_empty(const char* name, std::optional<StringId> id) {
    return arg(name, package_str(id ? std::string_view(p_.string(*id)) : std::string_view()));
  }
  KeywordCall& ast(const char* name, engine::AstPathId id) { return arg(name, package_str(p_.ast_path(id))); }
  KeywordCall& opt_ast(const char* name, std::optional<engine::AstPathId> id) {
    return id ? ast(name, *id) : arg(name, new_none());
  }
  KeywordCall& u64(const char* name, uint64_t value) { return arg(name, new_u64(value)); }
  KeywordCall& opt_u64(const char* name, std::optional<uint64_t> value) {
    return arg(name, value ? new_u64(*value) : new_none());
  }
  // Paths, binding sets and flags go over as tuples of str.
  KeywordCall& names(const char* name, const std::vector<StringId>& ids) { return arg(name, tuple(ids)); }
  KeywordCall& path(const char* name, engine::PathId id) { return names(name, p_.path(id)); }
  KeywordCall& opt_path(const char* name, std::optional<engine::PathId> id) {
    return id ? path(name, *id) : arg(name, new_none());
  }
  KeywordCall& binding_set(const char* name, engine::BindingSetId id) { return names(name, p_.binding_set(id)); }

  // Calls `callable(**arguments)`; the result, or null with the error set.
  Ref call(PyObject* callable) {
    std::vector<PyObject*> argv;
    Ref kwnames = prepare(argv);
    if (!kwnames) return Ref();
    return Ref(PyObject_Vectorcall(callable, argv.data(), 0, kwnames.get()));
  }

  // Calls `self.method(**arguments)`, looking the method up as attribute
  // access would.
  Ref call_method(PyObject* self, const char* method) {
    Ref name(PyUnicode_InternFromString(method));
    if (!name) return Ref();
    std::vector<PyObject*> argv{self};
    Ref kwnames = prepare(argv);
    if (!kwnames) return Ref();
    return Ref(PyObject_VectorcallMethod(name.get(), argv.data(), 1, kwnames.get()));
  }

 private:
  const TemplatePackage& p_;
  std::vector<const char*> names_;
  std::vector<Ref> values_;

  Ref tuple(const std::vector<StringId>& ids) const {
    Ref out(PyTuple_New(static_cast<Py_ssize_t>(ids.size())));
    if (!out) return Ref();
    for (size_t i = 0; i < ids.size(); ++i) {
      Ref item = package_str(p_.string(ids[i]));
      if (!item) return Ref();
      PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return out;
  }

  // Appends the values to `argv` and returns the tuple of their keywords.
  Ref prepare(std::vector<PyObject*>& argv) const {
    Ref kwnames(PyTuple_New(static_cast<Py_ssize_t>(names_.size())));
    if (!kwnames) return Ref();
    for (size_t i = 0; i < names_.size(); ++i) {
      if (!values_[i]) return Ref();
      PyObject* key = PyUnicode_InternFromString(names_[i]);
      if (!key) return Ref();
      PyTuple_SET_ITEM(kwnames.get(), static_cast<Py_ssize_t>(i), key);
      argv.push_back(values_[i].get());
    }
    return kwnames;
  }
};

// The add_* calls of every row, table by table. False with the error set
// when a call fails; that error is the builder's own and is not rewritten.
bool replay_rows(PyObject* builder, const TemplatePackage& p) {
  auto made = [](Ref result) { return static_cast<bool>(result); };
  for (const engine::PackageLocator& r : p.locators) {
    if (!made(KeywordCall(p)
                  .ast("ast_path", r.ast_path)
                  .str("role_key", r.role_key)
                  .str("authored_summary", r.authored_summary)
                  .str("materialization_anchor", r.materialization_anchor)
                  .opt_u64("parent_locator_id", r.parent_locator_id)
                  .u64("locator_id", r.locator_id)
                  .call_method(builder, "add_locator")))
      return false;
  }
  for (const engine::PackageRecord& r : p.records) {
    if (!made(KeywordCall(p)
                  .str("surface_key", r.surface_key)
                  .u64("locator_id", r.locator_id)
                  .str("inventory_kind", r.inventory_kind)
                  .path("owner_path", r.owner_path)
                  .str("semantic_summary", r.semantic_summary)
                  .str_or_empty("resource_name", r.resource_name)
                  .u64("template_record_id", r.template_record_id)
                  .call_method(builder, "add_record")))
      return false;
  }
  for (const engine::ScopeRow& r : p.scopes) {
    if (!made(KeywordCall(p)
                  .str("scope_kind", r.scope_kind)
                  .ast("ast_path", r.ast_path)
                  .path("owner_path", r.owner_path)
                  .binding_set("local_bindings", r.local_bindings)
                  .binding_set("arguments", r.arguments)
                  .opt_u64("parent_scope_id", r.parent_scope_id)
                  .opt_u64("start_line", r.start_line)
                  .call_method(builder, "add_scope")))
      return false;
  }
  // The marker id is the row's position; the builder counts its own.
  for (const engine::MarkerRow& r : p.markers) {
    if (!made(KeywordCall(p)
                  .str("marker_kind", r.marker_kind)
                  .str("source_name", r.source_name)
                  .ast("ast_path", r.ast_path)
                  .opt_ast("statement_path", r.statement_path)
                  .path("owner_path", r.owner_path)
                  .u64("scope_id", r.scope_id)
                  .u64("source_order", r.source_order)
                  .str_or_empty("resource_name", r.resource_name)
                  .str("operation_key", r.operation_key)
                  .names("flags", r.flags)
                  .call_method(builder, "add_marker")))
      return false;
  }
  for (const engine::PyimportMarkerRow& r : p.pyimport_markers) {
    if (!made(KeywordCall(p)
                  .u64("marker_id", r.marker_id)
                  .opt_path("module_path", r.module_path)
                  .binding_set("names", r.names)
                  .str("as_name", r.as_name)
                  .names("flags", r.flags)
                  .call_method(builder, "add_pyimport_marker")))
      return false;
  }
  // Managed imports are derived by the builder from the pyimport rows.
  for (const engine::CommentMarkerRow& r : p.comment_markers) {
    if (!made(KeywordCall(p)
                  .u64("marker_id", r.marker_id)
                  .str("payload", r.payload)
                  .names("flags", r.flags)
                  .call_method(builder, "add_comment_marker")))
      return false;
  }
  for (const engine::RefMarkerRow& r : p.ref_markers) {
    if (!made(KeywordCall(p)
                  .u64("marker_id", r.marker_id)
                  .str("ref_kind", r.ref_kind)
                  .str("context", r.context)
                  .str("sentinel_attr", r.sentinel_attr)
                  .opt_path("literal_path", r.literal_path)
                  .names("flags", r.flags)
                  .call_method(builder, "add_ref_marker")))
      return false;
  }
  for (const engine::UnrollMarkerRow& r : p.unroll_markers) {
    if (!made(KeywordCall(p)
                  .u64("marker_id", r.marker_id)
                  .ast("statement_path", r.statement_path)
                  .ast("target_ast_path", r.target_ast_path)
                  .ast("iter_ast_path", r.iter_ast_path)
                  .ast("domain_ast_path", r.domain_ast_path)
                  .ast("body_path", r.body_path)
                  .opt_ast("orelse_path", r.orelse_path)
                  .binding_set("target_bindings", r.target_bindings)
                  .str("domain_shape", r.domain_shape)
                  .names("flags", r.flags)
                  .call_method(builder, "add_unroll_marker")))
      return false;
  }
  return true;
}

Outcome lower_template_package_v2_from_registered_template(Args& args) {
  const engine::Engine& e = args.engine(0);
  const engine::HandleRef& handle = args.handle(1);
  if (engine::Status s = engine::resolve(e, {&handle}); !s) return std::move(s).error();
  // Held by a reference of our own: the builder's methods run Python code,
  // which can reach this engine again (only for reading, the borrow sees to
  // that), and the package must outlive whatever that code does.
  const std::shared_ptr<const TemplatePackage> package = e.templates[handle.index].package;
  if (!package) return engine::schema_error("native template does not carry package-v2 rows");

  Ref module(PyImport_ImportModule(kBuilderModule));
  if (!module) return Outcome::raised();
  Ref builder_class(PyObject_GetAttrString(module.get(), kBuilderClass));
  if (!builder_class) return Outcome::raised();

  const TemplatePackage& p = *package;
  if (p.strings.size() < 2) return engine::schema_error("package is missing template_key");
  if (p.strings.size() == 2) return engine::schema_error("package is missing source_summary");

  Ref builder = KeywordCall(p)
                    .str("template_key", 1)
                    .str("source_summary", 2)
                    .str("surface_bundle_signature", 0)
                    .call(builder_class.get());
  if (!builder) return Outcome::raised();
  if (!replay_rows(builder.get(), p)) return Outcome::raised();
  return builder;
}

constexpr Param kLowerParams[] = {{"engine", Conv::Engine}, {"template", Conv::Template}};
constexpr FunctionSpec kLower{"lower_template_package_v2_from_registered_template", nullptr, kLowerParams, 2,
                              lower_template_package_v2_from_registered_template};

}  // namespace

namespace exports {
PyMethodDef lower_template_package_v2_from_registered_template =
    QUORBIN_FUNCTION_DEF(kLower, "lower_template_package_v2_from_registered_template(engine, template)");
}  // namespace exports

}  // namespace quorbin::python
