#pragma once
// Start-up: the attach setup run when the library is loaded, and the start-up
// entry the host triggers with its configuration call.

#include <string>

namespace Vextra {

// Runs once per process (later calls do nothing): creates the crash context,
// enters the loaded modules on the ignore list, and records the host
// executable's path (the source of the process name) there and here.
void RunAttachSetup();
std::string HostExecutablePath();

// Reads the configuration files into the settings (their values win over the
// host's), then collects the device facts.
void LoadHostInfo();

// The first half of start-up: loads the host information and, unless the
// marker file switched capture off, installs the crash handlers; a failure
// inside is logged and start-up goes on.
void InitHookContext();

// The start-up entry: stores the non-empty user id and app version, sets the
// process name, writes the start-up debug lines and, while the library is not
// initialised, runs InitHookContext and the agent's Init; then, on every
// call, starts the access-information thread. Runs on a host thread;
// concurrent calls run the start-up one after the other.
void StartUp(const char* user_id, const char* app_version, const char* reserved);

}  // namespace Vextra
