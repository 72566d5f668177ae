// Building a template package from a parsed template. Three walks run over
// the module after the template extraction has made its records:
//
// - the scope walk makes one scope row per module, function, async function
//   and class, with the names each binds;
// - the marker walk makes one marker row per marker site (marker calls,
//   marker definitions and decorators, suffixed identifiers), with the
//   comment and pyimport sub-rows of the calls it meets;
// - the site walk visits the same nodes once more, and also the body of a
//   `with` block hole, to attach reference and unrolled-loop rows to the
//   marker rows they belong to and to refuse references used as statements.
//
// The marker walk and the site walk are one traversal with a pass flag, so
// their child order cannot drift apart. Like the template extraction, that
// traversal takes its child order from template_walk.h and says in hooks
// where it parts from it.
#include <algorithm>
#include <map>
#include <string>
#include <unordered_map>

#include "engine/ast_path.h"
#include "engine/markers.h"
#include "engine/package.h"
#include "engine/source_lines.h"
#include "engine/deep_stack.h"
#include "engine/template_walk.h"
#include "syntax/literals.h"

namespace quorbin::engine {

using syntax::ConstKind;
using syntax::Kind;
using syntax::List;
using syntax::Node;
namespace field = syntax::field;

#define QUORBIN_PKG_TRY(expr)                                           \
  do {                                                                  \
    if (::quorbin::engine::Status s_ = (expr); !s_) return std::move(s_).error(); \
  } while (0)

namespace {

namespace flag {
inline constexpr std::string_view kCallContext = "call_context";
inline constexpr std::string_view kDefinitionalContext = "definitional_context";
inline constexpr std::string_view kDecoratorContext = "decorator_context";
inline constexpr std::string_view kIdentifierContext = "identifier_context";
inline constexpr std::string_view kStatementMarker = "is_statement_marker";
inline constexpr std::string_view kMetadataMarker = "is_metadata_marker";
inline constexpr std::string_view kExplicitBind = "explicit_bind_enabled";
inline constexpr std::string_view kOuterBind = "outer_bind_enabled";
inline constexpr std::string_view kFromImport = "from_import";
inline constexpr std::string_view kPlainImport = "plain_import";
inline constexpr std::string_view kDynamicModule = "dynamic_module";
inline constexpr std::string_view kValueForm = "value_form";
inline constexpr std::string_view kSentinelAttribute = "sentinel_attribute";
}  // namespace flag

// FunctionDef and AsyncFunctionDef share their layout; List and Tuple too.
static_assert(+field::FunctionDef::name == +field::AsyncFunctionDef::name &&
              +field::FunctionDef::args == +field::AsyncFunctionDef::args &&
              +field::FunctionDef::body == +field::AsyncFunctionDef::body &&
              +field::FunctionDef::decorator_list == +field::AsyncFunctionDef::decorator_list &&
              +field::FunctionDef::returns == +field::AsyncFunctionDef::returns);
static_assert(+field::FunctionDef::name == +field::ClassDef::name);
static_assert(+field::List::elts == +field::Tuple::elts);
static_assert(+field::ListComp::elt == +field::SetComp::elt && +field::ListComp::elt == +field::GeneratorExp::elt &&
              +field::ListComp::generators == +field::SetComp::generators &&
              +field::ListComp::generators == +field::GeneratorExp::generators);

// ---------------------------------------------------------------------------
// Small readers of the tree

bool is_ascii_identifier(std::string_view s) {
  auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
  if (s.empty() || !letter(s[0])) return false;
  return std::all_of(s.begin() + 1, s.end(), [&](char c) { return letter(c) || (c >= '0' && c <= '9'); });
}

// The interpreter's identifier rule (str.isidentifier). String constants may
// hold lone surrogates; they do not decode and so are never identifiers.
bool is_python_identifier(std::string_view s) {
  if (s.empty()) return false;
  size_t pos = 0;
  bool first = true;
  while (pos < s.size()) {
    char32_t c = 0;
    const unsigned length = syntax::decode_utf8(s, pos, c);
    if (length == 0) return false;
    if (first ? !syntax::is_identifier_start(c) : !syntax::is_identifier_continue(c)) return false;
    first = false;
    pos += length;
  }
  return true;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  size_t begin = 0;
  while (true) {
    const size_t end = text.find(separator, begin);
    parts.push_back(text.substr(begin, end == std::string_view::npos ? std::string_view::npos : end - begin));
    if (end == std::string_view::npos) return parts;
    begin = end + 1;
  }
}

const syntax::Const* constant_of(const Node* node) {
  if (!node || node->kind != Kind::Constant) return nullptr;
  return node->slot(field::Constant::value).cst;
}

std::optional<std::string_view> string_constant(const Node* node) {
  const syntax::Const* c = constant_of(node);
  if (!c || c->kind != ConstKind::Str) return std::nullopt;
  return c->text->view();
}

std::optional<std::string_view> bare_name(const Node* node) {
  if (!node || node->kind != Kind::Name) return std::nullopt;
  return ident(node, field::Name::id);
}

const Node* first_positional(const Node* call) {
  const List* args = call->list(field::Call::args);
  return syntax::list_size(args) != 0 ? syntax::list_node(args, 0) : nullptr;
}

uint32_t positional_count(const Node* call) { return syntax::list_size(call->list(field::Call::args)); }

// The value of the keyword `name` of a call; null when it is not given.
const Node* keyword_value(const Node* call, std::string_view name) {
  const List* keywords = call->list(field::Call::keywords);
  for (uint32_t i = 0; i < syntax::list_size(keywords); ++i) {
    const Node* kw = syntax::list_node(keywords, i);
    if (kw->str(field::keyword::arg) && ident(kw, field::keyword::arg) == name) return kw->child(field::keyword::value);
  }
  return nullptr;
}

// `a` or `a.b.c` written as a name or an attribute chain (read from the
// right, without recursion: a chain is as deep as it is long).
bool dotted_name(const Node* node, std::vector<std::string_view>& out) {
  std::vector<std::string_view> reversed;
  while (node && node->kind == Kind::Attribute) {
    reversed.push_back(ident(node, field::Attribute::attr));
    node = node->child(field::Attribute::value);
  }
  if (!node || node->kind != Kind::Name) return false;
  out.push_back(ident(node, field::Name::id));
  out.insert(out.end(), reversed.rbegin(), reversed.rend());
  return true;
}

// A call of `quorbin_ref` by bare name or as an attribute of another object.
bool is_ref_call(const Node* call) {
  const Node* func = call->child(field::Call::func);
  if (func->kind == Kind::Name) return ident(func, field::Name::id) == names::kRef;
  return func->kind == Kind::Attribute && ident(func, field::Attribute::attr) == names::kRef;
}

bool is_sentinel_attr(std::string_view attr) { return attr == "_" || attr == "quorbin_v"; }

// `quorbin_ref(...)._` or `quorbin_ref(...).quorbin_v`, the reference by bare name.
bool is_sentinel_of_ref(const Node* node) {
  return node->kind == Kind::Attribute && is_sentinel_attr(ident(node, field::Attribute::attr)) &&
         is_marker_call(node->child(field::Attribute::value), names::kRef);
}

// ---------------------------------------------------------------------------
// Bound names

// Names a target binds: names, also inside tuples, lists and starred targets.
// Attributes and subscripts bind none.
void target_names(const Node* target, std::vector<std::string_view>& out) {
  switch (target->kind) {
    case Kind::Name:
      out.push_back(ident(target, field::Name::id));
      return;
    case Kind::Tuple:
    case Kind::List: {
      const List* elts = target->list(field::Tuple::elts);
      for (uint32_t i = 0; i < syntax::list_size(elts); ++i) target_names(syntax::list_node(elts, i), out);
      return;
    }
    case Kind::Starred:
      target_names(target->child(field::Starred::value), out);
      return;
    default:
      return;
  }
}

// Names one statement binds by itself; the statements nested in its blocks
// count for themselves only where a caller walks them.
void statement_bindings(const Node* s, std::vector<std::string_view>& out) {
  switch (s->kind) {
    case Kind::Assign: {
      const List* targets = s->list(field::Assign::targets);
      for (uint32_t i = 0; i < syntax::list_size(targets); ++i) target_names(syntax::list_node(targets, i), out);
      return;
    }
    case Kind::AugAssign:
      target_names(s->child(field::AugAssign::target), out);
      return;
    case Kind::AnnAssign:
      target_names(s->child(field::AnnAssign::target), out);
      return;
    case Kind::For:
      target_names(s->child(field::For::target), out);
      return;
    case Kind::With: {
      const List* items = s->list(field::With::items);
      for (uint32_t i = 0; i < syntax::list_size(items); ++i)
        if (const Node* vars = syntax::list_node(items, i)->child(field::withitem::optional_vars))
          target_names(vars, out);
      return;
    }
    case Kind::Import:
    case Kind::ImportFrom: {
      const bool plain = s->kind == Kind::Import;
      const List* aliases = s->list(plain ? +field::Import::names : +field::ImportFrom::names);
      for (uint32_t i = 0; i < syntax::list_size(aliases); ++i) {
        const Node* alias = syntax::list_node(aliases, i);
        std::string_view bound = ident(alias, field::alias::asname);
        if (bound.empty()) {
          bound = ident(alias, field::alias::name);
          // `import a.b` binds `a`; `from m import *` binds nothing by name.
          if (plain) bound = bound.substr(0, bound.find('.'));
          if (bound == "*") continue;
        }
        out.push_back(bound);
      }
      return;
    }
    case Kind::FunctionDef:
    case Kind::AsyncFunctionDef:
    case Kind::ClassDef:
      out.push_back(ident(s, field::FunctionDef::name));
      return;
    default:
      return;
  }
}

void body_bindings(const List* body, std::vector<std::string_view>& out) {
  for (uint32_t i = 0; i < syntax::list_size(body); ++i) statement_bindings(syntax::list_node(body, i), out);
}

void parameter_names(const Node* arguments, std::vector<std::string_view>& out) {
  for (unsigned list : {+field::arguments::posonlyargs, +field::arguments::args, +field::arguments::kwonlyargs}) {
    const List* params = arguments->list(list);
    for (uint32_t i = 0; i < syntax::list_size(params); ++i)
      out.push_back(ident(syntax::list_node(params, i), field::arg::arg));
  }
  for (unsigned single : {+field::arguments::vararg, +field::arguments::kwarg})
    if (const Node* param = arguments->child(single)) out.push_back(ident(param, field::arg::arg));
}

// ---------------------------------------------------------------------------
// Scope walk

class ScopeWalk {
 public:
  ScopeWalk(PackageInterner& in, const SourceLines& lines) : in_(in), lines_(lines) {}

