// A materialization workspace: a template's tree being materialized step by
// step. The materialization layer fills it in.
#pragma once

namespace quorbin::engine {

struct MaterializationWorkspace {};

}  // namespace quorbin::engine
