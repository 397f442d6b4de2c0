#include "log/native_log_ring.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include "core/common_info.h"
#include "log/sdk_log.h"
#include "log/owner_lock.h"
#include "log/time_stamp.h"

namespace Vextra {

// --- CircularQueue ----------------------------------------------------------

CircularQueue::CircularQueue(uint32_t capacity)
    : capacity_(capacity), buffer_(capacity != 0 ? new (std::nothrow) char[capacity]() : nullptr) {}

CircularQueue::~CircularQueue() { delete[] buffer_; }

void CircularQueue::Write(const char* bytes, uint32_t length) {
  if (buffer_ == nullptr || bytes == nullptr || length == 0 || length > capacity_) return;
  // Byte-for-byte the same as storing each byte and advancing, in two copies.
  uint32_t first = std::min(length, capacity_ - position_);
  std::memcpy(buffer_ + position_, bytes, first);
  std::memcpy(buffer_, bytes + first, length - first);
  position_ = (position_ + length) % capacity_;
}

int32_t CircularQueue::Find(const char* pattern, uint32_t length) const {
  if (buffer_ == nullptr || pattern == nullptr || length == 0 || length > capacity_) return -1;
  auto matches_at = [&](uint32_t index) {
    for (uint32_t j = 1; j < length; ++j) {
      if (buffer_[(index + j) % capacity_] != pattern[j]) return false;
    }
    return true;
  };
  // Candidates in circular order: [position, capacity), then [0, position).
  const uint32_t segments[2][2] = {{position_, capacity_}, {0, position_}};
  for (const auto& segment : segments) {
    uint32_t from = segment[0];
    while (from < segment[1]) {
      const void* hit = std::memchr(buffer_ + from, pattern[0], segment[1] - from);
      if (hit == nullptr) break;
      uint32_t index = static_cast<uint32_t>(static_cast<const char*>(hit) - buffer_);
      if (matches_at(index)) return static_cast<int32_t>(index);
      from = index + 1;
    }
  }
  return -1;
}

uint32_t CircularQueue::Read(char* destination, uint32_t start, uint32_t end) const {
  if (buffer_ == nullptr || destination == nullptr || start >= capacity_) return 0;
  // The count a byte-by-byte copy reaches: up to end, at most capacity - 1, at least 1.
  uint32_t count = capacity_ - 1;
  if (end < capacity_ && end != start) count = std::min(count, (end + capacity_ - start) % capacity_);
  count = std::max<uint32_t>(count, 1);
  uint32_t first = std::min(count, capacity_ - start);
  std::memcpy(destination, buffer_ + start, first);
  std::memcpy(destination + first, buffer_, count - first);
  return count;
}

// --- Levels -----------------------------------------------------------------

int32_t ClampNativeLogLevel(int32_t level) {
  return std::min(std::max(level, kNativeLogMinLevel), kNativeLogMaxLevel);
}

const char* NativeLogLevelName(int32_t level) {
  static const char* const kNames[] = {"V", "D", "I", "W", "A", "E", "Ex"};
  return kNames[ClampNativeLogLevel(level)];
}

namespace {

// --- The process's ring -------------------------------------------------------

struct NativeLog {
  OwnerLock lock;
  // Created once, never freed. Read without the lock to test for existence;
  // every Write, Find and Read of the ring happens under the lock.
  std::atomic<CircularQueue*> ring{nullptr};
};

NativeLog g_native_log;  // constant-initialised: usable from any static constructor

// --- Record text ------------------------------------------------------------------

constexpr size_t kTimeTextBytes = 16;  // "MM-DD hh:mm:ss" and its terminator

// The strftime "%m-%d %H:%M:%S" text of a local time, without strftime's
// checks on the fields (an unconvertible time must not stop the process).
void FormatTimeText(std::time_t now, char (&out)[kTimeTextBytes]) {
  std::tm local{};
  LocalCalendarTime(now, &local);
  auto two_digits = [](int value) { return static_cast<unsigned>(value) % 100u; };
  std::snprintf(out, kTimeTextBytes, "%02u-%02u %02u:%02u:%02u", two_digits(local.tm_mon + 1),
                two_digits(local.tm_mday), two_digits(local.tm_hour), two_digits(local.tm_min),
                two_digits(local.tm_sec));
}

// The time text of the current second, shared by all threads without a lock:
// a sequence counter, odd while one writer updates, guards atomic words, so a
// record costs a local-time conversion only once per second.
class TimeTextCache {
 public:
  void Get(std::time_t now, char (&out)[kTimeTextBytes]) {
    uint32_t before = sequence_.load(std::memory_order_acquire);
    if ((before & 1) == 0 && second_.load(std::memory_order_relaxed) == static_cast<int64_t>(now)) {
      uint64_t words[2] = {words_[0].load(std::memory_order_relaxed), words_[1].load(std::memory_order_relaxed)};
      std::atomic_thread_fence(std::memory_order_acquire);
      if (sequence_.load(std::memory_order_relaxed) == before) {
        std::memcpy(out, words, kTimeTextBytes);
        return;
      }
    }
    FormatTimeText(now, out);
    if ((before & 1) == 0 && sequence_.compare_exchange_strong(before, before + 1, std::memory_order_relaxed)) {
      std::atomic_thread_fence(std::memory_order_release);
      uint64_t words[2];
      std::memcpy(words, out, kTimeTextBytes);
      second_.store(static_cast<int64_t>(now), std::memory_order_relaxed);
      words_[0].store(words[0], std::memory_order_relaxed);
      words_[1].store(words[1], std::memory_order_relaxed);
      sequence_.store(before + 2, std::memory_order_release);
    }
  }

