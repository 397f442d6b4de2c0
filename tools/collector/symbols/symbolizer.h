#pragma once
// Function names and source lines of module offsets, read from a module's
// image or debug file by binutils' addr2line run as a child process (so a
// hostile debug file can only hurt the child), killed after a timeout. A
// child stays running for its file and answers later lookups from its
// stdin, so a module's debug information is parsed once, not per crash.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace collector {

struct SymbolizedLocation {
  std::string function;  // demangled; empty when unknown
  std::string file;      // as the debug information names it; empty when unknown
  int line = 0;
};

struct SymbolizerOptions {
  // binutils rather than llvm-symbolizer: the latter names functions but gives
  // no lines for the DWARF 5 that MinGW writes into PE files.
  std::string pe_tool = "x86_64-w64-mingw32-addr2line";
  std::string elf_tool = "addr2line";
  int timeout_ms = 20000;                // a lookup not answered by then is an error; its child is killed
  size_t max_output_bytes = 64u << 20;   // a child writing more for one lookup is killed
  size_t max_children = 8;               // files kept open at once; the least recently used goes first
};

class Symbolizer {
 public:
  explicit Symbolizer(SymbolizerOptions options = {});
  ~Symbolizer();  // stops the children
  Symbolizer(const Symbolizer&) = delete;
  Symbolizer& operator=(const Symbolizer&) = delete;

  // Looks up addresses given as offsets from the module's load address, in the
  // module's file (PE: debug file or image; ELF: debug file or image); one
  // location per offset (the outermost function with the line of the call
  // site), empty for an offset outside every function. All offsets go to the
  // file's one child (started on first use, restarted when the file at that
  // path changed). On failure (a file that is not PE/ELF, a tool that fails,
  // hangs or answers out of turn) returns no locations and a reason in
  // *error, and stops that child. Any thread may call it; lookups take turns.
  std::vector<SymbolizedLocation> Lookup(const std::string& path, const std::vector<uint64_t>& module_offsets,
                                         std::string* error);

 private:
  struct Child;
  SymbolizerOptions options_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Child>> children_;  // guarded by mutex_; most recently used last
};

// One location from addr2line's two lines ("function", "file:line"); "??"
// and "??:0" / "??:?" stand for unknown.
SymbolizedLocation ParseAddr2LineLocation(const std::string& function_line, const std::string& file_line);

}  // namespace collector
