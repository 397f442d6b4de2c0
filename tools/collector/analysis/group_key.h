#pragma once
// The signature that decides which group a report joins, and the group's title.

#include <cstdint>
#include <string>

#include "collector/analysis/dump_analysis.h"

namespace collector {

struct GroupKey {
  std::string signature;  // equal signatures share a group
  std::string title;      // one line shown in the group list
};

// True for the reporter's own module ("Vextra64.dll", "libVextra64.so"),
// compared case-insensitively on the file name of path.
bool IsReporterModule(const std::string& path);

// A frame as module!function where the function is known, else
// module+0xoffset (lowercase hex), "0x<pc>" outside every module.
std::string FrameText(const AnalysedFrame& frame);

// Crashes: the top three frames of the faulting thread outside the reporter's
// module; with none, the exception code and the module+offset of the
// exception address. Load addresses never enter it, so the same crash from
// builds loaded elsewhere shares one signature.
GroupKey CrashGroupKey(const DumpAnalysis& analysis);

// Error reports: the type, the name and the first three non-empty lines of
// the call stack text with addresses taken out.
GroupKey ErrorGroupKey(const std::string& type, const std::string& name, const std::string& callStack);

// One call stack line with hexadecimal addresses ("0x..." and runs of eight
// or more hex digits) replaced by "?" and surrounding blanks trimmed.
std::string NormaliseStackLine(const std::string& line);

// "EXCEPTION_ACCESS_VIOLATION" and the like for Windows codes, "SIGSEGV" and
// the like for Linux signal numbers; the code in hex otherwise.
std::string ExceptionCodeName(uint32_t code);

}  // namespace collector
