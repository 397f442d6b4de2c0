// The web view's handlers over a real database: who may see data, hostile
// report fields escaped on every page, and the JSON API carrying the data the
// pages show.

#include "collector/web/web_server.h"

#include <gtest/gtest.h>

#include "collector/analysis/background_analyser.h"
#include "collector/request_store.h"
#include "collector/tests/request_bodies.h"
#include "collector/tests/sample_dumps.h"
#include "collector/web/json_value.h"
#include "collector/web/web_pages.h"
#include "collector/zlib_codec.h"
#include "support/temp_dir.h"

namespace collector_test {
namespace {

using collector::HandleWebRequest;
using collector::WebRequest;
using collector::WebResponse;

TEST(WebAccess, TokenTable) {
  using Map = std::multimap<std::string, std::string>;
  const struct {
    const char* name;
    const char* token;
    Map params;
    Map headers;
    collector::WebAccess expected;
  } kCases[] = {
      {"no token configured", "", {}, {}, collector::WebAccess::kAllowed},
      {"missing", "s3cret", {}, {}, collector::WebAccess::kDenied},
      {"wrong query", "s3cret", {{"token", "s3cre"}}, {}, collector::WebAccess::kDenied},
      {"longer query", "s3cret", {{"token", "s3cretX"}}, {}, collector::WebAccess::kDenied},
      {"right query logs in", "s3cret", {{"token", "s3cret"}}, {}, collector::WebAccess::kAllowedSetCookie},
      {"bearer", "s3cret", {}, {{"Authorization", "Bearer s3cret"}}, collector::WebAccess::kAllowed},
      {"bearer header name in any case", "s3cret", {}, {{"authorization", "Bearer s3cret"}}, collector::WebAccess::kAllowed},
      {"wrong bearer", "s3cret", {}, {{"Authorization", "Bearer nope"}}, collector::WebAccess::kDenied},
      {"basic is not bearer", "s3cret", {}, {{"Authorization", "Basic s3cret"}}, collector::WebAccess::kDenied},
      {"cookie", "s3cret", {}, {{"Cookie", "a=b; vextra_web_token=s3cret; c=d"}}, collector::WebAccess::kAllowed},
      {"wrong cookie", "s3cret", {}, {{"Cookie", "vextra_web_token=s3cre"}}, collector::WebAccess::kDenied},
      {"other cookie holding the token", "s3cret", {}, {{"Cookie", "x_vextra_web_token=s3cret"}}, collector::WebAccess::kDenied},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(collector::CheckWebAccess(c.token, c.params, c.headers), c.expected);
  }
}

TEST(WebAccess, LoopbackAddressesAndWebAddresses) {
  const struct {
    const char* text;
    bool parses;
    const char* address;
    int port;
    bool loopback;
  } kCases[] = {
      {"127.0.0.1:8080", true, "127.0.0.1", 8080, true},
      {"127.45.6.7:1", true, "127.45.6.7", 1, true},
      {"[::1]:65535", true, "::1", 65535, true},
      {"0.0.0.0:8080", true, "0.0.0.0", 8080, false},
      {"192.168.1.4:80", true, "192.168.1.4", 80, false},
      {"[::]:80", true, "::", 80, false},
      {"[::ffff:127.0.0.1]:80", true, "::ffff:127.0.0.1", 80, false},
      {"128.0.0.1:80", true, "128.0.0.1", 80, false},
      {"localhost:80", false, "", 0, false},
      {"127.0.0.1", false, "", 0, false},
      {"127.0.0.1:0", false, "", 0, false},
      {"127.0.0.1:65536", false, "", 0, false},
      {"127.0.0.1:8x", false, "", 0, false},
      {"::1:80", false, "", 0, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    std::string address;
    int port = 0;
    ASSERT_EQ(collector::ParseWebAddress(c.text, &address, &port), c.parses);
    if (!c.parses) continue;
    EXPECT_EQ(address, c.address);
    EXPECT_EQ(port, c.port);
    EXPECT_EQ(collector::IsLoopbackAddress(address), c.loopback);
  }
}

TEST(HtmlEscape, HostileTexts) {
  EXPECT_EQ(collector::HtmlEscape("<script>alert('x')</script> & \"q\""),
            "&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt; &amp; &quot;q&quot;");
  EXPECT_EQ(collector::HtmlEscape(std::string("a\0b\x01\n\tc", 7)), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD\n\tc");
  EXPECT_EQ(collector::HtmlEscape("\xC3\xA9\xF0\x9F\x98\x80"), "\xC3\xA9\xF0\x9F\x98\x80");  // valid UTF-8 kept
  EXPECT_EQ(collector::HtmlEscape("\xC3(\xED\xA0\x80\xC0\xAF"), "\xEF\xBF\xBD(\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
}

// Report fields are bytes from the wire: the JSON API must stay valid JSON
// (and never close a <script> it is embedded in) whatever they hold.
TEST(JsonQuote, HostileTexts) {
  const struct {
    std::string text;
    const char* quoted;
  } kCases[] = {
      {"say \"hi\" \\ bye", R"("say \"hi\" \\ bye")"},
      {std::string("a\0b\x01\x1f\x7f", 6), R"("a\u0000b\u0001\u001f\u007f")"},
      {"line\r\n\ttab", R"("line\r\n\ttab")"},
      {"</script>", R"("\u003c/script>")"},
      {"\xC3\xA9\xF0\x9F\x98\x80", "\"\xC3\xA9\xF0\x9F\x98\x80\""},  // valid UTF-8 kept
      {"\xC3(\xFF", R"("\ufffd(\ufffd")"},                           // bytes that start no character
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.quoted);
    EXPECT_EQ(collector::JsonQuote(c.text), c.quoted);
  }
}

class WebViewTest : public testing::Test {
 protected:
  void SetUp() override {
    // A crash report whose every text field is hostile, and an error report.
    VextraPkg::UniPacket packet = MakeReportPacket("<img src=x onerror=alert(1)>");
    VextraPkg::ExceptionUpload* upload = MutableUpload(&packet);
    upload->set_expname(kHostile);
    upload->set_userid(kHostile);
    (*upload->mutable_usermap())["<b>key</b>"] = kHostile;
    (*upload->mutable_valuemap())["A34"] = kHostile;
    packet.mutable_request()->set_version(kHostile);
    Store(packet);
    CrashReportFields crash;
    crash.minidump = collector::Gzip(WriteSampleDump(SampleCrash{}));
    crash.logText = std::string("log <script>document.title='pwned'</script>\n");
    Store(MakeCrashPacket(crash));
    collector::MinimalDumpAnalyser analyser;
    collector::BackgroundAnalyser background(path_, analyser);
    ASSERT_EQ(background.RunOnce(), 2);
  }
  static VextraPkg::ExceptionUpload* MutableUpload(VextraPkg::UniPacket* packet) {
    package_.ParseFromString(packet->request().sbuffer());
    return package_.mutable_list(0);
  }
  void Store(VextraPkg::UniPacket packet) {
    if (package_.list_size() > 0) {
      packet.mutable_request()->set_sbuffer(package_.SerializeAsString());
      package_.Clear();
    }
    collector::ReceivedRequest received;
    received.receivedAt = 1700000100;
    received.path = "/pb/async";
    received.body = GzipPacket(packet);
    store_.Store(received, collector::DecodeRequestBody(received.body), collector::Answer{}, "200");
  }
  WebResponse Get(const std::string& path, std::multimap<std::string, std::string> params = {},
                  std::multimap<std::string, std::string> headers = {}, const std::string& token = "") {
    WebRequest request;
    request.path = path;
    request.params = std::move(params);
    request.headers = std::move(headers);
    return HandleWebRequest(path_, token, request);
  }

  static constexpr const char* kHostile = "<script>alert(\"x\")</script>'&";
  static inline VextraPkg::ExceptionUploadPackage package_;
  vextra_test::TempDir dir_{"vextra-web-view"};
  std::string path_ = (dir_.path() / "collector.db").string();
  collector::RequestStore store_{path_};
};

TEST_F(WebViewTest, EveryPageEscapesHostileFields) {
  for (const char* path : {"/", "/groups/1", "/groups/2", "/reports/1", "/reports/2"}) {
    SCOPED_TRACE(path);
    const WebResponse page = Get(path, {{"q", "\"><script>alert(1)"}});
    ASSERT_EQ(page.status, 200);
    // No report text becomes markup (the pages' own scripts hold no data).
    for (const char* raw : {"<script>alert", "<script>document.title", "<img", "<b>key", "\"><script>"}) {
      EXPECT_EQ(page.body.find(raw), std::string::npos) << raw;
    }
  }
  const WebResponse report = Get("/reports/1");
  EXPECT_NE(report.body.find("&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt;&#39;&amp;"), std::string::npos);
  EXPECT_NE(report.body.find("&lt;b&gt;key&lt;/b&gt;"), std::string::npos);
  EXPECT_NE(Get("/reports/2").body.find("log &lt;script&gt;document.title="), std::string::npos);
  // The search box shows the searched text back, escaped.
  EXPECT_NE(Get("/", {{"q", "\"><script>"}}).body.find("value=\"&quot;&gt;&lt;script&gt;\""), std::string::npos);
}

TEST_F(WebViewTest, TheApiCarriesWhatThePagesShow) {
  const WebResponse groups = Get("/api/groups");
  ASSERT_EQ(groups.status, 200);
  EXPECT_EQ(groups.contentType.rfind("application/json", 0), 0u);
  EXPECT_NE(groups.body.find("\"signature\":\"crash | game.exe+0x1234\""), std::string::npos) << groups.body;
  EXPECT_NE(groups.body.find("\"kind\":\"error\""), std::string::npos);
  const WebResponse crash = Get("/api/reports/2");
  ASSERT_EQ(crash.status, 200);
  for (const char* field : {"\"exception_name\":\"EXCEPTION_ACCESS_VIOLATION\"", "\"text\":\"game.exe+0x1234\"",
                            "\"fileName\":\"logFile.zip\"", "\"text\":\"log file tail\\n\"", "\"debug_file\":\"game.pdb\"",
                            "\"crashing_thread\":7"}) {
    EXPECT_NE(crash.body.find(field), std::string::npos) << field;
  }
  const WebResponse page = Get("/reports/2");
  for (const char* shown : {"EXCEPTION_ACCESS_VIOLATION (0xc0000005) at 0x140001234", "game.exe+0x1234", "log file tail",
                            "{&quot;map&quot;:&quot;level=3&quot;}", "C:\\Games\\Demo\\Vextra64.dll"}) {
    EXPECT_NE(page.body.find(shown), std::string::npos) << shown;
  }
  EXPECT_NE(Get("/api/reports/1").body.find("\\u003cscript>alert(\\\"x\\\")\\u003c/script>'&"), std::string::npos);
  EXPECT_EQ(Get("/api/reports/99").status, 404);
  EXPECT_EQ(Get("/groups/99").status, 404);
  EXPECT_EQ(Get("/nothing").status, 404);
}

TEST_F(WebViewTest, FiltersNarrowTheGroupsAndTheirReports) {
  const struct {
    std::multimap<std::string, std::string> params;
    bool crash, error;
  } kCases[] = {
      {{}, true, true},
      {{{"type", "crash"}}, true, false},
      {{{"type", "error"}}, false, true},
      {{{"app", "bundleId"}}, true, true},
      {{{"app", "app-1"}}, true, true},
      {{{"app", "other"}}, false, false},
      {{{"version", "1.2.3"}}, true, false},
      {{{"user", "user-9"}}, true, false},
      {{{"q", "0x1234"}}, true, false},
      {{{"q", "LuaError"}}, false, false},  // the hostile report's name replaced LuaError
      {{{"q", "%"}}, false, false},         // wildcards are searched as text
  };
  for (const auto& c : kCases) {
    std::string trace;
    for (const auto& p : c.params) trace += p.first + "=" + p.second + " ";
    SCOPED_TRACE(trace);
    const std::string body = Get("/api/groups", c.params).body;
    EXPECT_EQ(body.find("\"kind\":\"crash\"") != std::string::npos, c.crash) << body;
    EXPECT_EQ(body.find("\"kind\":\"error\"") != std::string::npos, c.error) << body;
  }
  EXPECT_NE(Get("/api/groups/2", {{"user", "user-9"}}).body.find("\"total\":1"), std::string::npos);
  EXPECT_NE(Get("/api/groups/2", {{"user", "nobody"}}).body.find("\"total\":0"), std::string::npos);
  // A group's reports are searched in their texts.
  EXPECT_NE(Get("/api/groups/2", {{"q", "crash-gu"}}).body.find("\"total\":1"), std::string::npos);
  EXPECT_NE(Get("/api/groups/2", {{"q", "check minidump"}}).body.find("\"total\":1"), std::string::npos);
  EXPECT_NE(Get("/api/groups/2", {{"q", "crash_gu"}}).body.find("\"total\":0"), std::string::npos);
  EXPECT_NE(Get("/api/groups/1", {{"q", "crash-gu"}}).body.find("\"total\":0"), std::string::npos);
}

TEST_F(WebViewTest, WithATokenNoDataWithoutIt) {
  const std::string token = "s3cret";
  for (const char* path : {"/", "/groups/1", "/reports/1", "/api/groups", "/api/groups/1", "/api/reports/1"}) {
    SCOPED_TRACE(path);
    for (const auto& headers : std::vector<std::multimap<std::string, std::string>>{
             {}, {{"Authorization", "Bearer wrong"}}, {{"Cookie", "vextra_web_token=wrong"}}}) {
      const WebResponse denied = Get(path, {{"token", "wrong"}}, headers, token);
      EXPECT_EQ(denied.status, 401);
      EXPECT_EQ(denied.body.find("game.exe"), std::string::npos);
      EXPECT_EQ(denied.body.find("alert"), std::string::npos);
      EXPECT_EQ(Get(path, {}, headers, token).status, 401);
    }
    const WebResponse login = Get(path, {{"token", token}}, {}, token);
    EXPECT_EQ(login.status, 200);
    EXPECT_EQ(login.setCookie.rfind("vextra_web_token=s3cret;", 0), 0u) << login.setCookie;
    EXPECT_EQ(Get(path, {}, {{"Cookie", "vextra_web_token=s3cret"}}, token).status, 200);
    EXPECT_EQ(Get(path, {}, {{"Authorization", "Bearer s3cret"}}, token).status, 200);
  }
}

}  // namespace
}  // namespace collector_test
