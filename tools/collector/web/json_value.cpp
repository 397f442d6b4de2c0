#include "collector/web/json_value.h"

#include <cstdio>

namespace collector {

Json& Json::Set(const std::string& key, Json value) {
  for (auto& member : members_) {
    if (member.first == key) {
      member.second = std::move(value);
      return member.second;
    }
  }
  members_.emplace_back(key, std::move(value));
  return members_.back().second;
}

const Json& Json::operator[](const std::string& key) const {
  static const Json kNull;
  for (const auto& member : members_) {
    if (member.first == key) return member.second;
  }
  return kNull;
}

std::string Json::Text() const {
  switch (kind_) {
    case Kind::kBool: return int_ ? "true" : "false";
    case Kind::kInt: return std::to_string(int_);
    case Kind::kString: return string_;
    default: return "";
  }
}

size_t Utf8SequenceLength(const std::string& text, size_t i) {
  const unsigned char c = static_cast<unsigned char>(text[i]);
  size_t length = 0;
  uint32_t min = 0;
  if (c < 0x80) return 1;
  if ((c & 0xE0) == 0xC0) { length = 2; min = 0x80; }
  else if ((c & 0xF0) == 0xE0) { length = 3; min = 0x800; }
  else if ((c & 0xF8) == 0xF0) { length = 4; min = 0x10000; }
  else return 0;
  if (i + length > text.size()) return 0;
  uint32_t code = c & (0xFF >> (length + 1));
  for (size_t k = 1; k < length; ++k) {
    const unsigned char next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xC0) != 0x80) return 0;
    code = (code << 6) | (next & 0x3F);
  }
  if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

std::string JsonQuote(const std::string& text) {
  return "\"" + EscapeUtf8(text, "\\ufffd", [](char c, std::string* out) {
           switch (c) {
             case '"': *out += "\\\""; break;
             case '\\': *out += "\\\\"; break;
             case '\n': *out += "\\n"; break;
             case '\r': *out += "\\r"; break;
             case '\t': *out += "\\t"; break;
             case '<': *out += "\\u003c"; break;  // never closes a <script> it is embedded in
             default:
               if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                 char buffer[8];
                 std::snprintf(buffer, sizeof(buffer), "\\u%04x", static_cast<unsigned char>(c));
                 *out += buffer;
               } else {
                 *out += c;
               }
           }
         }) +
         "\"";
}

std::string Json::Serialise() const {
  std::string out;
  SerialiseTo(&out);
  return out;
}

void Json::SerialiseTo(std::string* out) const {
  switch (kind_) {
    case Kind::kNull: *out += "null"; break;
    case Kind::kBool: *out += int_ ? "true" : "false"; break;
    case Kind::kInt: *out += std::to_string(int_); break;
    case Kind::kString: *out += JsonQuote(string_); break;
    case Kind::kArray:
      *out += '[';
      for (size_t i = 0; i < items_.size(); ++i) {
        if (i) *out += ',';
        items_[i].SerialiseTo(out);
      }
      *out += ']';
      break;
    case Kind::kObject:
      *out += '{';
      for (size_t i = 0; i < members_.size(); ++i) {
        if (i) *out += ',';
        *out += JsonQuote(members_[i].first);
        *out += ':';
        members_[i].second.SerialiseTo(out);
      }
      *out += '}';
      break;
  }
}

}  // namespace collector
