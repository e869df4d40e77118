// A small JSON value for the --json output: objects keep their keys in the
// order they were set, so the output reads the same every run.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace pelvtool {

class Json {
 public:
  enum class Kind { Null, Bool, Number, String, Array, Object };

  Json() = default;
  Json(bool b) : kind_(Kind::Bool), bool_(b) {}                           // NOLINT
  Json(int n) : kind_(Kind::Number), number_(n) {}                        // NOLINT
  Json(unsigned n) : kind_(Kind::Number), number_(n) {}                   // NOLINT
  Json(long n) : kind_(Kind::Number), number_(n) {}                       // NOLINT
  Json(long long n) : kind_(Kind::Number), number_(n) {}                  // NOLINT
  Json(unsigned long n) : kind_(Kind::Number), number_(static_cast<long long>(n)) {}       // NOLINT
  Json(unsigned long long n) : kind_(Kind::Number), number_(static_cast<long long>(n)) {}  // NOLINT
  Json(const char* s) : kind_(Kind::String), string_(s) {}                // NOLINT
  Json(std::string s) : kind_(Kind::String), string_(std::move(s)) {}     // NOLINT

  static Json array();
  static Json object();

  Kind kind() const { return kind_; }
  // Object: sets (or replaces) key. Turns a null into an object.
  Json& set(const std::string& key, Json value);
  // Object member, or null when absent (for tests and the shell).
  const Json* find(const std::string& key) const;
  // Array: appends. Turns a null into an array.
  Json& push(Json value);
  std::size_t size() const;
  const Json& at(std::size_t i) const { return items_.at(i).second; }

  long long number() const { return number_; }
  const std::string& string() const { return string_; }
  bool boolean() const { return bool_; }

  // Compact when indent is 0, else pretty with that many blanks a level.
  std::string dump(int indent = 0) const;

 private:
  void write(std::string& out, int indent, int depth) const;

  Kind kind_ = Kind::Null;
  bool bool_ = false;
  long long number_ = 0;
  std::string string_;
  std::vector<std::pair<std::string, Json>> items_;  // array items have empty keys
};

// Escapes a string for JSON, quotes included.
std::string jsonQuote(const std::string& s);

}  // namespace pelvtool
