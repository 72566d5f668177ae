// Template extraction: the parse-and-check step shared by every path that
// accepts template source, the walk that turns markers into records, the
// template's own productions, and the authored-insert check of validation.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/error.h"
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

// "template:" and the first 16 hex digits of the source's SHA-256. A failure
// of libcrypto itself is thrown as an internal fault.
std::string template_key(std::string_view source);

// "compile line=<line_number> records=<count>"
std::string source_summary(uint32_t line_number, size_t record_count);

// The parse-and-check step every path that accepts template source runs:
// parse under `filename` (named only in the syntax error), then the marker
// placement rules; the first failure is the error. Runs without the
// interpreter; whether its lock is held is the caller's choice.
Result<syntax::Tree> parse_template(std::string_view source, std::string_view filename);

// The records of a module that passed the parse-and-check step: the walk,
// then the template's own productions. `source` is the text the tree's
// offsets refer to; `line_number` stands in for a block line that is 1.
Result<std::vector<TemplateRecord>> extract_records(const syntax::Node* module, std::string_view source,
                                                    uint32_t line_number);

// Authored source may not call quorbin_insert by bare name: the system
// writes that marker into the source it emits. Refuses the first such call
// in pre-order (field order), naming its line.
Status check_no_authored_insert(const syntax::Node* module, std::string_view source);

}  // namespace quorbin::engine
