#pragma once
// A process snapshot made in the test: threads, modules, memory regions and
// extra streams as plain values, and a dump output into a buffer sized up
// front (so writing to it allocates nothing).

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "minidump/minidump_file_writer.h"
#include "minidump/process_snapshot.h"

namespace vextra_test {

using namespace Vextra::minidump;

class FakeSnapshot : public ProcessSnapshot {
 public:
  FakeSnapshot() {
    system_.os = OsFamily::kLinux;
    system_.cpu_count = 8;
    system_.major_version = 6;
    system_.minor_version = 1;
    system_.build_number = 0;
    system_.version_text = "Linux 6.1.0-18-amd64 #1 SMP PREEMPT_DYNAMIC x86_64";
    exception_ = ExceptionFacts{};
  }

  // A thread with known registers whose stack is [low, high), filled with a
  // pattern derived from its id (its first readable bytes only), with rsp at sp.
  ThreadFacts& AddThread(uint32_t id, uint64_t low, uint64_t high, uint64_t sp, uint64_t readable = UINT64_MAX) {
    ThreadFacts thread{};
    thread.thread_id = id;
    thread.registers_known = true;
    thread.registers.rsp = sp;
    thread.registers.rip = 0x400000 + id;
    thread.registers.rbp = sp + 0x40;
    thread.registers.rax = 0xA0A0000000000000ULL + id;
    thread.stack_low = low;
    thread.stack_high = high;
    threads_.push_back(thread);
    if (readable > 0) AddMemory(low, Pattern(id, std::min(readable, high - low)));
    return threads_.back();
  }

  // Readable memory: reads stop at the end of the region they start in.
  void AddMemory(uint64_t address, std::string bytes) { memory_.push_back({address, std::move(bytes)}); }

  ModuleFacts& AddModule(uint64_t base, uint64_t size, const std::string& path, const std::string& codeview) {
    strings_.push_back(path);
    strings_.push_back(codeview);
    ModuleFacts module{};
    module.base = base;
    module.size = size;
    module.path = strings_[strings_.size() - 2].c_str();
    module.codeview = reinterpret_cast<const uint8_t*>(strings_.back().data());
    module.codeview_size = static_cast<uint32_t>(codeview.size());
    modules_.push_back(module);
    return modules_.back();
  }

  // An extra stream handed out at most chunk bytes per read.
  void AddExtraStream(uint32_t type, std::string content, size_t chunk) {
    extras_.push_back({ExtraStreamFacts{type}, std::move(content), chunk});
  }

  static std::string Pattern(uint32_t seed, uint64_t size) {
    std::string bytes(size, '\0');
    for (uint64_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 31 + seed * 7 + (i >> 8)) & 0xFF);
    return bytes;
  }

  SystemFacts& system() { return system_; }
  ExceptionFacts& exception() { return exception_; }
  ThreadFacts& thread(size_t index) { return threads_[index]; }

  const SystemFacts& System() const override { return system_; }
  const ExceptionFacts& Exception() const override { return exception_; }
  uint32_t ThreadCount() const override { return static_cast<uint32_t>(threads_.size()); }
  const ThreadFacts& Thread(uint32_t index) const override { return threads_[index]; }
  uint32_t ModuleCount() const override { return static_cast<uint32_t>(modules_.size()); }
  const ModuleFacts& Module(uint32_t index) const override { return modules_[index]; }
  size_t ReadMemory(uint64_t address, void* buffer, size_t size) const override {
    for (const auto& region : memory_) {
      if (address >= region.address && address - region.address < region.bytes.size()) {
        const size_t offset = static_cast<size_t>(address - region.address);
        const size_t count = std::min(size, region.bytes.size() - offset);
        std::memcpy(buffer, region.bytes.data() + offset, count);
        return count;
      }
    }
    return 0;
  }
  uint32_t ExtraStreamCount() const override { return static_cast<uint32_t>(extras_.size()); }
  const ExtraStreamFacts& ExtraStream(uint32_t index) const override { return extras_[index].facts; }
  size_t ReadExtraStream(uint32_t index, uint64_t offset, void* buffer, size_t size) const override {
    const Extra& extra = extras_[index];
    if (offset >= extra.content.size()) return 0;
    const size_t count = std::min({size, extra.chunk, extra.content.size() - static_cast<size_t>(offset)});
    std::memcpy(buffer, extra.content.data() + offset, count);
    return count;
  }

 private:
  struct Region {
    uint64_t address;
    std::string bytes;
  };
  struct Extra {
    ExtraStreamFacts facts;
    std::string content;
    size_t chunk;
  };
  SystemFacts system_{};
  ExceptionFacts exception_{};
  std::deque<ThreadFacts> threads_;
  std::deque<ModuleFacts> modules_;
  std::deque<std::string> strings_;
  std::vector<Region> memory_;
  std::vector<Extra> extras_;
};

// The dump's bytes in a buffer of fixed capacity; a write beyond it fails.
// With fail_at set, that write (counting from 1) and every later one fail.
class BufferOutput : public DumpOutput {
 public:
  explicit BufferOutput(size_t capacity = 8 << 20) : buffer_(capacity, '\0') {}
  bool WriteAt(uint64_t offset, const void* data, size_t size) override {
    ++writes_;
    if (fail_at_ != 0 && writes_ >= fail_at_) return false;
    if (offset > buffer_.size() || size > buffer_.size() - offset) return false;
    std::memcpy(&buffer_[offset], data, size);
    end_ = std::max<uint64_t>(end_, offset + size);
    return true;
  }
  void FailAt(int write) { fail_at_ = write; }
  int writes() const { return writes_; }
  // The file as written so far.
  std::string File() const { return buffer_.substr(0, end_); }

 private:
  std::string buffer_;
  uint64_t end_ = 0;
  int writes_ = 0;
  int fail_at_ = 0;
};

}  // namespace vextra_test
