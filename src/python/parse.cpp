#include "python/parse.h"

#include <chrono>

#include "engine/quote.h"
#include "python/frame.h"

#if __has_include("syntax/parser.h")
#include "syntax/parser.h"
#define QUORBIN_HAVE_PARSER 1
#endif

namespace quorbin::python {

bool parser_available() {
#ifdef QUORBIN_HAVE_PARSER
  return true;
#else
  return false;
#endif
}

engine::Result<syntax::Tree> parse_source(const std::string& source, const std::string& filename, bool release_lock,
                                          uint64_t* elapsed_ns) {
#ifdef QUORBIN_HAVE_PARSER
  const auto start = std::chrono::steady_clock::now();
  syntax::ParseResult parsed;
  if (release_lock) {
    // An exception from the parser unwinds through WithoutLock, which takes
    // the lock back before the frame reports it.
    WithoutLock unlocked;
    parsed = syntax::parse_module(source, filename);
  } else {
    parsed = syntax::parse_module(source, filename);
  }
  if (elapsed_ns) {
    const auto end = std::chrono::steady_clock::now();
    *elapsed_ns = end > start ? std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count() : 0;
  }
  if (!parsed.ok) return engine::syntax_error_at(parsed.error.message, parsed.error.offset, filename);
  return std::move(parsed.tree);
#else
  (void)source;
  (void)filename;
  (void)release_lock;
  (void)elapsed_ns;
  PyErr_SetString(PyExc_NotImplementedError, "the native parser is not part of this build yet");
  return engine::raised_error();
#endif
}

engine::Result<LocationPolicy> location_policy_from(std::string_view text) {
  if (text == "native") return LocationPolicy::Native;
  if (text == "fix_missing") return LocationPolicy::FixMissing;
  return engine::plain_value_error("unknown location_policy " + engine::quoted(text) +
                                   "; expected 'native' or 'fix_missing'");
}

Ref convert_tree(const syntax::Node* module, std::string_view line_text, LocationPolicy policy, ConvertStats* stats,
                 size_t* depth) {
  return Ref(convert_module(module, line_text, policy, stats, depth));
}

Ref unparse(PyObject* module, size_t tree_depth) {
  constexpr size_t kCallsPerLevel = 3;  // visit, the node's visit_*, traverse
  RecursionRoom room(tree_depth * kCallsPerLevel);
  Ref ast(PyImport_ImportModule("ast"));
  if (!ast) return Ref();
  Ref function(PyObject_GetAttrString(ast.get(), "unparse"));
  if (!function) return Ref();
  Ref text(PyObject_CallOneArg(function.get(), module));
  if (!text) return Ref();
  if (!PyUnicode_Check(text.get())) {
    raise_not_instance(text.get(), "str");
    return Ref();
  }
  if (PyUnicode_CheckExact(text.get())) return text;
  return Ref(PyUnicode_FromObject(text.get()));  // an exact copy of a subclass's text
}

}  // namespace quorbin::python
