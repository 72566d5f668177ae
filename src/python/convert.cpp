#include "python/convert.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "python/pyref.h"

namespace quorbin::python {

using syntax::Const;
using syntax::ConstKind;
using syntax::FieldType;
using syntax::Kind;
using syntax::KindInfo;
using syntax::List;
using syntax::Node;

namespace {

uint64_t now_ns() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

// Adds the time since construction to a counter, when counting is on.
class Timer {
 public:
  Timer(ConvertStats* stats, unsigned __int128 ConvertStats::*field)
      : stats_(stats), field_(field), start_(stats ? now_ns() : 0) {}
  ~Timer() {
    if (!stats_) return;
    uint64_t end = now_ns();
    if (end > start_) stats_->*field_ += end - start_;
  }

 private:
  ConvertStats* stats_;
  unsigned __int128 ConvertStats::*field_;
  uint64_t start_;
};

constexpr size_t kOperatorClasses = 3 + 2 + 13 + 4 + 10;

class Converter {
 public:
  Converter(PyObject* ast, std::string_view line_text, bool native, ConvertStats* stats)
      : ast_(ast), native_(native), stats_(stats) {
    line_starts_.push_back(0);
    if (native) {
      for (size_t i = 0; i < line_text.size(); ++i)
        if (line_text[i] == '\n') line_starts_.push_back(static_cast<uint64_t>(i) + 1);
    }
  }

  PyObject* module(const Node* module) {
    PyObject* args[2];
    Ref body(node_list(module->list(syntax::field::Module::body), FieldType::NodeList));
    if (!body) return nullptr;
    Ref ignores(type_ignores(module->list(syntax::field::Module::type_ignores)));
    if (!ignores) return nullptr;
    args[0] = body.get();
    args[1] = ignores.get();
    return construct(class_for(Kind::Module), args, 2);
  }

 private:
  PyObject* ast_;
  bool native_;
  ConvertStats* stats_;
  std::vector<uint64_t> line_starts_;
  Ref kind_classes_[syntax::kKindCount];
  Ref op_classes_[kOperatorClasses];
  Ref position_names_[4];  // interned once per conversion, not per node

  // The class lookups are cached for the length of one conversion: nothing
  // the conversion runs can rebind the names on the ast module.
  PyObject* lookup(Ref& slot, const char* name) {
    if (!slot) slot = Ref(PyObject_GetAttrString(ast_, name));
    return slot.get();
  }
  PyObject* class_for(Kind kind) {
    return lookup(kind_classes_[static_cast<size_t>(kind)], syntax::name_of(kind));
  }

  PyObject* construct(PyObject* cls, PyObject* const* args, size_t nargs) {
    if (!cls) return nullptr;
    if (stats_) ++stats_->nodes_constructed;
    return PyObject_Vectorcall(cls, args, nargs, nullptr);
  }

  PyObject* operator_instance(size_t index, const char* name) {
    Timer t(stats_, &ConvertStats::constructor_ns);
    PyObject* cls = lookup(op_classes_[index], name);
    return construct(cls, nullptr, 0);
  }
  PyObject* ctx(int64_t v) {
    return operator_instance(static_cast<size_t>(v), syntax::name_of(static_cast<syntax::ExprContext>(v)));
  }
  PyObject* boolop(int64_t v) {
    return operator_instance(3 + static_cast<size_t>(v), syntax::name_of(static_cast<syntax::BoolOperator>(v)));
  }
  PyObject* binop(int64_t v) {
    return operator_instance(5 + static_cast<size_t>(v), syntax::name_of(static_cast<syntax::Operator>(v)));
  }
  PyObject* unaryop(int64_t v) {
    return operator_instance(18 + static_cast<size_t>(v), syntax::name_of(static_cast<syntax::UnaryOperator>(v)));
  }
  PyObject* cmpop(int64_t v) {
    return operator_instance(22 + static_cast<size_t>(v), syntax::name_of(static_cast<syntax::CmpOperator>(v)));
  }