 private:
  static_assert(kTimeTextBytes == 2 * sizeof(uint64_t), "the text fills two words");
  std::atomic<uint32_t> sequence_{0};
  std::atomic<int64_t> second_{-1};
  std::atomic<uint64_t> words_[2] = {};
};

TimeTextCache g_time_text;

// Builds a record in a caller's buffer of kNativeLogCapacity bytes, cut (and
// kept terminated) at kNativeLogCapacity - 1 bytes, like snprintf would, while
// counting the length the whole record has.
class RecordText {
 public:
  explicit RecordText(char (&buffer)[kNativeLogCapacity]) : data_(buffer) { data_[0] = '\0'; }

  void Add(const char* text) {
    size_t room = kLimit - used_;
    const void* end = std::memchr(text, '\0', room);
    size_t n = end != nullptr ? static_cast<size_t>(static_cast<const char*>(end) - text) : room;
    std::memcpy(data_ + used_, text, n);
    used_ += n;
    data_[used_] = '\0';
    full_ += end != nullptr ? n : n + std::strlen(text + n);
  }
  // "<time> <level name> <tag> ", the part before the message.
  void AddPrefix(const char* level_name, const char* tag) {
    char time_text[kTimeTextBytes];
    g_time_text.Get(WallClockSeconds(), time_text);
    Add(time_text);
    Add(" ");
    Add(level_name);
    Add(" ");
    Add(tag);
    Add(" ");
  }

  char* end() { return data_ + used_; }
  size_t room() const { return kLimit - used_ + 1; }  // bytes left, terminator included
  void Grow(size_t n) {
    used_ += std::min(n, kLimit - used_);
    full_ += n;
  }
  const char* data() const { return data_; }
  uint32_t size() const { return static_cast<uint32_t>(used_); }
  // The length of the whole record, also when the buffer holds it cut.
  size_t full_size() const { return full_; }

