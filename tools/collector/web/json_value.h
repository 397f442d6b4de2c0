#pragma once
// A small JSON value for the web view: the API serialises it and the HTML
// pages are rendered from the same value, so both always show the same data.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace collector {

class Json {
 public:
  enum class Kind { kNull, kBool, kInt, kString, kArray, kObject };

  Json() = default;
  Json(std::nullptr_t) {}
  Json(bool value) : kind_(Kind::kBool), int_(value ? 1 : 0) {}
  Json(int value) : kind_(Kind::kInt), int_(value) {}
  Json(int64_t value) : kind_(Kind::kInt), int_(value) {}
  Json(uint32_t value) : kind_(Kind::kInt), int_(value) {}
  Json(const char* value) : kind_(Kind::kString), string_(value) {}
  Json(std::string value) : kind_(Kind::kString), string_(std::move(value)) {}

  static Json Array() {
    Json json;
    json.kind_ = Kind::kArray;
    return json;
  }
  static Json Object() {
    Json json;
    json.kind_ = Kind::kObject;
    return json;
  }

  Kind kind() const { return kind_; }
  bool IsNull() const { return kind_ == Kind::kNull; }
  // Arrays.
  Json& Push(Json value) {
    items_.push_back(std::move(value));
    return items_.back();
  }
  const std::vector<Json>& Items() const { return items_; }
  // Objects keep their members in insertion order.
  Json& Set(const std::string& key, Json value);
  const Json& operator[](const std::string& key) const;  // null when absent
  const std::vector<std::pair<std::string, Json>>& Members() const { return members_; }

  int64_t AsInt() const { return int_; }
  bool AsBool() const { return int_ != 0; }
  const std::string& AsString() const { return string_; }
  // Text of a scalar as a page shows it ("" for null).
  std::string Text() const;

  std::string Serialise() const;

 private:
  void SerialiseTo(std::string* out) const;

  Kind kind_ = Kind::kNull;
  int64_t int_ = 0;
  std::string string_;
  std::vector<Json> items_;
  std::vector<std::pair<std::string, Json>> members_;
};

// Length of the valid UTF-8 sequence at text[i] (i < size), 0 when none starts there.
size_t Utf8SequenceLength(const std::string& text, size_t i);

// Copies text, keeping its valid multi-byte UTF-8 sequences, writing
// `invalid` for each byte that starts none, and appending each single-byte
// character through escape(char, std::string* out).
template <typename Escape>
std::string EscapeUtf8(const std::string& text, const char* invalid, Escape escape) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const size_t length = Utf8SequenceLength(text, i);
    if (length == 0) {
      out += invalid;
      ++i;
    } else if (length > 1) {
      out.append(text, i, length);
      i += length;
    } else {
      escape(text[i++], &out);
    }
  }
  return out;
}

// JSON string escaping; bytes that are not valid UTF-8 become U+FFFD.
std::string JsonQuote(const std::string& text);

}  // namespace collector
