// 840 answer bodies: what any server (or anyone on the path) sends back to the
// user-information request, down to the strategy map and its JSON form.
// Mode bit clear: the rest is the body as received. Mode bit set: the rest is
// the packet, wrapped here in gzip, so the fuzzer reaches the protobuf reading.
#include "fuzz_target.h"
#include "uploader/strategy_manager.h"
#include "uploader/upload_task.h"

VEXTRA_FUZZ_TARGET(strategy_answer) {
  vextra_fuzz::Input input = vextra_fuzz::SplitModeByte(data, size);
  std::string body = input.shaped ? vextra_fuzz::GzipStored(input.rest) : input.rest;
  Vextra::StrategyMap strategy = Vextra::StrategyFromAnswer(body);
  std::string json = Vextra::RenderStrategyJson(strategy);
  FUZZ_CHECK(json.size() >= 2 && json.front() == '{' && json.back() == '}');
  for (const auto& [key, value] : strategy) (void)Vextra::IsSwitchOn(value);
  return 0;
}