  void run(const Node* module, uint32_t line_number) {
    std::vector<std::string_view> bound;
    body_bindings(module->list(field::Module::body), bound);
    ScopeRow row;
    row.scope_id = 0;
    row.scope_kind = in_.string("module");
    row.ast_path = in_.ast_path("");
    row.owner_path = in_.path(owner_);
    row.local_bindings = in_.binding_set(std::move(bound));
    row.arguments = in_.binding_set({});
    row.start_line = line_number;
    in_.package().scopes.push_back(row);
    statements(module, field::Module::body, "body");
  }

 private:
  PackageInterner& in_;
  const SourceLines& lines_;
  PathBuilder path_;
  std::vector<std::string_view> owner_;
  uint64_t current_ = 0;

  void statements(const Node* owner, unsigned list_field, std::string_view name) {
    const List* list = owner->list(list_field);
    for (uint32_t i = 0; i < syntax::list_size(list); ++i) {
      PathStep step(path_, name, i);
      statement(syntax::list_node(list, i));
    }
  }

  // Only these blocks are entered: `async for`, `async with`, `match` and
  // `try` with `except*` keep their definitions out of the scope table.
  void statement(const Node* s) {
    switch (s->kind) {
      case Kind::FunctionDef:
      case Kind::AsyncFunctionDef:
      case Kind::ClassDef:
        definition(s);
        return;
      case Kind::For:
        statements(s, field::For::body, "body");
        statements(s, field::For::orelse, "orelse");
        return;
      case Kind::While:
        statements(s, field::While::body, "body");
        statements(s, field::While::orelse, "orelse");
        return;
      case Kind::If:
        statements(s, field::If::body, "body");
        statements(s, field::If::orelse, "orelse");
        return;
      case Kind::With:
        statements(s, field::With::body, "body");
        return;
      case Kind::Try: {
        statements(s, field::Try::body, "body");
        const List* handlers = s->list(field::Try::handlers);
        for (uint32_t h = 0; h < syntax::list_size(handlers); ++h) {
          PathStep step(path_, "handlers", h);
          statements(syntax::list_node(handlers, h), field::ExceptHandler::body, "body");
        }
        statements(s, field::Try::orelse, "orelse");
        statements(s, field::Try::finalbody, "finalbody");
        return;
      }
      default:
        return;
    }
  }

