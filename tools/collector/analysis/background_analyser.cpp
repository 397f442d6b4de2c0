#include "collector/analysis/background_analyser.h"

#include <chrono>
#include <ctime>
#include <set>

namespace collector {

BackgroundAnalyser::BackgroundAnalyser(const std::string& location, DumpAnalyser& analyser,
                                       std::function<void(const std::string&)> log, const std::string& owner)
    : store_(location, owner), analyser_(analyser), log_(std::move(log)) {}

BackgroundAnalyser::~BackgroundAnalyser() { Stop(); }

void BackgroundAnalyser::Start(int pollMs) {
  thread_ = std::thread([this, pollMs] { Loop(pollMs); });
}

void BackgroundAnalyser::Wake() {
  std::lock_guard<std::mutex> lock(mutex_);
  woken_ = true;
  wake_.notify_one();
}

void BackgroundAnalyser::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    wake_.notify_one();
  }
  if (thread_.joinable()) thread_.join();
}

bool BackgroundAnalyser::AnalyseOne(int64_t id) {
  ReportFacts facts;
  try {
    facts = store_.LoadReport(id);
  } catch (const std::exception& error) {
    if (log_) log_("cannot read report " + std::to_string(id) + ": " + error.what());
    GiveBack(id);
    return false;
  }
  const ReportOutcome outcome = AnalyseReport(facts, analyser_);
  try {
    store_.Save(facts, outcome, static_cast<int64_t>(std::time(nullptr)));
    return true;
  } catch (const std::exception& error) {
    if (log_) log_("cannot store the analysis of report " + std::to_string(id) + ": " + error.what());
    GiveBack(id);
    return false;
  }
}

void BackgroundAnalyser::GiveBack(int64_t id) {
  try {
    store_.Release(id);
  } catch (const std::exception&) {
    // The claim runs out by itself and another round takes the report.
  }
}

int BackgroundAnalyser::RunOnce() {
  int analysed = 0;
  try {
    store_.MarkReportsWithNewSymbols();
  } catch (const std::exception& error) {
    if (log_) log_(std::string("cannot read symbol_files: ") + error.what());
  }
  // A report that cannot be stored is tried once per round, not forever.
  std::set<int64_t> tried;
  for (;;) {
    std::vector<int64_t> ids;
    try {
      ids = store_.NextReports(64, static_cast<int64_t>(std::time(nullptr)));
    } catch (const std::exception& error) {
      if (log_) log_(std::string("cannot list reports to analyse: ") + error.what());
      break;
    }
    bool progressed = false;
    bool stop = false;
    for (int64_t id : ids) {
      // Claimed but not worked on: given back for the next round or collector.
      if (stop || !tried.insert(id).second) {
        GiveBack(id);
        continue;
      }
      progressed = true;
      if (AnalyseOne(id)) ++analysed;
      std::lock_guard<std::mutex> lock(mutex_);
      stop = stopping_;
    }
    if (stop) return analysed;
    if (!progressed) break;
  }
  return analysed;
}

void BackgroundAnalyser::Loop(int pollMs) {
  for (;;) {
    RunOnce();
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_for(lock, std::chrono::milliseconds(pollMs), [this] { return woken_ || stopping_; });
    if (stopping_) return;
    woken_ = false;
  }
}

}  // namespace collector