  static PyObject* text(const syntax::Str* s) {
    return PyUnicode_DecodeUTF8(s->data(), static_cast<Py_ssize_t>(s->size), "surrogatepass");
  }

  PyObject* constant(const Const* c) {
    switch (c->kind) {
      case ConstKind::None:
        return Py_NewRef(Py_None);
      case ConstKind::True:
        return Py_NewRef(Py_True);
      case ConstKind::False:
        return Py_NewRef(Py_False);
      case ConstKind::Ellipsis:
        return Py_NewRef(Py_Ellipsis);
      case ConstKind::Int:
        return PyLong_FromLongLong(c->i);
      case ConstKind::BigInt:
        // Powers-of-two bases convert in linear time and are not subject to
        // the interpreter's limit on decimal text; base 10 is, on purpose.
        return PyLong_FromString(c->text->data(), nullptr, c->base);
      case ConstKind::Float:
        return PyFloat_FromDouble(c->f);
      case ConstKind::Complex:
        return PyComplex_FromDoubles(0.0, c->f);
      case ConstKind::Str:
        return text(c->text);
      case ConstKind::Bytes:
        return PyBytes_FromStringAndSize(c->text->data(), static_cast<Py_ssize_t>(c->text->size));
      case ConstKind::Tuple: {
        const uint32_t n = syntax::list_size(c->tuple);
        Ref items;
        {
          Timer t(stats_, &ConvertStats::list_ns);
          if (stats_) ++stats_->required_default_fields;
          items = Ref(PyList_New(n));
        }
        if (!items) return nullptr;
        for (uint32_t i = 0; i < n; ++i) {
          PyObject* v = constant(c->tuple->items[i].cst);
          if (!v) return nullptr;
          PyList_SET_ITEM(items.get(), i, v);
        }
        return PySequence_Tuple(items.get());
      }
    }
    PyErr_SetString(PyExc_SystemError, "unknown native constant kind");
    return nullptr;
  }

  PyObject* new_list(uint32_t n) {
    Timer t(stats_, &ConvertStats::list_ns);
    if (stats_) ++stats_->required_default_fields;
    return PyList_New(n);
  }

  // Lists are allocated before their items are converted; a failure midway
  // releases the partly filled list (its empty slots are NULL).
  PyObject* node_list(const List* list, FieldType type) {
    const uint32_t n = syntax::list_size(list);
    Ref out(new_list(n));
    if (!out) return nullptr;
    for (uint32_t i = 0; i < n; ++i) {
      const Node* child = list->items[i].node;
      PyObject* v = child ? node(child) : Py_NewRef(Py_None);
      if (!v) return nullptr;
      PyList_SET_ITEM(out.get(), i, v);
    }
    return out.release();
  }

  PyObject* scalar_list(const List* list, FieldType type) {
    const uint32_t n = syntax::list_size(list);
    Ref out(new_list(n));
    if (!out) return nullptr;
    for (uint32_t i = 0; i < n; ++i) {
      PyObject* v = type == FieldType::IdentList ? text(list->items[i].str) : cmpop(list->items[i].i);
      if (!v) return nullptr;
      PyList_SET_ITEM(out.get(), i, v);
    }
    return out.release();
  }

  PyObject* type_ignores(const List* list) {
    const uint32_t n = syntax::list_size(list);
    Ref out(new_list(n));
    if (!out) return nullptr;
    for (uint32_t i = 0; i < n; ++i) {
      const Node* ti = list->items[i].node;
      Ref lineno(PyLong_FromLongLong(ti->integer(syntax::field::TypeIgnore::lineno)));
      if (!lineno) return nullptr;
      Ref tag(text(ti->str(syntax::field::TypeIgnore::tag)));
      if (!tag) return nullptr;
      PyObject* args[2] = {lineno.get(), tag.get()};
      PyObject* v;
      {
        Timer t(stats_, &ConvertStats::constructor_ns);
        v = construct(class_for(Kind::TypeIgnore), args, 2);
      }
      if (!v) return nullptr;
      PyList_SET_ITEM(out.get(), i, v);
    }
    return out.release();
  }

