#include "db/record_rules.h"

#include <gtest/gtest.h>

#include "db/sql_statement.h"

namespace Vextra {
namespace {

TEST(ParseDbVersionTest, AcceptsOnlyDecimalDigits) {
  static const struct {
    const char* cell;
    int32_t expected;
  } kCases[] = {
      {"1", 1},          {"0", 0},     {"007", 7},  {"2147483647", 2147483647},
      {"2147483648", -1},  // does not fit
      {"", -1},          {"-1", -1},   {"+1", -1},  {" 1", -1},
      {"1 ", -1},        {"1.0", -1},  {"one", -1}, {nullptr, -1},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.cell ? c.cell : "(null)");
    EXPECT_EQ(ParseDbVersion(c.cell), c.expected);
  }
}

TEST(StatusAddsRetryTest, OnlySentAndGivenUpLeaveTheRetryCount) {
  static const struct {
    int32_t status;
    bool adds;
  } kCases[] = {{kStatusRecorded, true}, {kStatusSent, false}, {kStatusFailed, true},
                {kStatusGivenUp, false}, {4, true},            {-1, true}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.status);
    EXPECT_EQ(StatusAddsRetry(c.status), c.adds);
  }
}

TEST(StatementBeginsWithTest, KeywordMustFirstOccurAtTheStart) {
  static const struct {
    const char* sql;
    const char* keyword;
    bool begins;
  } kCases[] = {
      {"CREATE TABLE T (A);", "CREATE TABLE", true},
      {" CREATE TABLE T (A);", "CREATE TABLE", false},
      {"create table T (A);", "CREATE TABLE", false},
      {"SELECT 1; SELECT 2;", "SELECT", true},
      {"DELETE FROM T; SELECT 1;", "SELECT", false},
      {"", "SELECT", false},
      {"UPDATE", "UPDATE", true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(StatementBeginsWith(c.sql, c.keyword), c.begins);
  }
}

}  // namespace
}  // namespace Vextra