  void definition(const Node* s) {
    const bool is_class = s->kind == Kind::ClassDef;
    const std::string_view name = ident(s, field::FunctionDef::name);
    std::vector<std::string_view> arguments;
    if (!is_class) parameter_names(s->child(field::FunctionDef::args), arguments);
    std::vector<std::string_view> bound = arguments;
    body_bindings(s->list(is_class ? +field::ClassDef::body : +field::FunctionDef::body), bound);

    TemplatePackage& package = in_.package();
    ScopeRow row;
    row.scope_id = package.scopes.size();
    row.parent_scope_id = current_;
    row.scope_kind = in_.string(is_class ? "class" : s->kind == Kind::FunctionDef ? "function" : "async_function");
    row.ast_path = in_.ast_path(path_.view());
    owner_.push_back(name);
    row.owner_path = in_.path(owner_);
    row.local_bindings = in_.binding_set(std::move(bound));
    row.arguments = in_.binding_set(std::move(arguments));
    // The line within the source: a caller's line number shifts only the
    // module scope.
    row.start_line = lines_.line_of(s);
    package.scopes.push_back(row);

    const uint64_t outer = current_;
    current_ = row.scope_id;
    statements(s, is_class ? +field::ClassDef::body : +field::FunctionDef::body, "body");
    current_ = outer;
    owner_.pop_back();
  }
};

// ---------------------------------------------------------------------------
// Marker walk and site walk

enum class Pass : uint8_t { Markers, Sites };

// Marker rows that sites look up, by source name and AST path.
using SiteIndex = std::map<std::string, uint64_t, std::less<>>;

std::string site_key(std::string_view source_name, std::string_view ast_path) {
  std::string key(source_name);
  key += '\n';  // in neither a name nor a path
  key += ast_path;
  return key;
}

enum class IdentifierPlace : uint8_t { Plain, Definition, Parameter };

class MarkerWalk : public TemplateWalk<MarkerWalk, Status> {
 public:
  MarkerWalk(PackageInterner& in, Pass pass, const SiteIndex* sites)
      : in_(in), package_(in.package()), pass_(pass), sites_(sites) {
    for (const ScopeRow& scope : package_.scopes) scope_by_path_.emplace(package_.ast_path(scope.ast_path), scope.scope_id);
  }

