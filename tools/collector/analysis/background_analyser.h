#pragma once
// The collector's background analyser: one thread that analyses stored
// reports, files them into crash groups and analyses them again when symbols
// for their modules arrive. The upload handler only wakes it.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "collector/analysis/dump_analysis.h"
#include "collector/analysis/report_analysis.h"

namespace collector {

class BackgroundAnalyser {
 public:
  // analyser must outlive this object; log receives one line per problem;
  // owner names this collector among those sharing the database.
  BackgroundAnalyser(const std::string& location, DumpAnalyser& analyser,
                     std::function<void(const std::string&)> log = nullptr, const std::string& owner = "local");
  ~BackgroundAnalyser();  // stops the thread
  BackgroundAnalyser(const BackgroundAnalyser&) = delete;
  BackgroundAnalyser& operator=(const BackgroundAnalyser&) = delete;

  // Starts the thread: it works through what is waiting, then sleeps until
  // woken or until pollMs have passed (symbols are looked for on each round).
  void Start(int pollMs = 1000);
  // Any thread; returns at once.
  void Wake();
  // Ends the thread after the report it is on.
  void Stop();

  // One round on the caller's thread: new symbols, then every waiting report.
  // Returns the number of reports analysed. Not while the thread runs.
  int RunOnce();

 private:
  void Loop(int pollMs);
  bool AnalyseOne(int64_t id);
  void GiveBack(int64_t id);

  AnalysisStore store_;
  DumpAnalyser& analyser_;
  std::function<void(const std::string&)> log_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool woken_ = false;     // guarded by mutex_
  bool stopping_ = false;  // guarded by mutex_
  std::thread thread_;
};

}  // namespace collector