 private:
  static constexpr size_t kLimit = kNativeLogCapacity - 1;
  char* data_;
  size_t used_ = 0;
  size_t full_ = 0;
};

// How long an append waits for the ring's lock, and how long a read for a
// report does. A holder keeps the lock only to copy bytes, so only a holder
// that died or stopped (a thread that faulted inside an append) makes a wait
// run out; the record, or the read-out, is then given up.
constexpr uint32_t kAppendWaitMs = 1000;
constexpr uint32_t kReadWaitMs = 200;

// Copies one record and a separator into the ring, creating it when absent.
bool StoreRecord(const RecordText& record) {
  CircularQueue* ring = g_native_log.ring.load(std::memory_order_acquire);
  if (ring == nullptr) {
    LogDebug("Native log has not been initiated.\n");
    InitNativeLog();
    ring = g_native_log.ring.load(std::memory_order_acquire);
    if (ring == nullptr) return false;
  }
  OwnerLockGuard lock(g_native_log.lock, kAppendWaitMs);
  if (!lock.Acquired()) {
    LogDebug("Native log is busy; a record is dropped.\n");
    return false;
  }
  // A record longer than the ring is not stored (storing it would wipe every
  // earlier record), while its separator is. One of exactly the ring's length
  // is kept cut by one byte, since the buffer holds its terminator there.
  if (record.full_size() <= ring->Capacity()) ring->Write(record.data(), record.size());
  ring->Write(&NATIVE_LOG_SEPARATOR, 1);
  return true;
}

bool BelowThreshold(int32_t effective_level) { return effective_level < CommonInfo::Instance().GetLogLevel(); }

bool PrintFormatted(int32_t level, const char* tag, const char* format, ...) {
  va_list args;
  va_start(args, format);
  bool stored = VPrintNativeLog(level, tag, format, args);
  va_end(args);
  return stored;
}

}  // namespace

// --- Operations ---------------------------------------------------------------

void InitNativeLog() {
  if (g_native_log.ring.load(std::memory_order_acquire) != nullptr) return;
  LogDebug("Initiate native log.\n");
  OwnerLockGuard lock(g_native_log.lock, kAppendWaitMs);
  if (!lock.Acquired()) return;
  if (g_native_log.ring.load(std::memory_order_relaxed) != nullptr) return;
  CircularQueue* ring = new (std::nothrow) CircularQueue(kNativeLogCapacity);
  if (ring == nullptr) return;
  if (!ring->Valid()) {
    delete ring;
    return;
  }
  ring->Write(&NATIVE_LOG_SEPARATOR, 1);
  g_native_log.ring.store(ring, std::memory_order_release);
}

bool AppendNativeLog(const char* level_name, const char* tag, const char* message) {
  if (level_name == nullptr || tag == nullptr || message == nullptr) return false;
  char buffer[kNativeLogCapacity];
  RecordText record(buffer);
  record.AddPrefix(level_name, tag);
  record.Add(message);
  return StoreRecord(record);
}

bool VPrintNativeLog(int32_t level, const char* tag, const char* format, va_list args) {
  int32_t effective = ClampNativeLogLevel(level);
  if (BelowThreshold(effective)) return true;
  if (tag == nullptr || format == nullptr) return false;
  char buffer[kNativeLogCapacity];
  RecordText record(buffer);
  record.AddPrefix(NativeLogLevelName(effective), tag);
  // The message is formatted in place after the prefix, with the 4,095 limit.
  char* message = record.end();
  size_t limit = std::min<size_t>(kNativeLogMessageBytes - 1, record.room());
  int written = std::vsnprintf(message, limit, format, args);
  if (written < 0) {
    *message = '\0';
    LogDebug("Failed to construct record of native log.\n");
    return false;
  }
  // A "%c" of a zero byte ends the message there, as it ends any C text; a zero
  // byte stored in the ring would end the read-out text and hide newer records.
  record.Grow(std::strlen(message));
  LogDebug("print log info is %d %s %s \n", effective, tag, message);
  return StoreRecord(record);
}

bool PrintNativeLogMessage(int32_t level, const char* tag, const char* message) {
  if (message == nullptr) return BelowThreshold(ClampNativeLogLevel(level));
  return PrintFormatted(level, tag, "%s", message);
}

bool ReadNativeLog(char* buffer, uint32_t size) {
  CircularQueue* ring = g_native_log.ring.load(std::memory_order_acquire);
  if (ring == nullptr) {
    LogDebug("Native log has not been initiated.\n");
    return false;
  }
  if (buffer == nullptr) return false;
  if (size < ring->Capacity()) {
    LogAlways("Buffer is not enough to save whole native log.\n");
    return false;
  }
  int32_t separator = -1;
  uint32_t copied = 0;
  {
    OwnerLockGuard lock(g_native_log.lock, kReadWaitMs);
    if (!lock.Acquired()) {
      buffer[0] = '\0';
      LogAlways("Native log is busy; it is left out.\n");
      return false;
    }
    uint32_t position = ring->Position();
    separator = ring->Find(&NATIVE_LOG_SEPARATOR, 1);
    if (separator >= 0) {
      copied = ring->Read(buffer, (static_cast<uint32_t>(separator) + 1) % ring->Capacity(), position);
      buffer[copied] = '\0';
    }
  }
  if (separator < 0) {
    LogAlways("Failed to locate NATIVE_LOG_SEPARATOR. The cache of native log may be corrupted.\n");
    return false;
  }
  if (copied == 0) {
    LogAlways("Failed to read circular queue.\n");
    return false;
  }
  LogDebug("Length of native log: %d byte.\n", static_cast<int>(copied));
  return true;
}

}  // namespace Vextra

namespace Vextra::testing_hooks {
void ResetNativeLogForTesting() {
  OwnerLockGuard lock(g_native_log.lock);
  delete g_native_log.ring.exchange(nullptr);
}
void HoldNativeLogLockForTesting(const std::function<void()>& body) {
  OwnerLockGuard lock(g_native_log.lock);
  body();
}
}  // namespace Vextra::testing_hooks
