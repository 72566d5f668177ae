// AST paths: "." for the module, otherwise steps such as `body[2]/orelse[0]/value`
// joined by '/'. The walk keeps one buffer and pushes and pops steps around
// each child, so building a child's path never copies its parent's.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quorbin::engine {

inline constexpr std::string_view kModulePath = ".";

class PathBuilder {
 public:
  // The path of the node reached so far ("." before the first step).
  std::string str() const { return text_.empty() ? std::string(kModulePath) : text_; }
  std::string_view view() const { return text_.empty() ? kModulePath : std::string_view(text_); }

  // Each push returns the mark that the matching pop restores.
  size_t push(std::string_view field) {
    size_t mark = text_.size();
    if (mark != 0) text_.push_back('/');
    text_.append(field);
    return mark;
  }
  size_t push(std::string_view field, size_t index) {
    size_t mark = push(field);
    text_.push_back('[');
    text_.append(std::to_string(index));
    text_.push_back(']');
    return mark;
  }
  void pop(size_t mark) { text_.resize(mark); }

 private:
  std::string text_;
};

// Pushes on construction, pops on destruction.
class PathStep {
 public:
  PathStep(PathBuilder& path, std::string_view field) : path_(path), mark_(path.push(field)) {}
  PathStep(PathBuilder& path, std::string_view field, size_t index) : path_(path), mark_(path.push(field, index)) {}
  ~PathStep() { path_.pop(mark_); }
  PathStep(const PathStep&) = delete;
  PathStep& operator=(const PathStep&) = delete;

 private:
  PathBuilder& path_;
  size_t mark_;
};

}  // namespace quorbin::engine
