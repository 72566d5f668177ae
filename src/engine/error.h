// Errors as values. Operations of the engine layer return a Result or a
// Status; only the binding layer turns an Error into a Python exception, in
// one place (the call frame).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace quorbin::engine {

enum class ErrorKind : unsigned char {
  Schema,       // malformed input or an unsupported request
  StaleHandle,  // closed engine, foreign or out-of-range handle
  Syntax,       // the source does not parse; detail is the whole message
  PlainValue,   // a fixed ValueError text without prefix
  // The host interpreter already holds the exception; the error carries no
  // text of its own. Only the binding layer produces it, so that one Result
  // type serves both layers.
  Raised,
};

struct Error {
  ErrorKind kind;
  std::string detail;
};

inline Error schema_error(std::string detail) { return {ErrorKind::Schema, std::move(detail)}; }
inline Error stale_handle_error(std::string detail) { return {ErrorKind::StaleHandle, std::move(detail)}; }
inline Error syntax_error(std::string message) { return {ErrorKind::Syntax, std::move(message)}; }
inline Error plain_value_error(std::string message) { return {ErrorKind::PlainValue, std::move(message)}; }
inline Error raised_error() { return {ErrorKind::Raised, {}}; }

// Success or one Error.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(Error error) : error_(std::move(error)) {}  // NOLINT: implicit on purpose
  static Status success() { return {}; }

  bool ok() const { return !error_; }
  explicit operator bool() const { return ok(); }
  const Error& error() const& { return *error_; }
  Error&& error() && { return std::move(*error_); }

 private:
  std::optional<Error> error_;
};

// A value or one Error.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
  Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() & { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const T& value() const& { return std::get<0>(v_); }
  T& operator*() & { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  const Error& error() const& { return std::get<1>(v_); }
  Error&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, Error> v_;
};

}  // namespace quorbin::engine

namespace quorbin::engine {

// The syntax error of every parse: the parser's description, then where.
inline Error syntax_error_at(std::string_view description, uint64_t offset, std::string_view filename) {
  std::string message(description);
  message += " at byte offset ";
  message += std::to_string(offset);
  message += " in ";
  message += filename;
  return syntax_error(std::move(message));
}

}  // namespace quorbin::engine
