// Exports: the host's key/value pairs that travel with every report.

#include "api/export_guard.h"
#include "vextra.h"

using namespace Vextra;

extern "C" {

void SetUserValue(const char* key, const char* value) {}

void VX_SetUserValue(const char* key, const char* value) { SetUserValue(key, value); }

}  // extern "C"
