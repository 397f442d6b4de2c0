#pragma once
// What the collector learns from a crash report's minidump, and the analyser
// interface that produces it. The background analyser calls Analyse on its own
// thread, never in the request that stored the report.

#include <cstdint>
#include <string>
#include <vector>

namespace collector {

struct AnalysedFrame {
  uint64_t pc = 0;
  std::string trust;  // "context", "cfi", "frame pointer" or "scan"
  int module_index = -1;  // in DumpAnalysis::modules, -1 outside every module
  std::string module_name;  // the module's file name, empty outside every module
  uint64_t module_offset = 0;
  std::string function, file;  // empty when unknown
  int line = 0;
};

struct AnalysedThread {
  uint32_t thread_id = 0;
  bool faulting = false;
  std::vector<AnalysedFrame> frames;
  std::string error;  // why the walk stopped early; empty when it ended cleanly
};

struct AnalysedModule {
  std::string name;  // as the dump names it (a full path)
  uint64_t base = 0;
  uint32_t size = 0;
  std::string debug_id, debug_file;
  bool has_symbols = false;
};

struct DumpAnalysis {
  bool has_exception = false;
  uint32_t exception_code = 0;
  uint64_t exception_address = 0;
  uint32_t crashing_thread = 0;
  std::vector<AnalysedThread> threads;  // faulting first
  std::vector<AnalysedModule> modules;
  std::vector<std::string> problems;         // what could not be read: shown as error lines
  std::vector<std::string> missing_symbols;  // debug ids of modules on the stacks that had no symbols
};

// Implementations must not throw on hostile input; the background analyser
// still catches whatever escapes and records the report as failed.
class DumpAnalyser {
 public:
  virtual ~DumpAnalyser() = default;
  virtual DumpAnalysis Analyse(const std::string& dump_bytes) = 0;
};

// Reads the dump and gives frame 0 of every thread (the thread's own
// instruction pointer, the exception context's for the faulting thread) as
// module+offset, and the module list. No unwinding and no symbols: every
// module with a debug id that holds a frame is listed as missing symbols.
class MinimalDumpAnalyser : public DumpAnalyser {
 public:
  DumpAnalysis Analyse(const std::string& dump_bytes) override;
};

// The dump's bytes from the "minidump.zip" attachment's data: a gzip stream
// (the library sends its compressed copy) is inflated, anything else is taken
// as it came. A gzip stream that cannot be inflated whole gives the bytes
// that could be, and *problem says so.
std::string DumpBytesOfAttachment(const std::string& data, std::string* problem);

// The file name of a module path, after the last '/' or '\\'.
std::string ModuleFileName(const std::string& path);

}  // namespace collector
