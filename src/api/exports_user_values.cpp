// Exports: the host's key/value pairs that travel with every report.

#include "api/export_guard.h"
#include "report/map_recorder.h"
#include "vextra.h"

using namespace Vextra;

extern "C" {

// A null key or value stores nothing.
void SetUserValue(const char* key, const char* value) {
  Guarded([&] { MapRecorder::Instance().Set(key, value); });
}

void VX_SetUserValue(const char* key, const char* value) { SetUserValue(key, value); }

}  // extern "C"
