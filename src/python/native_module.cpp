#include "python/native_module.h"

#include <new>

#include "engine/build_info.h"
#include "engine/quote.h"
#include "python/frame.h"
#include "python/parse.h"
#include "python/snapshot_writer.h"
#include "python/types.h"

namespace quorbin::python {
namespace {

const NativeModuleData& self_module(PyObject* self) { return native_module_of(self); }

void destroy(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<NativeModuleObject*>(self)->~NativeModuleObject();
  type->tp_free(self);
  Py_DECREF(type);
}

Outcome get_filename(PyObject* self) { return new_str(self_module(self).filename); }
Outcome get_parser_backend(PyObject*) { return new_str(engine::kParserLabel); }
Outcome method_node_counts(PyObject* self) { return node_counts_dict(self_module(self).counts()); }

Outcome repr(PyObject* self) {
  const NativeModuleData& m = self_module(self);
  uint64_t total = 0;
  for (const auto& [name, count] : m.counts()) total += count;
  std::string text = "NativeModule(filename=";
  engine::append_quoted(text, m.filename);
  text += ", backend=";
  engine::append_quoted(text, engine::kParserLabel);
  text += ", nodes=";
  text += std::to_string(total);
  text += ')';
  return new_str(text);
}

Outcome method_copy_to_python_ast(Args& args) { return native_module_to_ast(self_module(args.self()), args.text(0)); }
Outcome method_to_source(Args& args) { return native_module_to_source(self_module(args.self()), args.text(0)); }

constexpr Param kPolicyParams[] = {{"location_policy", Conv::Text, false, "native"}};
constexpr FunctionSpec kCopy{"copy_to_python_ast", "NativeModule", kPolicyParams, 1, method_copy_to_python_ast};
constexpr FunctionSpec kToSource{"to_source", "NativeModule", kPolicyParams, 1, method_to_source};

PyGetSetDef g_getset[] = {
    {"filename", &getter_entry<get_filename>, nullptr, nullptr, nullptr},
    {"parser_backend", &getter_entry<get_parser_backend>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef g_methods[] = {
    QUORBIN_SELF_METHOD_DEF("node_counts", method_node_counts, "node_counts($self, /)"),
    QUORBIN_FUNCTION_DEF(kCopy, "copy_to_python_ast($self, /, location_policy=\"native\")"),
    QUORBIN_FUNCTION_DEF(kToSource, "to_source($self, /, location_policy=\"native\")"),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* create_native_module_type() {
  PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(&destroy)},
      {Py_tp_repr, reinterpret_cast<void*>(&repr_entry<repr>)},
      {Py_tp_getset, g_getset},
      {Py_tp_methods, g_methods},
      {0, nullptr},
  };
  PyType_Spec spec{};
  spec.name = "_quorbin_native_engine.NativeModule";
  spec.basicsize = static_cast<int>(sizeof(NativeModuleObject));
  spec.flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;
  spec.slots = slots;
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

Ref new_native_module(NativeModuleData&& data) {
  PyTypeObject* type = type_object(ClassId::NativeModule);
  auto* object = reinterpret_cast<NativeModuleObject*>(type->tp_alloc(type, 0));
  if (!object) return Ref();
  new (&object->header.borrow) BorrowCell();
  new (&object->data) NativeModuleData(std::move(data));
  return Ref(reinterpret_cast<PyObject*>(object));
}

Ref node_counts_dict(const syntax::NodeCounts& counts) {
  DictWriter d;
  for (const auto& [name, count] : counts) {
    if (!d.ok()) break;
    d.set(name, new_u64(count));
  }
  return d.finish();
}

Outcome native_module_to_ast(const NativeModuleData& module, std::string_view location_policy) {
  engine::Result<LocationPolicy> policy = location_policy_from(location_policy);
  if (!policy) return std::move(policy).error();
  return convert_tree(module.tree.module, module.source, *policy);
}

Outcome native_module_to_source(const NativeModuleData& module, std::string_view location_policy) {
  engine::Result<LocationPolicy> policy = location_policy_from(location_policy);
  if (!policy) return std::move(policy).error();
  size_t depth = 0;
  Ref tree = convert_tree(module.tree.module, module.source, *policy, nullptr, &depth);
  if (!tree) return Outcome::raised();
  return unparse(tree.get(), depth);
}

}  // namespace quorbin::python