  Status module(const Node* module) { return statements(module, field::Module::body, "body"); }

 private:
  friend class TemplateWalk<MarkerWalk, Status>;

  // Parameter rows come in the order the parameters are written.
  static constexpr ParameterOrder kParameterOrder = ParameterOrder::Source;
  // The tasks this walk queues itself.
  enum Hook : uint8_t { kExternalRow, kSentinelRef };

  PackageInterner& in_;
  TemplatePackage& package_;
  const Pass pass_;
  const SiteIndex* sites_;
  std::map<std::string, uint64_t, std::less<>> scope_by_path_;
  std::string statement_path_;
  // The reference call whose sentinel attribute already made its ref row.
  const Node* sentinel_call_ = nullptr;

  bool markers() const { return pass_ == Pass::Markers; }
  bool sites() const { return pass_ == Pass::Sites; }

  // The innermost statement's path, for the walk of one statement.
  class StatementPath {
   public:
    explicit StatementPath(MarkerWalk& walk) : walk_(walk), saved_(std::move(walk.statement_path_)) {
      walk_.statement_path_ = walk_.path_.str();
    }
    ~StatementPath() { walk_.statement_path_ = std::move(saved_); }
    StatementPath(const StatementPath&) = delete;
    StatementPath& operator=(const StatementPath&) = delete;

   private:
    MarkerWalk& walk_;
    std::string saved_;
  };

  // ---- rows

  // The deepest scope whose path is the row's path or a prefix of it ending
  // at a segment boundary; the module scope (path "") contains everything.
  const ScopeRow& scope_of(std::string_view path) const {
    std::string_view prefix = path;
    while (true) {
      if (auto it = scope_by_path_.find(prefix); it != scope_by_path_.end()) return package_.scopes[it->second];
      const size_t slash = prefix.rfind('/');
      if (slash == std::string_view::npos) break;
      prefix = prefix.substr(0, slash);
    }
    QUORBIN_CHECK(!package_.scopes.empty());
    return package_.scopes.front();
  }

  uint64_t add_marker(std::string_view source_name, std::string_view kind, std::string_view ast_path,
                      std::string_view resource, const std::vector<std::string_view>& flags) {
    const ScopeRow& scope = scope_of(ast_path);
    MarkerRow row;
    row.marker_id = package_.markers.size();
    row.source_order = row.marker_id;
    row.marker_kind = in_.string(kind);
    row.source_name = in_.string(source_name);
    row.ast_path = in_.ast_path(ast_path);
    row.statement_path = in_.ast_path(statement_path_);
    row.owner_path = scope.owner_path;
    row.scope_id = scope.scope_id;
    if (!resource.empty()) row.resource_name = in_.string(resource);
    row.operation_key = row.source_name;
    for (std::string_view f : flags) row.flags.push_back(in_.string(f));
    package_.markers.push_back(std::move(row));
    return package_.markers.back().marker_id;
  }

  // A marker row of a call, a definition or an identifier: the first flag,
  // then whether it stands for its whole statement.
  std::vector<std::string_view> statement_flags(std::string_view first, std::string_view ast_path) const {
    std::vector<std::string_view> flags{first};
    if (ast_path == statement_path_) flags.push_back(flag::kStatementMarker);
    return flags;
  }

  // A suffixed identifier at the current path. True when it made a row.
  bool identifier(std::string_view name, IdentifierPlace place) {
    if (!markers()) return false;
    struct Suffix {
      std::string_view suffix, source_name, kind;
      bool metadata;
    };
    static constexpr Suffix kSuffixes[] = {
        {names::kArgSuffix, "quorbin_arg_identifier", "arg_identifier", true},
        {names::kKeepSuffix, "quorbin_keep_identifier", "keep_identifier", true},
        {names::kParamHoleSuffix, "quorbin_param_hole_identifier", "param_hole_identifier", false},
    };
    for (const Suffix& s : kSuffixes) {
      if (s.kind == "param_hole_identifier" && place != IdentifierPlace::Parameter) continue;
      std::optional<std::string_view> base = base_name(name, s.suffix);
      if (!base || !is_ascii_identifier(*base)) continue;
      std::vector<std::string_view> flags = statement_flags(
          place == IdentifierPlace::Definition ? flag::kDefinitionalContext : flag::kIdentifierContext, path_.view());
      if (s.metadata) flags.push_back(flag::kMetadataMarker);
      add_marker(s.source_name, s.kind, path_.view(), *base, flags);
      return true;
    }
    return false;
  }

