#pragma once
// Start-up: the attach setup run when the library is loaded, and the start-up
// entry the host triggers with its configuration call.

#include <string>

namespace Vextra {

// Runs once per process (later calls do nothing): records the host
// executable's path, the source of the process name.
void RunAttachSetup();
std::string HostExecutablePath();

// The text after the last "/" or "\\" of a path.
std::string FileNamePart(const std::string& path);

// The start-up entry: stores the non-empty user id and app version, sets the
// process name and writes the start-up debug lines. Runs on a host thread.
void StartUp(const char* user_id, const char* app_version, const char* reserved);

}  // namespace Vextra
