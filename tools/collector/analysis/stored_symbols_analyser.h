#pragma once
// The collector's dump analyser: walks every thread of a minidump with the
// unwind tables of the modules found in the symbol store, then names each
// frame with its module's debug information.

#include <string>

#include "collector/analysis/dump_analysis.h"
#include "collector/symbols/symbol_store.h"
#include "collector/symbols/symbolizer.h"

namespace collector {

class StoredSymbolsAnalyser : public DumpAnalyser {
 public:
  // db_path: the collector's database; its folder holds the symbol store.
  explicit StoredSymbolsAnalyser(const std::string& db_path);
  DumpAnalysis Analyse(const std::string& dump_bytes) override;

 private:
  SymbolStore store_;
  Symbolizer symbolizer_;
};

}  // namespace collector
