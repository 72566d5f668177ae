// Developer probe: parse(source) -> ast.Module through the native parser and
// the shared conversion, without the module's call frame. Lets the parser be
// compared with the interpreter's ast.parse while the rest is being built.
#include <Python.h>

#include <string>

#include "python/convert.h"
#include "python/pyref.h"
#if __has_include("syntax/parser.h")
#include "syntax/parser.h"
#define QUORBIN_HAVE_PARSER 1
#endif

namespace {

PyObject* probe_parse(PyObject*, PyObject* arg) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(arg, &size);
  if (!data) return nullptr;
#ifdef QUORBIN_HAVE_PARSER
  std::string source(data, static_cast<size_t>(size));
  quorbin::syntax::ParseResult result;
  Py_BEGIN_ALLOW_THREADS
  result = quorbin::syntax::parse_module(source, "<probe>");
  Py_END_ALLOW_THREADS
  if (!result.ok) {
    std::string msg = result.error.message + " at byte offset " + std::to_string(result.error.offset);
    PyErr_SetString(PyExc_SyntaxError, msg.c_str());
    return nullptr;
  }
  return quorbin::python::convert_module(result.tree.module, source, quorbin::python::LocationPolicy::Native);
#else
  PyErr_SetString(PyExc_NotImplementedError, "parser not built yet");
  return nullptr;
#endif
}

PyMethodDef methods[] = {{"parse", probe_parse, METH_O, nullptr}, {nullptr, nullptr, 0, nullptr}};
PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_quorbin_probe", nullptr, 0, methods};

}  // namespace

PyMODINIT_FUNC PyInit__quorbin_probe() { return PyModule_Create(&module_def); }
