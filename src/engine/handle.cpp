#include "engine/handle.h"

#include <string>

namespace quorbin::engine {
namespace {

HandleRef make(HandleKind kind, const Engine& engine) {
  HandleRef h;
  h.kind = kind;
  h.owner_id = engine.owner_id;
  return h;
}

Status check_state_index(const Engine& engine, uint64_t state_index) {
  if (state_index >= engine.assembly_states.size()) return stale_handle_error("unknown native assembly state handle");
  return {};
}

}  // namespace

HandleRef template_handle(const Engine& engine, uint64_t index) {
  HandleRef h = make(HandleKind::Template, engine);
  h.index = index;
  return h;
}

HandleRef assembly_state_handle(const Engine& engine, uint64_t index) {
  HandleRef h = make(HandleKind::AssemblyState, engine);
  h.index = index;
  return h;
}

HandleRef occurrence_handle(const Engine& engine, uint64_t state_index, uint64_t index) {
  HandleRef h = make(HandleKind::Occurrence, engine);
  h.state_index = state_index;
  h.index = index;
  return h;
}

HandleRef record_handle(const Engine& engine, uint64_t state_index, uint64_t occurrence_index,
                        uint64_t template_record_index) {
  HandleRef h = make(HandleKind::Record, engine);
  h.state_index = state_index;
  h.occurrence_index = occurrence_index;
  h.template_record_index = template_record_index;
  return h;
}

HandleRef edge_handle(const Engine& engine, uint64_t state_index, uint64_t index) {
  HandleRef h = make(HandleKind::Edge, engine);
  h.state_index = state_index;
  h.index = index;
  return h;
}

HandleRef overlay_handle(const Engine& engine, uint64_t state_index, uint64_t index) {
  HandleRef h = make(HandleKind::Overlay, engine);
  h.state_index = state_index;
  h.index = index;
  return h;
}

HandleRef workspace_handle(const Engine& engine, uint64_t index) {
  HandleRef h = make(HandleKind::Workspace, engine);
  h.index = index;
  return h;
}

Status check_open(const Engine& engine) {
  if (engine.closed) return stale_handle_error("engine handle is already closed");
  return {};
}

Status check_owner(const Engine& engine, const HandleRef& handle) {
  if (handle.owner_id != engine.owner_id) return stale_handle_error("handle belongs to another native engine");
  return {};
}

Status check_range(const Engine& engine, const HandleRef& handle) {
  switch (handle.kind) {
    case HandleKind::Template:
      if (handle.index >= engine.templates.size()) return stale_handle_error("unknown native template handle");
      return {};
    case HandleKind::AssemblyState:
      return check_state_index(engine, handle.index);
    case HandleKind::Workspace:
      if (handle.index >= engine.workspaces.size()) {
        return stale_handle_error("unknown native materialization workspace handle");
      }
      return {};
    case HandleKind::Occurrence:
    case HandleKind::Record: {
      if (Status s = check_state_index(engine, handle.state_index); !s) return s;
      const uint64_t occurrence = handle.kind == HandleKind::Record ? handle.occurrence_index : handle.index;
      if (occurrence >= engine.assembly_states[handle.state_index].occurrences.size()) {
        return stale_handle_error("unknown native occurrence handle");
      }
      return {};
    }
    case HandleKind::Edge:
      if (Status s = check_state_index(engine, handle.state_index); !s) return s;
      if (handle.index >= engine.assembly_states[handle.state_index].edges.size()) {
        return stale_handle_error("unknown native edge handle");
      }
      return {};
    case HandleKind::Overlay:
      if (Status s = check_state_index(engine, handle.state_index); !s) return s;
      if (handle.index >= engine.assembly_states[handle.state_index].overlays.size()) {
        return stale_handle_error("unknown native overlay handle");
      }
      return {};
  }
  return {};
}

Status check_member(const HandleRef& state, const HandleRef& member, ErrorKind family, std::string_view what) {
  if (member.state_index == state.index) return {};
  return Error{family, std::string(what) + " belongs to another native assembly state"};
}

Status resolve(const Engine& engine, std::initializer_list<const HandleRef*> handles) {
  if (Status s = check_open(engine); !s) return s;
  for (const HandleRef* h : handles) {
    if (Status s = check_owner(engine, *h); !s) return s;
  }
  for (const HandleRef* h : handles) {
    if (Status s = check_range(engine, *h); !s) return s;
  }
  return {};
}

}  // namespace quorbin::engine
