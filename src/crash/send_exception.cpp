#include "crash/send_exception.h"

#include <atomic>

#include "crash/crash_callbacks.h"
#include "crash/crash_decisions.h"
#include "crash/crash_dump_sink.h"
#include "crash/crash_platform.h"
#include "crash/prepared_crash_guid.h"
#include "log/sdk_log.h"
#include "platform/guid.h"

namespace Vextra {
namespace {

std::atomic<int32_t> g_in_probe{0};
std::atomic<const CrashDumpSink*> g_sink_override{nullptr};

const CrashDumpSink& Sink() {
  const CrashDumpSink* chosen = g_sink_override.load(std::memory_order_acquire);
  return chosen != nullptr ? *chosen : DefaultCrashDumpSink();
}

}  // namespace

void ProbeBegin() { g_in_probe.fetch_add(1, std::memory_order_acq_rel); }
void ProbeEnd() { g_in_probe.fetch_sub(1, std::memory_order_acq_rel); }
int32_t ProbeInProgress() { return g_in_probe.load(std::memory_order_acquire); }

void SendExceptionForThread(_EXCEPTION_POINTERS* pointers, int32_t crash_kind, uint32_t thread_id) {
  // The system's own text, "%b" included: written as it stands, since "%b"
  // means nothing to one C runtime and binary to another.
  LogDebug("%s", "_HcSpySendException with dll %b\n");
  if (ProbeInProgress() > 0) {
    LogDebug("Exception in BadPtr\n");
    return;
  }
  if (pointers == nullptr) return;

  platform::Guid id;
  // Another crash took the waiting GUID: make one here, as a last resort.
  if (!TakePreparedCrashGuid(&id)) id = platform::NewGuid();
  char guid[platform::kGuidTextChars];
  platform::FormatGuidText(id, guid);
  LogDebug("Generated guid is %s\n", guid);

  LogDebug("Crash_callback starts.\n");
  if (VextraCrashCallback callback = TakeCrashCallback()) callback(1, guid);
  LogDebug("Crash_callback Finished.\n");

  const CrashDumpSink& sink = Sink();
  wchar_t directory[260] = {};
  if (sink.default_dump_dir != nullptr) sink.default_dump_dir(directory);
  wchar_t dump_path[260] = {};
  if (sink.write_dump_for_thread != nullptr) {
    sink.write_dump_for_thread(pointers, thread_id, dump_path);
  } else if (sink.write_dump != nullptr) {
    sink.write_dump(pointers, dump_path);
  }
  PrepareCrashGuid();  // the dump is written: the next crash's GUID may be made now
  if (sink.upload != nullptr) sink.upload(dump_path, guid, crash_kind, false);
}

void _HcSpySendException(_EXCEPTION_POINTERS* pointers, int32_t crash_kind) {
  SendExceptionForThread(pointers, crash_kind, CurrentCrashPlatform().thread_id());
}

}  // namespace Vextra

namespace Vextra::testing_hooks {
void SetCrashDumpSinkForTesting(const CrashDumpSink* sink) { g_sink_override.store(sink); }
}  // namespace Vextra::testing_hooks
