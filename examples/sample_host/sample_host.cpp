// A minimal host: configures the crash reporter, starts it, logs a few lines
// into the report ring and reports a script error.
//   vextra_sample_host [server-url]

#include <cstdio>

#include "vextra.h"

int main(int argc, char** argv) {
  const char* server = argc > 1 ? argv[1] : "https://127.0.0.2";

  VX_ConfigDebugMode(true);  // write the SDK log's debug lines
  VX_ConfigCrashServerUrl(server);
  VX_SetUserId("player-1");
  VX_SetAppVersion("1.0.0");
  VX_SetUserValue("level", "forest-3");
  VX_InitWithAppId("sample-app");  // starts the library

  char session[33] = {};
  VX_GetSessionId(session);
  std::printf("\nsample host: session id \"%s\"\n", session);

  PrintLog(2, "sample", "level %d loaded in %.1f s", 3, 1.5);
  VX_ReportException(1, "ScriptError", "attempt to index a nil value", "main.lua:12", "", false, nullptr);
  return 0;
}
