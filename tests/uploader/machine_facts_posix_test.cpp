// The time zone and screen of a Linux envelope, checked against zones whose
// offsets are known (set through TZ in POSIX form, so no zone database is
// needed), not against the functions under test.

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "uploader/envelope_facts.h"
#include "uploader/machine_facts.h"
#include "uploader/report_builder.h"

namespace {

// Sets TZ for the life of the object and restores the earlier value.
class ZoneForTest {
 public:
  explicit ZoneForTest(const char* zone) {
    if (const char* old = std::getenv("TZ")) old_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ZoneForTest() {
    if (old_) {
      setenv("TZ", old_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::optional<std::string> old_;
};

TEST(MachineFactsPosixTest, TimeZoneBiasIsMinutesWestOfUtcWithTheStandardName) {
  static const struct {
    const char* zone;
    int32_t bias;  // UTC = local + bias
    const char* name;
    const char* abbreviation;  // of the envelope
  } kZones[] = {
      {"UTC0", 0, "UTC", "GMT0"},
      {"IST-5:30", -330, "IST", "GMT-5"},
      // New York: the standard bias, in summer as in winter.
      {"EST5EDT,M3.2.0,M11.1.0", 300, "EST", "GMT5"},
      {"JST-9", -540, "JST", "GMT-9"},
      {"<-0330>3:30", 210, "-0330", "GMT3"},
  };
  for (const auto& z : kZones) {
    SCOPED_TRACE(z.zone);
    ZoneForTest zone(z.zone);
    int32_t bias = 12345;
    std::string name = "unset";
    EXPECT_TRUE(Vextra::platform::ReadTimeZone(&bias, &name));
    EXPECT_EQ(bias, z.bias);
    EXPECT_EQ(name, z.name);

    Vextra::ReportBuilder builder;
    builder.FillCommon(Vextra::ReadEnvelopeFacts());
    EXPECT_EQ(builder.GetRequest().timezoneseconds(), z.bias * 60);
    EXPECT_EQ(builder.GetRequest().timezonename(), z.name);
    EXPECT_EQ(builder.GetRequest().timezoneabbreviation(), z.abbreviation);
  }
}

TEST(MachineFactsPosixTest, ServerProcessReportsNoScreen) {
  int32_t width = -1;
  int32_t height = -1;
  Vextra::platform::ReadScreenSize(&width, &height);
  EXPECT_EQ(width, 0);
  EXPECT_EQ(height, 0);
  Vextra::ReportBuilder builder;
  builder.FillCommon(Vextra::ReadEnvelopeFacts());
  EXPECT_EQ(builder.GetRequest().resolution(), "0*0");
}

}  // namespace
