#include "collector/collector_options.h"

#include <gtest/gtest.h>

namespace collector {
namespace {

TEST(CollectorOptionsTest, DefaultsWithoutArguments) {
  const ParseOutcome outcome = ParseCollectorArguments({});
  ASSERT_TRUE(outcome.ok) << outcome.error;
  EXPECT_EQ(outcome.options.listen, "127.0.0.1");
  EXPECT_EQ(outcome.options.port, 443);
  EXPECT_EQ(outcome.options.dbPath, "collector.db");
  EXPECT_EQ(outcome.options.httpStatus, 200);
  EXPECT_TRUE(outcome.options.strategy.empty());
  EXPECT_TRUE(outcome.options.statusText.empty());
  EXPECT_FALSE(outcome.options.drop || outcome.options.plainBody || outcome.options.gzipEncodingHeader);
  EXPECT_EQ(outcome.options.delayMs, 0);
  EXPECT_EQ(outcome.options.answerBytes, -1);
}

TEST(CollectorOptionsTest, EveryOptionIsApplied) {
  const ParseOutcome outcome = ParseCollectorArguments(
      {"--listen", "127.0.0.7", "--port=8443", "--db", "/tmp/c.db", "--cert", "c.pem", "--key", "k.pem",
       "--strategy", "KEY_VEXTRA_DISABLE=1", "--strategy=KEY_EMPTY=", "--strategy", "K=a=b",
       "--status-text", "closed", "--http-status", "503", "--gzip-encoding-header", "--plain-body",
       "--delay-ms", "250", "--drop", "--stop-file", "/tmp/stop", "--ready-file", "/tmp/ready",
       "--answer-bytes", "419430400"});
  ASSERT_TRUE(outcome.ok) << outcome.error;
  const CollectorOptions& o = outcome.options;
  EXPECT_EQ(o.listen, "127.0.0.7");
  EXPECT_EQ(o.port, 8443);
  EXPECT_EQ(o.dbPath, "/tmp/c.db");
  EXPECT_EQ(o.certPath, "c.pem");
  EXPECT_EQ(o.keyPath, "k.pem");
  const std::map<std::string, std::string> strategy = {{"KEY_VEXTRA_DISABLE", "1"}, {"KEY_EMPTY", ""}, {"K", "a=b"}};
  EXPECT_EQ(o.strategy, strategy);
  EXPECT_EQ(o.statusText, "closed");
  EXPECT_EQ(o.httpStatus, 503);
  EXPECT_TRUE(o.gzipEncodingHeader);
  EXPECT_TRUE(o.plainBody);
  EXPECT_EQ(o.delayMs, 250);
  EXPECT_TRUE(o.drop);
  EXPECT_EQ(o.stopFile, "/tmp/stop");
  EXPECT_EQ(o.readyFile, "/tmp/ready");
  EXPECT_EQ(o.answerBytes, 419430400);
}

TEST(CollectorOptionsTest, IPv6ListenAddressAndLaterStrategyValueWins) {
  const ParseOutcome outcome = ParseCollectorArguments({"--listen", "::1", "--strategy", "A=1", "--strategy", "A=2"});
  ASSERT_TRUE(outcome.ok) << outcome.error;
  EXPECT_EQ(outcome.options.listen, "::1");
  EXPECT_EQ(outcome.options.strategy.at("A"), "2");
}

TEST(CollectorOptionsTest, WebViewOnLoopbackWithoutTokenElsewhereWithOne) {
  const struct {
    std::vector<std::string> args;
    const char* address;
    int port;
    const char* token;
  } kCases[] = {
      {{}, "", 0, ""},
      {{"--web", "127.0.0.1:8080"}, "127.0.0.1", 8080, ""},
      {{"--web=127.9.9.9:1"}, "127.9.9.9", 1, ""},
      {{"--web", "[::1]:8080"}, "::1", 8080, ""},
      {{"--web", "0.0.0.0:8080", "--web-token", "s3cret"}, "0.0.0.0", 8080, "s3cret"},
      {{"--web-token=s3cret", "--web", "127.0.0.1:80"}, "127.0.0.1", 80, "s3cret"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const ParseOutcome outcome = ParseCollectorArguments(c.args);
    ASSERT_TRUE(outcome.ok) << outcome.error;
    EXPECT_EQ(outcome.options.webAddress, c.address);
    EXPECT_EQ(outcome.options.webPort, c.port);
    EXPECT_EQ(outcome.options.webToken, c.token);
  }
}

TEST(CollectorOptionsTest, BadArgumentsAreRefusedWithOneLine) {
  static const struct {
    std::vector<std::string> args;
    const char* mentions;
  } kCases[] = {
      {{"--bogus"}, "--bogus"},
      {{"positional"}, "positional"},
      {{"--port"}, "--port needs a value"},
      {{"--port", "0"}, "--port"},
      {{"--port", "65536"}, "--port"},
      {{"--port", "44x"}, "--port"},
      {{"--port", "-1"}, "--port"},
      {{"--listen", "localhost"}, "--listen"},
      {{"--listen", "127.0.0.256"}, "--listen"},
      {{"--db", ""}, "--db"},
      {{"--strategy", "NOEQUALS"}, "--strategy"},
      {{"--strategy", "=value"}, "--strategy"},
      {{"--status-text", ""}, "--status-text"},
      {{"--http-status", "99"}, "--http-status"},
      {{"--http-status", "600"}, "--http-status"},
      {{"--delay-ms", "600001"}, "--delay-ms"},
      {{"--delay-ms", "1.5"}, "--delay-ms"},
      {{"--answer-bytes", "-1"}, "--answer-bytes"},
      {{"--answer-bytes", "1000000000"}, "--answer-bytes"},
      {{"--drop=yes"}, "--drop takes no value"},
      {{"--stop-file", ""}, "--stop-file"},
      {{"--ready-file", ""}, "--ready-file"},
      {{"--cert", "c.pem"}, "--cert and --key"},
      {{"--key", "k.pem"}, "--cert and --key"},
      {{"--web", "localhost:8080"}, "--web needs ADDR:PORT"},
      {{"--web", "127.0.0.1"}, "--web needs ADDR:PORT"},
      {{"--web", "0.0.0.0:8080"}, "needs --web-token"},
      {{"--web", "192.168.1.4:8080"}, "needs --web-token"},
      {{"--web", "[::]:8080"}, "needs --web-token"},
      {{"--web-token", "t"}, "--web-token goes with --web"},
      {{"--web", "0.0.0.0:8080", "--web-token", ""}, "--web-token"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const ParseOutcome outcome = ParseCollectorArguments(c.args);
    EXPECT_FALSE(outcome.ok);
    EXPECT_NE(outcome.error.find(c.mentions), std::string::npos) << outcome.error;
    EXPECT_EQ(outcome.error.find('\n'), std::string::npos);
  }
}

}  // namespace
}  // namespace collector
