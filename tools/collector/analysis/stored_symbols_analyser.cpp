#include "collector/analysis/stored_symbols_analyser.h"

#include <map>
#include <set>
#include <utility>
#include <vector>

#include "collector/stackwalk/stack_walker.h"

namespace collector {
namespace {

using Vextra::minidump::DumpModule;

// The identity a module is stored under: its debug record's, or the PE code
// id when the dump's writer left that record out (Wine's dbghelp does).
std::string StoreKey(const DumpModule& module) {
  return !module.debug_id.empty() ? module.debug_id : module.code_id;
}

// Unwinding wants the image (its .pdata/.xdata or .eh_frame hold real data);
// a debug file alone is the next best, as it keeps the section layout.
class StoredModuleFiles : public ModuleFiles {
 public:
  explicit StoredModuleFiles(const SymbolStore& store) : store_(store) {}
  std::string PathFor(const DumpModule& module) override {
    const StoredSymbols stored = Find(StoreKey(module));
    return !stored.image_path.empty() ? stored.image_path : stored.debug_path;
  }
  StoredSymbols Find(const std::string& debug_id) {
    if (debug_id.empty()) return {};
    auto known = found_.find(debug_id);
    if (known == found_.end()) known = found_.emplace(debug_id, store_.Find(debug_id)).first;
    return known->second;
  }

 private:
  const SymbolStore& store_;
  std::map<std::string, StoredSymbols> found_;  // one store lookup per module and walk
};

// The offset whose source line a frame shows. A return address points after
// its call: the call's own line is one byte before it. Frame 0 is the fault.
uint64_t LookupOffset(size_t frame_index, const StackFrame& frame) {
  return frame_index == 0 || frame.module_offset == 0 ? frame.module_offset : frame.module_offset - 1;
}

}  // namespace

StoredSymbolsAnalyser::StoredSymbolsAnalyser(const std::string& db_path) : store_(db_path) {}

DumpAnalysis StoredSymbolsAnalyser::Analyse(const std::string& dump_bytes) {
  StoredModuleFiles files(store_);
  const WalkedDump walked = WalkDump(dump_bytes, files);
  const auto& contents = walked.contents;

  DumpAnalysis analysis;
  analysis.problems = contents.problems;
  analysis.has_exception = contents.exception.present;
  analysis.exception_code = contents.exception.code;
  analysis.exception_address = contents.exception.address;
  analysis.crashing_thread = contents.exception.thread_id;

  std::vector<StoredSymbols> stored;
  for (const DumpModule& module : contents.modules) {
    stored.push_back(files.Find(StoreKey(module)));
    AnalysedModule analysed;
    analysed.name = module.name;
    analysed.base = module.base;
    analysed.size = module.size;
    analysed.debug_id = StoreKey(module);
    analysed.debug_file = module.debug_file;
    analysed.has_symbols = !stored.back().image_path.empty() || !stored.back().debug_path.empty();
    analysis.modules.push_back(std::move(analysed));
  }

  // Every frame's lookup offset, per module, so each module's file is read once.
  std::map<int, std::vector<uint64_t>> lookups;
  for (const ThreadStack& thread : walked.threads) {
    for (size_t i = 0; i < thread.frames.size(); ++i) {
      const StackFrame& frame = thread.frames[i];
      if (frame.module_index < 0 || frame.module_index >= static_cast<int>(stored.size())) continue;
      lookups[frame.module_index].push_back(LookupOffset(i, frame));
    }
  }
  std::map<std::pair<int, uint64_t>, SymbolizedLocation> located;
  std::set<std::string> missing;
  for (auto& [index, offsets] : lookups) {
    const StoredSymbols& symbols = stored[index];
    const std::string& path = !symbols.debug_path.empty() ? symbols.debug_path : symbols.image_path;
    if (path.empty()) {
      if (!analysis.modules[index].debug_id.empty()) missing.insert(analysis.modules[index].debug_id);
      continue;
    }
    std::string error;
    const std::vector<SymbolizedLocation> found = symbolizer_.Lookup(path, offsets, &error);
    if (!error.empty()) {
      analysis.problems.push_back("symbols of " + ModuleFileName(analysis.modules[index].name) + ": " + error);
      continue;
    }
    for (size_t i = 0; i < offsets.size() && i < found.size(); ++i) located[{index, offsets[i]}] = found[i];
  }
  analysis.missing_symbols.assign(missing.begin(), missing.end());

  for (const ThreadStack& thread : walked.threads) {
    AnalysedThread analysed;
    analysed.thread_id = thread.thread_id;
    analysed.faulting = thread.faulting;
    analysed.error = thread.error;
    for (size_t i = 0; i < thread.frames.size(); ++i) {
      const StackFrame& frame = thread.frames[i];
      AnalysedFrame out;
      out.pc = frame.pc;
      out.trust = frame.trust;
      out.module_index = frame.module_index;
      out.module_offset = frame.module_offset;
      out.line = 0;
      if (frame.module_index >= 0 && frame.module_index < static_cast<int>(analysis.modules.size())) {
        out.module_name = ModuleFileName(analysis.modules[frame.module_index].name);
        const auto symbol = located.find({frame.module_index, LookupOffset(i, frame)});
        if (symbol != located.end()) {
          out.function = symbol->second.function;
          out.file = symbol->second.file;
          out.line = symbol->second.line;
        }
      }
      analysed.frames.push_back(std::move(out));
    }
    analysis.threads.push_back(std::move(analysed));
  }
  return analysis;
}

}  // namespace collector
