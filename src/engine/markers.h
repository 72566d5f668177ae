// The marker vocabulary of templates: which calls and names are markers, the
// checks their arguments must pass, and the placement rules run over a parsed
// template before anything is extracted from it. Everything here reads the
// native tree only; a refusal is returned as the detail of a schema error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/source_lines.h"
#include "syntax/tree.h"

namespace quorbin::engine {

// The detail of a schema error refusing template input; empty when the check
// passed.
using Refusal = std::optional<std::string>;

#define QUORBIN_TRY_REFUSAL(expr)       \
  do {                                  \
    if (::quorbin::engine::Refusal r_ = (expr)) return r_; \
  } while (0)

namespace names {
inline constexpr std::string_view kMarkerPrefix = "quorbin_";
inline constexpr std::string_view kHole = "quorbin_hole";
inline constexpr std::string_view kInsert = "quorbin_insert";
inline constexpr std::string_view kRef = "quorbin_ref";
inline constexpr std::string_view kBindExternal = "quorbin_bind_external";
inline constexpr std::string_view kKeep = "quorbin_keep";
inline constexpr std::string_view kExport = "quorbin_export";
inline constexpr std::string_view kImport = "quorbin_import";
inline constexpr std::string_view kPass = "quorbin_pass";
inline constexpr std::string_view kPyimport = "quorbin_pyimport";
inline constexpr std::string_view kFuncargs = "quorbin_funcargs";
inline constexpr std::string_view kComment = "quorbin_comment";
inline constexpr std::string_view kFor = "quorbin_for";
inline constexpr std::string_view kElif = "quorbin_elif";
inline constexpr std::string_view kParams = "quorbin_params";
inline constexpr std::string_view kFallback = "quorbin_fallback";
inline constexpr std::string_view kRootPrefix = "__quorbin_root__";
inline constexpr std::string_view kPlaceholderPrefix = "__quorbin_ph_";
inline constexpr std::string_view kAssignPrefix = "__quorbin_assign__";
inline constexpr std::string_view kArgSuffix = "__quorbin_arg__";
inline constexpr std::string_view kParamHoleSuffix = "__quorbin_param_hole__";
inline constexpr std::string_view kKeepSuffix = "__quorbin_keep__";
}  // namespace names

// The markers written as calls. `quorbin_elif`, `quorbin_params` and
// `quorbin_fallback` are markers only in their statement positions.
enum class Marker : uint8_t { Hole, Insert, Ref, BindExternal, Keep, Export, Import, Pass, Pyimport, Funcargs, Comment, For };

std::optional<Marker> call_marker_named(std::string_view identifier);

// Identifier of a slot (`Ident`/`OptIdent`); empty for an absent optional one.
inline std::string_view ident(const syntax::Node* node, unsigned slot) {
  const syntax::Str* s = node->str(slot);
  return s ? s->view() : std::string_view();
}

// The identifier of the callee when `node` is a Call whose func is a bare
// Name; nullopt for anything else.
std::optional<std::string_view> bare_callee(const syntax::Node* node);

// A marker call: a Call whose func is the bare Name `name`.
inline bool is_marker_call(const syntax::Node* node, std::string_view name) {
  std::optional<std::string_view> callee = bare_callee(node);
  return callee && *callee == name;
}

inline bool ends_with(std::string_view s, std::string_view suffix) { return s.ends_with(suffix); }

// `name` without `suffix` when it ends with it.
inline std::optional<std::string_view> base_name(std::string_view name, std::string_view suffix) {
  if (!name.ends_with(suffix)) return std::nullopt;
  return name.substr(0, name.size() - suffix.size());
}

// A definition's name as it enters a scope: at most one suffix removed, tried
// in this order.
std::string_view scope_name(std::string_view name);

// An expression statement whose value is a call of quorbin_keep,
// quorbin_export, quorbin_import or quorbin_pyimport by bare name.
bool is_metadata_marker_statement(const syntax::Node* stmt);

// The first positional argument must be a bare Name; its identifier is the
// marker's name. `marker` names the marker in the messages.
[[nodiscard]] Refusal name_argument(const syntax::Node* call, std::string_view marker, std::string_view& name);

enum class InsertForm : uint8_t { Decorator, Expression };

// The argument check of quorbin_insert, the name argument included.
[[nodiscard]] Refusal check_insert(const syntax::Node* call, InsertForm form, std::string_view& name);

// The directive placeholders and carriers of quorbin_funcargs(...).
[[nodiscard]] Refusal check_funcargs(const syntax::Node* call);

// The placement rules of the parse-and-check step: the contiguous top-of-scope
// prefix of quorbin_pyimport statements, then the position and body of
// `if quorbin_elif(...)` targets. First violation wins.
[[nodiscard]] Refusal check_pyimport_placement(const syntax::Node* module, const SourceLines& lines);
[[nodiscard]] Refusal check_elif_placement(const syntax::Node* module, const SourceLines& lines);
[[nodiscard]] inline Refusal check_marker_placement(const syntax::Node* module, const SourceLines& lines) {
  QUORBIN_TRY_REFUSAL(check_pyimport_placement(module, lines));
  return check_elif_placement(module, lines);
}

}  // namespace quorbin::engine
