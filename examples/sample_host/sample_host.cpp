// A minimal host: configures the crash reporter, starts it, logs a few lines
// into the report ring, sets user values and reports two script errors: one
// synchronously (sent before the call returns, with a game log file attached)
// and one asynchronously (sent by the library's report thread). With "crash"
// as third argument it then crashes in a function of its own, so the crash
// report and its minidump can be read back with the host's symbols.
//   vextra_sample_host [server-url [game-log-file [crash]]]

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "vextra.h"

namespace {

// A game log of 6,000,000 bytes: the report carries its last 5 MiB.
void WriteGameLog(const char* path) {
  FILE* file = std::fopen(path, "wb");
  if (file == nullptr) return;
  std::string line;
  for (int i = 0; line.size() < 6000000; ++i) line += "frame " + std::to_string(i) + ": all quiet\n";
  line.resize(6000000);
  std::fwrite(line.data(), 1, line.size(), file);
  std::fclose(file);
}

// Out of line, never cloned, and a volatile write: the fault stays in this
// function, at this line, whatever the optimiser does.
__attribute__((noinline, noclone)) void SpawnEnemyWave(int wave) {
  volatile int* enemies = nullptr;
  enemies[wave] = wave;  // the sample crash: a write through a null pointer
}

__attribute__((noinline, noclone)) void LoadLevel(int level) {
  std::printf("sample host: loading level %d\n", level);
  std::fflush(stdout);
  SpawnEnemyWave(level);
  std::printf("sample host: level %d loaded\n", level);
}

std::wstring Widen(const char* text) { return std::wstring(text, text + std::char_traits<char>::length(text)); }

}  // namespace

int main(int argc, char** argv) {
  const char* server = argc > 1 ? argv[1] : "127.0.0.2";
  const char* game_log = argc > 2 ? argv[2] : "game.log";
  const bool crash = argc > 3 && std::string(argv[3]) == "crash";

  VX_ConfigDebugMode(true);  // write the SDK log's debug lines
  VX_ConfigCrashServerUrl(server);
  VX_SetUserId("player-1");
  VX_SetAppVersion("1.0.0");
  VX_SetUserValue("level", "forest-3");
  VX_SetUserValue("difficulty", "hard");
  VX_InitWithAppId("sample-app");  // starts the library

  char session[33] = {};
  VX_GetSessionId(session);
  std::printf("\nsample host: session id \"%s\"\n", session);

  PrintLog(2, "sample", "level %d loaded in %.1f s", 3, 1.5);
  PrintLog(3, "sample", "texture cache at %d%%", 97);

  WriteGameLog(game_log);
  const std::wstring wide_log = Widen(game_log);
  // Synchronous: assembled and sent on this thread.
  VX_ReportExceptionW(1, "ScriptError", "attempt to index a nil value", "main.lua:12\nlevel.lua:40",
                      "{\"quest\":\"q17\",\"gold\":250}", false, wide_log.c_str());
  // Asynchronous: queued, sent by the report thread.
  VX_ReportException(1, "ScriptWarning", "slow frame", "render.lua:7", "{\"ms\":48}", true, nullptr);
  // Give the report thread time to send before the host ends.
  std::this_thread::sleep_for(std::chrono::seconds(3));
  if (crash) LoadLevel(4);
  std::printf("sample host: done\n");
  return 0;
}
