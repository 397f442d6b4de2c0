#pragma once
// Checks on SDK log text: messages in a given order, and how often one occurs.

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vextra_test {

// Every message occurs in text, each after the one before.
inline ::testing::AssertionResult InOrder(const std::string& text, const std::vector<std::string>& messages) {
  size_t at = 0;
  for (const std::string& message : messages) {
    const size_t found = text.find(message, at);
    if (found == std::string::npos) {
      return ::testing::AssertionFailure() << "missing (in order) \"" << message << "\" in:\n" << text;
    }
    at = found + message.size();
  }
  return ::testing::AssertionSuccess();
}

inline int Occurrences(const std::string& text, const std::string& message) {
  int count = 0;
  for (size_t at = text.find(message); at != std::string::npos; at = text.find(message, at + 1)) ++count;
  return count;
}

}  // namespace vextra_test