  // The kind of the marker row a call of `callee` by bare name makes, or
  // empty when it makes none.
  static std::string_view call_marker_kind(const Node* call, std::string_view callee) {
    if (callee == names::kFor) return "unroll";
    if (callee == names::kInsert) return positional_count(call) == 2 ? "insert" : "";
    for (std::string_view name : {names::kRef, names::kElif, names::kComment, names::kPyimport, names::kHole,
                                  names::kPass, names::kKeep, names::kExport, names::kImport, names::kFuncargs,
                                  names::kBindExternal})
      if (callee == name) return callee.substr(names::kMarkerPrefix.size());
    return "";
  }

  // The row of a marker call placed at `ast_path` (the call's own path, or
  // the `with` statement's for a block hole with default content), then the
  // sub-rows the call carries.
  Status call_row(const Node* call, std::string_view callee, std::string_view ast_path) {
    const std::string_view kind = call_marker_kind(call, callee);
    if (kind.empty()) return {};
    std::string_view resource;
    if (kind == "hole" || kind == "pass" || kind == "keep" || kind == "elif" || kind == "export" ||
        kind == "import" || kind == "insert" || kind == "bind_external")
      resource = bare_name(first_positional(call)).value_or("");
    std::vector<std::string_view> flags = statement_flags(flag::kCallContext, ast_path);
    if (kind == "keep") flags.push_back(flag::kMetadataMarker);
    if (kind == "import" || kind == "pass") QUORBIN_PKG_TRY(boundary_flags(call, flags));
    const uint64_t marker_id = add_marker(callee, kind, ast_path, resource, flags);
    if (kind == "comment") comment_row(call, marker_id);
    if (kind == "pyimport") pyimport_rows(call, marker_id);
    return {};
  }

  static Status boundary_flags(const Node* call, std::vector<std::string_view>& flags) {
    bool bound = false;
    bool outer = false;
    const List* keywords = call->list(field::Call::keywords);
    for (uint32_t i = 0; i < syntax::list_size(keywords); ++i) {
      const Node* kw = syntax::list_node(keywords, i);
      const std::string_view name = ident(kw, field::keyword::arg);
      if (name != "bound" && name != "outer_bind") continue;
      const syntax::Const* value = constant_of(kw->child(field::keyword::value));
      if (!value || (value->kind != ConstKind::True && value->kind != ConstKind::False))
        return schema_error("boundary keyword `" + std::string(name) + "` must be a literal True/False");
      (name == "bound" ? bound : outer) = value->kind == ConstKind::True;
    }
    if (bound) flags.push_back(flag::kExplicitBind);
    if (outer) flags.push_back(flag::kOuterBind);
    return {};
  }

  void comment_row(const Node* call, uint64_t marker_id) {
    std::optional<std::string_view> payload = string_constant(first_positional(call));
    if (!payload) return;
    CommentMarkerRow row;
    row.comment_marker_id = package_.comment_markers.size();
    row.marker_id = marker_id;
    row.payload = in_.string(*payload);
    package_.comment_markers.push_back(row);
  }

  void pyimport_rows(const Node* call, uint64_t marker_id) {
    const Node* module = keyword_value(call, "module");
    const Node* names = keyword_value(call, "names");
    const Node* alias = keyword_value(call, "as_");

    std::vector<std::string_view> module_names;
    const bool has_module = dotted_name(module, module_names);
    std::vector<std::string_view> listed;
    if (names && (names->kind == Kind::Tuple || names->kind == Kind::List)) {
      const List* elts = names->list(field::Tuple::elts);
      for (uint32_t i = 0; i < syntax::list_size(elts); ++i)
        if (std::optional<std::string_view> name = bare_name(syntax::list_node(elts, i))) listed.push_back(*name);
    }
    const std::string_view as_name = bare_name(alias).value_or("");

    PyimportMarkerRow row;
    row.pyimport_marker_id = package_.pyimport_markers.size();
    row.marker_id = marker_id;
    if (has_module) row.module_path = in_.path(module_names);
    row.names = in_.binding_set(listed);
    row.as_name = in_.string(as_name);
    row.flags.push_back(in_.string(names ? flag::kFromImport : flag::kPlainImport));
    if (!has_module) row.flags.push_back(in_.string(flag::kDynamicModule));
    package_.pyimport_markers.push_back(std::move(row));

    const MarkerRow& marker = package_.markers[marker_id];
    auto managed = [&](std::string_view final_name, std::optional<std::string_view> original) {
      ManagedImportRow m;
      m.managed_import_id = package_.managed_imports.size();
      m.marker_id = marker_id;
      m.final_local_name = in_.string(final_name);
      if (has_module) m.module_path = in_.path(module_names);
      if (original) m.original_symbol = in_.string(*original);
      m.scope_id = marker.scope_id;
      m.source_order = marker.source_order;
      package_.managed_imports.push_back(std::move(m));
    };
    if (!listed.empty()) {
      for (std::string_view name : listed) managed(name, name);
    } else if (!as_name.empty()) {
      managed(as_name, std::nullopt);
    } else if (has_module && module_names.size() == 1) {
      // `import a.b` binds no name of its own choosing: nothing to manage.
      managed(module_names.front(), std::nullopt);
    }
  }

