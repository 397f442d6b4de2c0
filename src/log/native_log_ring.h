#pragma once
// The native log: the host's own log lines, kept in a fixed in-memory ring of
// 30,720 bytes whose complete records travel with every report.

#include <cstdarg>
#include <cstdint>
#include <functional>

namespace Vextra {

constexpr uint32_t kNativeLogCapacity = 30720;
// Written when the ring is created and after every record.
constexpr char NATIVE_LOG_SEPARATOR = '\n';
// A host message is formatted into this many bytes with one less as the limit,
// so at most 4,094 characters survive.
constexpr uint32_t kNativeLogMessageBytes = 4096;
constexpr int32_t kNativeLogMinLevel = 0;
constexpr int32_t kNativeLogMaxLevel = 6;

// A byte ring: the next byte goes at Position(), which wraps to 0 at the
// capacity; the oldest bytes are overwritten. Not synchronised: the native
// log's lock guards every call.
class CircularQueue {
 public:
  // A zero-filled buffer of capacity bytes; Valid() is false when memory could
  // not be obtained (nothing is thrown).
  explicit CircularQueue(uint32_t capacity);
  ~CircularQueue();
  CircularQueue(const CircularQueue&) = delete;
  CircularQueue& operator=(const CircularQueue&) = delete;

  bool Valid() const { return buffer_ != nullptr; }
  uint32_t Capacity() const { return capacity_; }
  uint32_t Position() const { return position_; }

  // Stores the bytes at the position. Does nothing for absent bytes, a zero
  // length or a length above the capacity.
  void Write(const char* bytes, uint32_t length);
  // Index of the first circular match of the pattern at or after the position,
  // searching the whole ring once; -1 when there is none.
  int32_t Find(const char* pattern, uint32_t length) const;
  // Copies from start onward (wrapping) until the index reaches end or
  // capacity - 1 bytes are copied; at least one byte is copied. destination
  // must hold capacity - 1 bytes. Returns the count, or 0 on bad arguments.
  uint32_t Read(char* destination, uint32_t start, uint32_t end) const;

 private:
  const uint32_t capacity_;
  char* buffer_;
  uint32_t position_ = 0;
};

// The level clamped into 0..6.
int32_t ClampNativeLogLevel(int32_t level);
// "V", "D", "I", "W", "A", "E" or "Ex" for the clamped level.
const char* NativeLogLevelName(int32_t level);

// Creates the process's ring (zero-filled, holding one separator) unless it
// exists. Safe from any thread; a failed allocation leaves it absent.
void InitNativeLog();

// Appends "<MM-DD hh:mm:ss> <level name> <tag> <message>" and a separator,
// creating the ring when absent. A record longer than the capacity is not
// stored, its separator is; one of exactly the capacity is cut by its last
// byte. False for a null text, when the ring cannot be made, or when the lock
// stayed taken (see ReadNativeLog). Any thread; allocates nothing, formats on
// the stack and holds the ring's lock only to copy bytes.
// crash path: waits for the lock at most 1 s, allocates nothing once the ring exists.
bool AppendNativeLog(const char* level_name, const char* tag, const char* message);

// Fills buffer with the ring's complete records, oldest first, as a terminated
// text. False when the ring does not exist, the buffer is absent or size is
// below the capacity. A lock kept by another thread (one that faulted inside
// an append) or by the caller itself leaves the buffer empty, writes an
// always-written SDK log line and returns false.
// crash path: waits for the lock at most 200 ms, allocates nothing.
bool ReadNativeLog(char* buffer, uint32_t size);

// The PrintLog path: clamps the level, returns true without storing when it is
// below the logLevel setting, formats the message (at most 4,094 characters),
// writes the debug line and appends. False for a null tag or format.
bool VPrintNativeLog(int32_t level, const char* tag, const char* format, va_list args);
// The same with a message used verbatim, not read as a format.
bool PrintNativeLogMessage(int32_t level, const char* tag, const char* message);

}  // namespace Vextra

namespace Vextra::testing_hooks {
// Tests only: frees the ring so the next append creates a fresh one. No other
// thread may use the native log meanwhile.
void ResetNativeLogForTesting();
// Tests only: runs body while the calling thread holds the ring's lock.
void HoldNativeLogLockForTesting(const std::function<void()>& body);
}  // namespace Vextra::testing_hooks
