// The extra information of an error report: any bytes a host passes, read by
// the report's own byte rules into at most 500 user values.
#include "fuzz_target.h"
#include "report/extra_info.h"
#include "report/report_content.h"
#include "uploader/report_builder.h"

VEXTRA_FUZZ_TARGET(extra_info) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const Vextra::ExtraInfoPairs pairs = Vextra::ParseExtraInfo(text);
  // Each input byte lands in at most one key or value, and each pair is
  // stored by one comma or closing brace.
  size_t stored = 0;
  for (const auto& [key, value] : pairs) stored += key.size() + value.size();
  FUZZ_CHECK(stored <= size);
  size_t ends = 0;
  for (char c : text) ends += (c == ',' || c == '}') ? 1 : 0;
  FUZZ_CHECK(pairs.size() <= ends);

  Vextra::ReportBuilder builder("E", "m", "00000000000000000000000000000000");
  Vextra::AddExtraInfo(builder, text);
  const auto& user = builder.GetUpload().usermap();
  FUZZ_CHECK(user.size() == std::min(pairs.size(), Vextra::kMaxExtraInfoPairs));
  // The pairs kept are the smallest keys, with the parser's values.
  auto next = pairs.begin();
  for (size_t i = 0; i < user.size(); ++i, ++next) {
    const auto found = user.find(next->first);
    FUZZ_CHECK(found != user.end() && found->second == next->second);
  }
  return 0;
}