  // ---- sites

  Result<uint64_t> site_marker(std::string_view source_name) const {
    QUORBIN_CHECK(sites_);
    auto it = sites_->find(site_key(source_name, path_.view()));
    if (it == sites_->end())
      return schema_error("native package marker row is missing for " + std::string(source_name) + " at " +
                          path_.str());
    return it->second;
  }

  // A reference by bare name at the current path; `sentinel` is the `._` or
  // `.quorbin_v` attribute read from it, if that is how it is used.
  Status ref_row(const Node* call, const Node* sentinel) {
    Result<uint64_t> marker_id = site_marker(names::kRef);
    if (!marker_id) return std::move(marker_id).error();
    RefMarkerRow row;
    row.ref_marker_id = package_.ref_markers.size();
    row.marker_id = *marker_id;
    if (sentinel) {
      row.ref_kind = in_.string("sentinel_attribute");
      const auto ctx = static_cast<syntax::ExprContext>(sentinel->integer(field::Attribute::ctx));
      row.context = in_.string(ctx == syntax::ExprContext::Store ? "store"
                               : ctx == syntax::ExprContext::Del ? "delete"
                                                                 : "load");
      row.sentinel_attr = in_.string(ident(sentinel, field::Attribute::attr));
    } else {
      row.ref_kind = in_.string("value");
      row.context = in_.string("load");
      row.sentinel_attr = in_.string("");
    }
    if (positional_count(call) == 1 && syntax::list_size(call->list(field::Call::keywords)) == 0) {
      if (std::optional<std::string_view> text = string_constant(first_positional(call))) {
        std::vector<std::string_view> parts = split(*text, '.');
        if (std::all_of(parts.begin(), parts.end(), is_python_identifier)) row.literal_path = in_.path(parts);
      }
    }
    row.flags.push_back(in_.string(sentinel ? flag::kSentinelAttribute : flag::kValueForm));
    package_.ref_markers.push_back(std::move(row));
    return {};
  }

  static std::string_view domain_shape(const Node* domain) {
    if (!domain) return "";
    switch (domain->kind) {
      case Kind::Call: {
        const Node* func = domain->child(field::Call::func);
        const bool range = (func->kind == Kind::Name && ident(func, field::Name::id) == "range") ||
                           (func->kind == Kind::Attribute && ident(func, field::Attribute::attr) == "range");
        return range ? "range" : "call";
      }
      case Kind::Name:
        return "name";
      case Kind::List:
        return "list";
      case Kind::Tuple:
        return "tuple";
      default:
        return syntax::name_of(domain->kind);
    }
  }

  // A `for` statement at the current path looping over quorbin_for(...).
  Status unroll_row(const Node* s) {
    const Node* iter = s->child(field::For::iter);
    if (!is_marker_call(iter, names::kFor)) return {};
    const std::string statement = path_.str();
    const std::string iter_path = statement + "/iter";
    Result<uint64_t> marker_id = [&] {
      PathStep step(path_, "iter");
      return site_marker(names::kFor);
    }();
    if (!marker_id) return std::move(marker_id).error();

    const Node* domain = positional_count(iter) == 1 ? first_positional(iter) : nullptr;
    const bool has_else = syntax::list_size(s->list(field::For::orelse)) != 0;
    std::vector<std::string_view> bound;
    target_names(s->child(field::For::target), bound);
    const std::string_view shape = domain_shape(domain);

    std::vector<std::string_view> flags{"statement_context", "for_statement"};
    if (has_else) flags.push_back("has_else");
    if (!domain || syntax::list_size(iter->list(field::Call::keywords)) != 0) flags.push_back("invalid_signature");
    flags.push_back(bound.empty() ? "unsupported_target" : "simple_target");
    if (shape == "name")
      flags.push_back("external_domain_candidate");
    else if (shape == "list" || shape == "tuple" || shape == "range")
      flags.push_back("literal_domain");

    UnrollMarkerRow row;
    row.unroll_marker_id = package_.unroll_markers.size();
    row.marker_id = *marker_id;
    row.statement_path = in_.ast_path(statement);
    row.target_ast_path = in_.ast_path(statement + "/target");
    row.iter_ast_path = in_.ast_path(iter_path);
    row.domain_ast_path = in_.ast_path(domain ? iter_path + "/args[0]" : std::string());
    row.body_path = in_.ast_path(statement + "/body");
    if (has_else) row.orelse_path = in_.ast_path(statement + "/orelse");
    row.target_bindings = in_.binding_set(std::move(bound));
    row.domain_shape = in_.string(shape);
    for (std::string_view f : flags) row.flags.push_back(in_.string(f));
    package_.unroll_markers.push_back(std::move(row));
    return {};
  }

