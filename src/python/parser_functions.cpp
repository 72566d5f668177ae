// compile_composable, parse_module, copy_to_python_ast, to_source,
// bench_parse_convert.
#include <chrono>
#include <string>

#include "engine/build_info.h"
#include "python/exports.h"
#include "python/frame.h"
#include "python/native_module.h"
#include "python/parse.h"
#include "python/snapshot_writer.h"

#if __has_include("syntax/parser.h")
#include "syntax/parser.h"
#define QUORBIN_HAVE_PARSER 1
#endif

namespace quorbin::python {
namespace {

// Until the parser is part of the build, its functions refuse like the other
// functions that are not built yet.
Outcome parser_missing(const Args& args) {
  PyErr_Format(PyExc_NotImplementedError, "%s() is not implemented yet: the native parser is not part of this build",
               args.spec().name);
  return Outcome::raised();
}

// Copies made before the lock is released: the parser reads only these.
std::string filename_of(const Args& args, unsigned i) {
  return std::string(args.opt_text(i).value_or(kDefaultFilename));
}

Outcome compile_composable(Args& args) {
  if (!parser_available()) return parser_missing(args);
  NativeModuleData data;
  data.source = std::string(args.text(0));
  data.filename = filename_of(args, 1);
  engine::Result<syntax::Tree> tree = parse_source(data.source, data.filename, /*release_lock=*/true);
  if (!tree) return std::move(tree).error();
  data.tree = std::move(tree).value();
  return new_native_module(std::move(data));
}

Outcome parse_module(Args& args) {
  if (!parser_available()) return parser_missing(args);
  const std::string source(args.text(0));
  const std::string filename = filename_of(args, 1);
  engine::Result<syntax::Tree> tree = parse_source(source, filename, /*release_lock=*/true);
  if (!tree) return std::move(tree).error();
  // The policy is checked by the conversion, so a syntax error wins over it.
  engine::Result<LocationPolicy> policy = location_policy_from(args.text(2));
  if (!policy) return std::move(policy).error();
  return convert_tree(tree->module, source, *policy);
}

Outcome copy_to_python_ast(Args& args) { return native_module_to_ast(native_module_of(args.object(0)), args.text(1)); }

Outcome to_source(Args& args) { return native_module_to_source(native_module_of(args.object(0)), args.text(1)); }

#ifdef QUORBIN_HAVE_PARSER
double seconds(uint64_t ns) { return static_cast<double>(ns) / 1e9; }
double seconds(unsigned __int128 ns) { return static_cast<double>(ns) / 1e9; }

uint64_t elapsed_ns(std::chrono::steady_clock::time_point start) {
  const auto end = std::chrono::steady_clock::now();
  if (end <= start) return 0;
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count());
}
#endif

Outcome bench_parse_convert(Args& args) {
  const uint64_t iterations = args.index(1);
  if (iterations == 0) return engine::plain_value_error("iterations must be greater than zero");
#ifdef QUORBIN_HAVE_PARSER
  const std::string source(args.text(0));
  const std::string filename = filename_of(args, 2);

  // Parse phase: the lock is released once for the whole loop; each tree
  // replaces (and frees) the previous one.
  const auto parse_start = std::chrono::steady_clock::now();
  syntax::ParseResult parsed;
  {
    WithoutLock unlocked;
    for (uint64_t i = 0; i < iterations; ++i) {
      parsed = syntax::parse_module(source, filename);
      if (!parsed.ok) break;
    }
  }
  if (!parsed.ok) return engine::syntax_error_at(parsed.error.message, parsed.error.offset, filename);
  const uint64_t parse_ns = elapsed_ns(parse_start);

  const auto count_start = std::chrono::steady_clock::now();
  syntax::NodeCounts counts;
  syntax::count_nodes(parsed.tree.module, counts);
  const uint64_t count_ns = elapsed_ns(count_start);

  engine::Result<LocationPolicy> policy = location_policy_from(args.text(3));
  if (!policy) return std::move(policy).error();
  ConvertStats stats;
  const auto convert_start = std::chrono::steady_clock::now();
  for (uint64_t i = 0; i < iterations; ++i) {
    stats = ConvertStats();
    Ref module = convert_tree(parsed.tree.module, source, *policy, &stats);  // dropped at once
    if (!module) return Outcome::raised();
  }
  const uint64_t convert_ns = elapsed_ns(convert_start);

  Ref emit_stats = DictWriter()
                       .u64("nodes_constructed", stats.nodes_constructed)
                       .u64("required_default_fields", stats.required_default_fields)
                       .u64("location_fields", stats.location_fields)
                       .f64("constructor_seconds", seconds(stats.constructor_ns))
                       .f64("required_default_field_population_seconds", seconds(stats.list_ns))
                       .f64("location_population_seconds", seconds(stats.location_ns))
                       .finish();
  if (!emit_stats) return Outcome::raised();
  return DictWriter()
      .str("parser_backend", engine::kParserLabel)
      .u64("iterations", iterations)
      .f64("native_parse_seconds", seconds(parse_ns))
      .f64("native_ast_or_ir_count_seconds", seconds(count_ns))
      .f64("artifact_copy_seconds", seconds(convert_ns))
      .f64("cpython_ast_construction_seconds", seconds(convert_ns))
      .set("emit_stats", std::move(emit_stats))
      .set("node_counts", node_counts_dict(counts))
      .u64("source_bytes", source.size())
      .str("gil_notes",
           "Native parsing runs with the interpreter lock released; building the interpreter's ast objects "
           "holds the lock.")
      .finish();
#else
  return parser_missing(args);
#endif
}

constexpr Param kCompileParams[] = {{"source", Conv::Text}, {"filename", Conv::OptText, false}};
constexpr Param kParseParams[] = {
    {"source", Conv::Text}, {"filename", Conv::OptText, false}, {"location_policy", Conv::Text, false, "native"}};
constexpr Param kCopyParams[] = {{"composable", Conv::Module}, {"location_policy", Conv::Text, false, "native"}};
constexpr Param kBenchParams[] = {{"source", Conv::Text},
                                  {"iterations", Conv::Index},
                                  {"filename", Conv::OptText, false},
                                  {"location_policy", Conv::Text, false, "native"}};

constexpr FunctionSpec kParse{"parse_module", nullptr, kParseParams, 3, parse_module};
constexpr FunctionSpec kCompile{"compile_composable", nullptr, kCompileParams, 2, compile_composable};
constexpr FunctionSpec kCopy{"copy_to_python_ast", nullptr, kCopyParams, 2, copy_to_python_ast};
constexpr FunctionSpec kToSource{"to_source", nullptr, kCopyParams, 2, to_source};
constexpr FunctionSpec kBench{"bench_parse_convert", nullptr, kBenchParams, 4, bench_parse_convert};

}  // namespace

namespace exports {
PyMethodDef parse_module =
    QUORBIN_FUNCTION_DEF(kParse, "parse_module(source, filename=None, location_policy=\"native\")");
PyMethodDef compile_composable = QUORBIN_FUNCTION_DEF(kCompile, "compile_composable(source, filename=None)");
PyMethodDef copy_to_python_ast =
    QUORBIN_FUNCTION_DEF(kCopy, "copy_to_python_ast(composable, location_policy=\"native\")");
PyMethodDef to_source = QUORBIN_FUNCTION_DEF(kToSource, "to_source(composable, location_policy=\"native\")");
PyMethodDef bench_parse_convert = QUORBIN_FUNCTION_DEF(
    kBench, "bench_parse_convert(source, iterations, filename=None, location_policy=\"native\")");
}  // namespace exports

}  // namespace quorbin::python
