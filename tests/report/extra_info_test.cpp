// The extra-information parser: the byte rules it reads a host's text with,
// which are not JSON's.

#include "report/extra_info.h"

#include <gtest/gtest.h>

#include <string>

namespace Vextra {
namespace {

TEST(ExtraInfoTest, BytesBecomePairsByTheParsersOwnRules) {
  using namespace std::string_literals;
  static const struct {
    const char* name;
    std::string text;
    ExtraInfoPairs pairs;
  } kCases[] = {
      {"flat object", R"({"a":"1","b":"two"})", {{"a", "1"}, {"b", "two"}}},
      // Unquoted values are skipped; the quoted texts of a nested object join
      // into one value; the last closing brace stores an empty pair.
      {"nested object and unquoted number",
       R"({"a":"1","b":2,"c":{"d":"e"}})",
       {{"a", "1"}, {"b", ""}, {"c", "de"}, {"", ""}}},
      {"empty first key reads the next quoted text as the key", R"({"":"v"})", {{"v", ""}}},
      {"escapes are not decoded", R"({"k":"line\nend"})", {{"k", "linenend"}}},
      {"escaped quote and backslash stay in the text", R"({"k\"q":"a\\b\"c"})", {{"k\"q", "a\\b\"c"}}},
      {"escaped comma and brace are text", R"({"k":"a\,b\}"})", {{"k", "a,b}"}}},
      {"comma inside a string is text", R"({"k":"a,b}c"})", {{"k", "a,b}c"}}},
      {"later value replaces the earlier", R"({"k":"1","k":"2"})", {{"k", "2"}}},
      {"spaces, colons and letters outside strings are skipped", "{ \"k\" : \"v\" , x y z }", {{"k", "v"}, {"", ""}}},
      {"true, false and null are skipped", R"({"t":true,"n":null})", {{"t", ""}, {"n", ""}}},
      {"empty text", "", {}},
      {"no closing brace stores nothing", R"({"k":"v")", {}},
      {"unterminated string stores nothing", R"({"k":"v,})", {}},
      {"a lone comma stores an empty pair", ",", {{"", ""}}},
      {"value without a key becomes the key", R"({"v"})", {{"v", ""}}},
      {"third quoted text joins the value", R"({"k":"a" "b"})", {{"k", "ab"}}},
      {"trailing backslash at the end is dropped", "{\"k\":\"v\\", {}},
      {"bytes above 127 and NUL are kept", "{\"k\xC3\xA9\":\"a\0b\"}"s, {{"k\xC3\xA9", "a\0b"s}}},
      // After a comma the key is empty again, so the next element is a key.
      {"array elements after the first become keys", R"({"k":["a","b"]})", {{"k", "a"}, {"b", ""}}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ParseExtraInfo(c.text), c.pairs);
  }
}

TEST(ExtraInfoTest, PairsComeInByteOrderOfTheirKeys) {
  // Keys compare as unsigned bytes: upper case before lower case, and a byte
  // above 127 after every ASCII letter.
  const ExtraInfoPairs pairs = ParseExtraInfo("{\"b\":\"1\",\"B\":\"2\",\"a\":\"3\",\"\xff\":\"4\",\"z\":\"5\"}");
  std::string order;
  for (const auto& [key, value] : pairs) order += value;
  EXPECT_EQ(order, "23154");
}

}  // namespace
}  // namespace Vextra