  // ---- statements

  // A block the scope walk does not enter keeps its markers and sites out of
  // the package as well: `async for`, `async with`, `match` and `try` with
  // `except*`.
  bool enters(const Node* s) const {
    return s->kind != Kind::AsyncFor && s->kind != Kind::AsyncWith && s->kind != Kind::Match &&
           s->kind != Kind::TryStar;
  }

  Status statement(const Node* s) {
    StatementPath current(*this);
    return walk_statement(s);
  }

  Status for_statement(const Node* s) { return sites() ? unroll_row(s) : Status{}; }

  Status expression_statement(const Node* s) {
    const Node* value = s->child(field::Expr::value);
    // A reference stands for a value; as a statement of its own it would be
    // lowered to an expression that does nothing.
    if (sites() && (is_marker_call(value, names::kRef) || is_sentinel_of_ref(value)))
      return schema_error("unsupported quorbin_ref statement context");
    return {};
  }

  void import_from(const Node* s) {
    if (const syntax::Str* module = s->str(field::ImportFrom::module)) {
      for (std::string_view component : split(module->view(), '.'))
        if (identifier(component, IdentifierPlace::Plain)) break;
    }
  }

  void alias(const Node* alias) {
    identifier(ident(alias, field::alias::name), IdentifierPlace::Plain);
    if (alias->str(field::alias::asname)) identifier(ident(alias, field::alias::asname), IdentifierPlace::Plain);
  }

  // The rows of a definition's own name: a marker definition, then the
  // identifier; then the insert-shell decorators.
  void definition_rows(const Node* def, unsigned decorator_field) {
    if (!markers()) return;
    const std::string_view name = ident(def, field::FunctionDef::name);
    if (def->kind != Kind::ClassDef && (name == names::kElif || name == names::kParams)) {
      add_marker(name, name.substr(names::kMarkerPrefix.size()), path_.view(), name,
                 statement_flags(flag::kDefinitionalContext, path_.view()));
    }
    identifier(name, IdentifierPlace::Definition);
    const List* decorators = def->list(decorator_field);
    for (uint32_t i = 0; i < syntax::list_size(decorators); ++i) {
      const Node* decorator = syntax::list_node(decorators, i);
      if (!is_marker_call(decorator, names::kInsert) || positional_count(decorator) != 1) continue;
      PathStep step(path_, "decorator_list", i);
      add_marker(names::kInsert, "insert", path_.view(), bare_name(first_positional(decorator)).value_or(""),
                 {flag::kDecoratorContext});
    }
  }

  // Every decorator is walked as an expression, after the body.
  Status function(const Node* s) {
    definition_rows(s, field::FunctionDef::decorator_list);
    QUORBIN_PKG_TRY(parameters(s->child(field::FunctionDef::args)));
    QUORBIN_PKG_TRY(statements(s, field::FunctionDef::body, "body"));
    QUORBIN_PKG_TRY(child(s, field::FunctionDef::returns, "returns"));
    return children(s, field::FunctionDef::decorator_list, "decorator_list");
  }

  Status class_def(const Node* s) {
    definition_rows(s, field::ClassDef::decorator_list);
    QUORBIN_PKG_TRY(children(s, field::ClassDef::bases, "bases"));
    QUORBIN_PKG_TRY(class_keywords(s));
    QUORBIN_PKG_TRY(statements(s, field::ClassDef::body, "body"));
    return children(s, field::ClassDef::decorator_list, "decorator_list");
  }

  Status with_statement(const Node* s) {
    const List* items = s->list(field::With::items);
    if (syntax::list_size(items) != 0 && markers()) {
      const Node* expr = syntax::list_node(items, 0)->child(field::withitem::context_expr);
      // A block hole with default content stands for the whole statement;
      // what it holds is the default, not part of the template.
      if (is_marker_call(expr, names::kHole)) return call_row(expr, names::kHole, path_.view());
    }
    for (uint32_t i = 0; i < syntax::list_size(items); ++i) {
      const Node* item = syntax::list_node(items, i);
      PathStep step(path_, "items", i);
      QUORBIN_PKG_TRY(child(item, field::withitem::context_expr, "context_expr"));
      QUORBIN_PKG_TRY(child(item, field::withitem::optional_vars, "optional_vars"));
    }
    return statements(s, field::With::body, "body");
  }

  // ---- expressions and parameters