  PyObject* field(const Node* n, unsigned i, FieldType type) {
    const syntax::Slot& s = n->slot(i);
    switch (type) {
      case FieldType::Node:
        return node(s.node);
      case FieldType::OptNode:
        return s.node ? node(s.node) : Py_NewRef(Py_None);
      case FieldType::NodeList:
      case FieldType::OptNodeList:
        return node_list(s.list, type);
      case FieldType::IdentList:
      case FieldType::CmpOpList:
        return scalar_list(s.list, type);
      case FieldType::Ident:
      case FieldType::Str:
        return text(s.str);
      case FieldType::OptIdent:
      case FieldType::OptStr:
        return s.str ? text(s.str) : Py_NewRef(Py_None);
      case FieldType::Const:
        return constant(s.cst);
      case FieldType::Int:
        return PyLong_FromLongLong(s.i);
      case FieldType::ExprContext:
        return ctx(s.i);
      case FieldType::BoolOperator:
        return boolop(s.i);
      case FieldType::Operator:
        return binop(s.i);
      case FieldType::UnaryOperator:
        return unaryop(s.i);
    }
    PyErr_SetString(PyExc_SystemError, "unknown native field type");
    return nullptr;
  }

  void position(uint64_t offset, uint64_t& line, uint64_t& col) const {
    auto it = std::upper_bound(line_starts_.begin(), line_starts_.end(), offset);
    size_t index = static_cast<size_t>(it - line_starts_.begin()) - 1;
    line = index + 1;
    col = offset - line_starts_[index];
  }

  bool set_positions(PyObject* obj, const Node* n) {
    Timer t(stats_, &ConvertStats::location_ns);
    uint64_t values[4];
    position(n->start, values[0], values[1]);
    position(n->end, values[2], values[3]);
    for (int k = 0; k < 4; ++k) {
      if (!position_names_[k]) {
        static const char* const names[4] = {"lineno", "col_offset", "end_lineno", "end_col_offset"};
        position_names_[k] = Ref(PyUnicode_InternFromString(names[k]));
        if (!position_names_[k]) return false;
      }
      Ref v(PyLong_FromUnsignedLongLong(values[k]));
      if (!v || PyObject_SetAttr(obj, position_names_[k].get(), v.get()) < 0) return false;
    }
    if (stats_) stats_->location_fields += 4;
    return true;
  }

  PyObject* node(const Node* n) {
    const KindInfo& ki = syntax::info(n->kind);
    Ref values[8];
    for (unsigned i = 0; i < ki.field_count; ++i) {
      values[i] = Ref(field(n, i, ki.fields[i].type));
      if (!values[i]) return nullptr;
    }
    PyObject* args[8];
    for (unsigned i = 0; i < ki.field_count; ++i) args[i] = values[i].get();
    Ref obj;
    {
      Timer t(stats_, &ConvertStats::constructor_ns);
      obj = Ref(construct(class_for(n->kind), args, ki.field_count));
    }
    if (!obj) return nullptr;
    if (native_ && ki.located && !set_positions(obj.get(), n)) return nullptr;
    return obj.release();
  }
};

}  // namespace

PyObject* convert_module(const syntax::Node* module, std::string_view line_text, LocationPolicy policy,
                         ConvertStats* stats) {
  Ref ast(PyImport_ImportModule("ast"));
  if (!ast) return nullptr;
  Ref result;
  {
    Converter converter(ast.get(), line_text, policy == LocationPolicy::Native, stats);
    result = Ref(converter.module(module));
  }
  if (!result) return nullptr;
  if (policy == LocationPolicy::FixMissing) {
    Ref fixed(PyObject_CallMethod(ast.get(), "fix_missing_locations", "O", result.get()));
    return fixed.release();
  }
  return result.release();
}

}  // namespace quorbin::python
