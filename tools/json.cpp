#include "json.h"

#include <cstdio>

namespace pelvtool {

Json Json::array() {
  Json j;
  j.kind_ = Kind::Array;
  return j;
}

Json Json::object() {
  Json j;
  j.kind_ = Kind::Object;
  return j;
}

Json& Json::set(const std::string& key, Json value) {
  if (kind_ == Kind::Null) kind_ = Kind::Object;
  for (auto& item : items_) {
    if (item.first == key) {
      item.second = std::move(value);
      return item.second;
    }
  }
  items_.emplace_back(key, std::move(value));
  return items_.back().second;
}

const Json* Json::find(const std::string& key) const {
  if (kind_ != Kind::Object) return nullptr;
  for (const auto& item : items_) {
    if (item.first == key) return &item.second;
  }
  return nullptr;
}

Json& Json::push(Json value) {
  if (kind_ == Kind::Null) kind_ = Kind::Array;
  items_.emplace_back(std::string(), std::move(value));
  return items_.back().second;
}

std::size_t Json::size() const { return items_.size(); }

std::string jsonQuote(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else if (c >= 0x80) {
          // The tool's own texts are ASCII; bytes from elsewhere are not
          // trusted to be UTF-8 and are escaped as Latin-1 code points.
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
  return out;
}

std::string Json::dump(int indent) const {
  std::string out;
  write(out, indent, 0);
  return out;
}

void Json::write(std::string& out, int indent, int depth) const {
  auto newline = [&](int level) {
    if (indent <= 0) return;
    out += '\n';
    out.append(static_cast<std::size_t>(indent * level), ' ');
  };
  switch (kind_) {
    case Kind::Null: out += "null"; break;
    case Kind::Bool: out += bool_ ? "true" : "false"; break;
    case Kind::Number: out += std::to_string(number_); break;
    case Kind::String: out += jsonQuote(string_); break;
    case Kind::Array:
    case Kind::Object: {
      const bool isObject = kind_ == Kind::Object;
      out += isObject ? '{' : '[';
      bool first = true;
      for (const auto& item : items_) {
        if (!first) out += ',';
        first = false;
        newline(depth + 1);
        if (isObject) {
          out += jsonQuote(item.first);
          out += indent > 0 ? ": " : ":";
        }
        item.second.write(out, indent, depth + 1);
      }
      if (!items_.empty()) newline(depth);
      out += isObject ? '}' : ']';
      break;
    }
  }
}

}  // namespace pelvtool
