#include "collector/analysis/background_analyser.h"

#include <chrono>
#include <ctime>
#include <set>

namespace collector {

BackgroundAnalyser::BackgroundAnalyser(const std::string& dbPath, DumpAnalyser& analyser,
                                       std::function<void(const std::string&)> log)
    : store_(dbPath), analyser_(analyser), log_(std::move(log)) {}

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
    return false;
  }
  const ReportOutcome outcome = AnalyseReport(facts, analyser_);
  try {
    store_.Save(facts, outcome, static_cast<int64_t>(std::time(nullptr)));
    return true;
  } catch (const std::exception& error) {
    if (log_) log_("cannot store the analysis of report " + std::to_string(id) + ": " + error.what());
    return false;
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
      ids = store_.NextReports(64);
    } catch (const std::exception& error) {
      if (log_) log_(std::string("cannot list reports to analyse: ") + error.what());
      break;
    }
    bool progressed = false;
    for (int64_t id : ids) {
      if (!tried.insert(id).second) continue;
      progressed = true;
      if (AnalyseOne(id)) ++analysed;
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return analysed;
    }
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
