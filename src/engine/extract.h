// Template extraction: the parse-and-check step shared by every path that
// accepts template source, the walk that turns markers into records, the
// template's own productions, and the authored-insert check of validation.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/markers.h"
#include "syntax/tree.h"

namespace quorbin::engine {

enum class RecordKind : uint8_t {
  HoleBlock,
  HoleExpr,
  HolePositionalVariadic,
  HoleNamedVariadic,
  HoleParams,
  HoleElif,
  IdentifierDemand,
  IdentifierSupply,
  ExternalBind,
  SupplyExpression,  // expression-form quorbin_insert
  SupplyParameters,  // def quorbin_params
  ProductionElif,
  ProductionFuncargs,
  ProductionExpression,
  ProductionBlock,
};

struct RecordKindInfo {
  std::string_view inventory_kind;  // also the role key
  std::string_view materialization_anchor;
  std::string_view surface_key;
};

const RecordKindInfo& record_kind_info(RecordKind kind);

struct TemplateRecord {
  RecordKind kind;
  std::string ast_path;
  std::string resource_name;
  uint64_t line = 1;
  std::vector<std::string> code_owner;
};

// "<resource> at line <line>"
std::string authored_summary(const TemplateRecord& record);
// "<kind> name=<resource> owner=<a/b or .> build_path=."
std::string semantic_summary(const TemplateRecord& record);

// "template:" and the first 16 hex digits of the source's SHA-256. Throws
// std::runtime_error when libcrypto fails, which is an internal fault.
std::string template_key(std::string_view source);

// "compile line=<line_number> records=<count>"
std::string source_summary(uint32_t line_number, size_t record_count);

// The outcome of parsing template source and checking marker placement.
struct TemplateParse {
  enum class Status : uint8_t { Ok, SyntaxError, Refused };
  Status status = Status::Ok;
  syntax::Tree tree;    // the module when Ok
  std::string message;  // SyntaxError: the parser's description; Refused: the schema detail
  uint32_t offset = 0;  // SyntaxError only
};

// Parses under `filename` (used only in syntax errors) and runs the
// placement rules. Runs without the interpreter: callers decide whether the
// lock is held.
TemplateParse parse_and_check(std::string_view source, std::string_view filename);

// Records of a module that passed the placement rules: the walk, then the
// template productions. `source` is the text the tree's offsets refer to.
[[nodiscard]] Refusal extract_records(const syntax::Node* module, std::string_view source, uint32_t line_number,
                                      std::vector<TemplateRecord>& records);

// Authored source may not call quorbin_insert by bare name: that marker is
// written by the system into emitted source. Returns the refusal naming the
// line of the first such call in pre-order, field order.
[[nodiscard]] Refusal check_no_authored_insert(const syntax::Node* module, std::string_view source);

}  // namespace quorbin::engine