  void name(const Node* e) { identifier(ident(e, field::Name::id), IdentifierPlace::Plain); }
  void parameter(const Node* arg) { identifier(ident(arg, field::arg::arg), IdentifierPlace::Parameter); }
  void keyword_name(const Node* kw) { identifier(ident(kw, field::keyword::arg), IdentifierPlace::Plain); }

  Status at_call(const Node* e, WalkContext) {
    std::optional<std::string_view> callee = bare_callee(e);
    if (!callee) return {};
    if (markers()) return call_row(e, *callee, path_.view());
    if (*callee == names::kRef) {
      // Only a reference by bare name is a site: one written as a method of
      // another object has no marker row, and materialization lowers it.
      if (sentinel_call_ == e)
        sentinel_call_ = nullptr;
      else
        return ref_row(e, nullptr);
    }
    return {};
  }

  // The external binding of a reference sits on its first argument, made
  // after the `external` keyword's value.
  void after_keyword(const Node* e, const Node* kw) {
    if (!markers() || !is_ref_call(e) || ident(kw, field::keyword::arg) != "external") return;
    const Node* value = kw->child(field::keyword::value);
    if (!bare_name(value)) return;
    queue_step("args", 0);
    queue_hook(kExternalRow, value);
    queue_unstep();
  }

  // A sentinel read from a reference makes the reference's row, at the
  // reference's path, before the reference itself is visited.
  void attribute_value(const Node* e) {
    if (sites() && is_sentinel_of_ref(e)) queue_hook(kSentinelRef, e->child(field::Attribute::value), e);
  }

  Status run_hook(uint8_t code, const Node* node, const Node* other) {
    switch (code) {
      case kExternalRow:
        add_marker(names::kBindExternal, "bind_external", path_.view(), ident(node, field::Name::id),
                   {flag::kCallContext});
        return {};
      case kSentinelRef: {
        Status status = ref_row(node, other);
        sentinel_call_ = node;
        return status;
      }
    }
    QUORBIN_CHECK(false);
    return {};
  }
};

// The marker rows that sites look up: references and unrolled loops.
SiteIndex site_index(const TemplatePackage& package) {
  SiteIndex index;
  for (const MarkerRow& row : package.markers) {
    const std::string& source_name = package.string(row.source_name);
    if (source_name != names::kRef && source_name != names::kFor) continue;
    index.emplace(site_key(source_name, package.ast_path(row.ast_path)), row.marker_id);
  }
  return index;
}

}  // namespace

Result<TemplatePackage> build_template_package(const Node* module, std::string_view source, uint32_t line_number,
                                               std::string_view bundle_signature,
                                               const std::vector<TemplateRecord>& records) {
  PackageInterner in(bundle_signature, template_key(source), source_summary(line_number, records.size()));
  TemplatePackage& package = in.package();
  for (size_t i = 0; i < records.size(); ++i) {
    const TemplateRecord& extracted = records[i];
    const RecordKindInfo& kind = record_kind_info(extracted.kind);
    PackageLocator locator;
    locator.locator_id = i;
    locator.ast_path = in.ast_path(extracted.ast_path);
    locator.role_key = in.string(kind.inventory_kind);
    locator.authored_summary = in.string(authored_summary(extracted));
    locator.materialization_anchor = in.string(kind.materialization_anchor);
    package.locators.push_back(locator);

    PackageRecord record;
    record.template_record_id = i;
    record.locator_id = i;
    record.surface_key = in.string(kind.surface_key);
    record.inventory_kind = in.string(kind.inventory_kind);
    record.semantic_summary = in.string(semantic_summary(extracted));
    if (!extracted.resource_name.empty()) record.resource_name = in.string(extracted.resource_name);
    record.owner_path = in.path(extracted.code_owner);
    package.records.push_back(record);
  }

  return with_stack_for(module, [&]() -> Result<TemplatePackage> {
    SourceLines lines(source);
    ScopeWalk(in, lines).run(module, line_number);
    QUORBIN_PKG_TRY(MarkerWalk(in, Pass::Markers, nullptr).module(module));
    const SiteIndex sites = site_index(package);
    QUORBIN_PKG_TRY(MarkerWalk(in, Pass::Sites, &sites).module(module));
    return in.take();
  });
}

Result<ExtractedPackage> extract_template_package(std::string_view source, std::string_view filename,
                                                  uint32_t line_number, std::string_view bundle_signature) {
  Result<syntax::Tree> tree = parse_template(source, filename);
  if (!tree) return std::move(tree).error();
  Result<std::vector<TemplateRecord>> records = extract_records(tree->module, source, line_number);
  if (!records) return std::move(records).error();
  Result<TemplatePackage> package = build_template_package(tree->module, source, line_number, bundle_signature, *records);
  if (!package) return std::move(package).error();
  return ExtractedPackage{std::move(tree).value(), std::move(package).value()};
}

}  // namespace quorbin::engine
