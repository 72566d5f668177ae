#include "python/convert.h"

#include <algorithm>
#include <chrono>
#include <climits>
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
    stack_.reserve(64);
    line_starts_.push_back(0);
    if (native) {
      for (size_t i = 0; i < line_text.size(); ++i)
        if (line_text[i] == '\n') line_starts_.push_back(static_cast<uint64_t>(i) + 1);
    }
  }

  // The whole conversion runs from an explicit stack of frames, one per node
  // being built, so a tree as deep as the parser's budget needs no C stack
  // beyond this frame (a recursive walk overflows a thread's stack before the
  // budget ends under AddressSanitizer). Fields are converted in order and a
  // node is constructed once its children are, as a recursive walk would.
  PyObject* module(const Node* module) {
    PyObject* result = run(module);
    stack_.clear();  // after an error, releases every partly built object
    return result;
  }

  // The most frames open at once: the tree's depth in nodes, Module = 1.
  size_t depth() const { return max_depth_; }

 private:
  PyObject* ast_;
  bool native_;
  ConvertStats* stats_;
  std::vector<uint64_t> line_starts_;
  Ref kind_classes_[syntax::kKindCount];
  Ref op_classes_[kOperatorClasses];
  Ref position_names_[4];  // interned once per conversion, not per node

  struct Frame {
    const Node* n;
    const KindInfo* ki;
    unsigned field = 0;   // the next field to convert
    uint32_t item = 0;    // the next item, while a node list field is filled
    bool in_list = false;
    Ref values[8];        // the converted fields, in field order
    explicit Frame(const Node* node) : n(node), ki(&syntax::info(node->kind)) {}
  };
  std::vector<Frame> stack_;
  size_t max_depth_ = 0;

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

  // A field that holds no nodes.
  PyObject* scalar_field(const syntax::Slot& s, FieldType type) {
    switch (type) {
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
      case FieldType::Node:
      case FieldType::OptNode:
      case FieldType::NodeList:
      case FieldType::OptNodeList:
        break;
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

  void push(const Node* n) {
    stack_.emplace_back(n);
    if (stack_.size() > max_depth_) max_depth_ = stack_.size();
  }

  // The object of a frame whose fields are all converted.
  PyObject* construct_node(Frame& f) {
    PyObject* args[8];
    for (unsigned i = 0; i < f.ki->field_count; ++i) args[i] = f.values[i].get();
    Ref obj;
    {
      // The module's own construction is left out of the constructor time.
      Timer t(f.n->kind == Kind::Module ? nullptr : stats_, &ConvertStats::constructor_ns);
      obj = Ref(construct(class_for(f.n->kind), args, f.ki->field_count));
    }
    if (!obj) return nullptr;
    if (native_ && f.ki->located && !set_positions(obj.get(), f.n)) return nullptr;
    return obj.release();
  }

  // Lists are allocated before their items are converted; a failure midway
  // releases the partly filled list with its frame (its empty slots are NULL).
  PyObject* run(const Node* root) {
    stack_.clear();
    push(root);
    for (;;) {
      Frame& f = stack_.back();
      if (f.in_list) {
        const List* list = f.n->slot(f.field).list;
        if (f.item < syntax::list_size(list)) {
          const Node* child = list->items[f.item].node;
          if (child) {
            push(child);  // `f` is not used past this point
          } else {
            PyList_SET_ITEM(f.values[f.field].get(), f.item++, Py_NewRef(Py_None));
          }
          continue;
        }
        f.in_list = false;
        ++f.field;
        continue;
      }
      if (f.field < f.ki->field_count) {
        const FieldType type = f.ki->fields[f.field].type;
        const syntax::Slot& s = f.n->slot(f.field);
        switch (type) {
          case FieldType::Node:
            push(s.node);
            continue;
          case FieldType::OptNode:
            if (s.node) {
              push(s.node);
              continue;
            }
            f.values[f.field++] = Ref(Py_NewRef(Py_None));
            continue;
          case FieldType::NodeList:
          case FieldType::OptNodeList: {
            PyObject* list = new_list(syntax::list_size(s.list));
            if (!list) return nullptr;
            f.values[f.field] = Ref(list);
            f.item = 0;
            f.in_list = true;
            continue;
          }
          default: {
            PyObject* v = scalar_field(s, type);
            if (!v) return nullptr;
            f.values[f.field++] = Ref(v);
            continue;
          }
        }
      }
      PyObject* obj = construct_node(f);
      if (!obj) return nullptr;
      stack_.pop_back();
      if (stack_.empty()) return obj;
      Frame& parent = stack_.back();
      if (parent.in_list) {
        PyList_SET_ITEM(parent.values[parent.field].get(), parent.item++, obj);
      } else {
        parent.values[parent.field++] = Ref(obj);
      }
    }
  }
};

}  // namespace

namespace {

// ast.fix_missing_locations recurses in Python, one call per level of the
// tree (plus one for the operator and context leaves and two for the
// generators it iterates with), so its room is the interpreter's recursion
// limit, and that is far less than the depth the parser accepts. From 3.12
// on a call from Python code to Python code uses no C stack, so the limit can
// safely be raised for that call. The conversions running it at once (the
// GIL orders these updates, but the call itself may switch threads) share
// one raise: the first saves the limit, each raises it as far as it needs,
// the last puts the saved limit back, on success or error.
constexpr long kFixMargin = 50;
int g_room_users = 0;
int g_saved_limit = 0;

// Python frames already open on this thread.
long python_depth() {
#if PY_VERSION_HEX >= 0x030C0000
  const PyThreadState* ts = PyThreadState_Get();
  return static_cast<long>(ts->py_recursion_limit) - ts->py_recursion_remaining;
#else
  long depth = 0;
  PyFrameObject* frame = PyEval_GetFrame();
  Py_XINCREF(frame);
  while (frame) {
    ++depth;
    PyFrameObject* back = PyFrame_GetBack(frame);
    Py_DECREF(frame);
    frame = back;
  }
  return depth;
#endif
}

}  // namespace

RecursionRoom::RecursionRoom(size_t levels) {
  const long needed = python_depth() + static_cast<long>(levels) + kFixMargin;
  if (needed > INT_MAX) return;  // beyond any limit; the call raises RecursionError
  // While others hold a raise, the saved limit is what remains after them.
  const int base = g_room_users ? g_saved_limit : Py_GetRecursionLimit();
  if (needed <= base) return;
  if (g_room_users++ == 0) g_saved_limit = Py_GetRecursionLimit();
  joined_ = true;
  if (needed > Py_GetRecursionLimit()) Py_SetRecursionLimit(static_cast<int>(needed));
}

RecursionRoom::~RecursionRoom() {
  if (joined_ && --g_room_users == 0) Py_SetRecursionLimit(g_saved_limit);
}

PyObject* convert_module(const syntax::Node* module, std::string_view line_text, LocationPolicy policy,
                         ConvertStats* stats, size_t* depth_out) {
  Ref ast(PyImport_ImportModule("ast"));
  if (!ast) return nullptr;
  Ref result;
  size_t depth = 0;
  {
    Converter converter(ast.get(), line_text, policy == LocationPolicy::Native, stats);
    result = Ref(converter.module(module));
    depth = converter.depth();
  }
  if (!result) return nullptr;
  if (depth_out) *depth_out = depth;
  if (policy == LocationPolicy::FixMissing) {
    RecursionRoom room(depth);
    Ref fixed(PyObject_CallMethod(ast.get(), "fix_missing_locations", "O", result.get()));
    return fixed.release();
  }
  return result.release();
}

}  // namespace quorbin::python
