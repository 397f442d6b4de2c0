#pragma once
// The process-wide store of user key/value pairs; its dump travels with every
// crash and error report.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "core/base_singleton.h"
#include "log/owner_lock.h"

namespace Vextra {

class MapRecorder : public BaseSingleton<MapRecorder> {
 public:
  // A dump stops before the pair that brings its running total (key length +
  // value length + 1 per pair) to this many bytes.
  static constexpr size_t kDumpBound = 0x20000;
  // How long Set and Remove wait for the lock before they give up, and how
  // long Dump does. The lock is held only to link, unlink or copy, so only a
  // holder that died or stopped makes a wait run out.
  static constexpr uint32_t kUpdateWaitMs = 1000;
  static constexpr uint32_t kDumpWaitMs = 200;

  MapRecorder();
  // Frees every pair. Only for instances of its own (tests): the process's
  // store is never destroyed.
  ~MapRecorder() override;

  // The process's store. Never destroyed: a C runtime handler or a report
  // thread may still read or set pairs while the process exits.
  static MapRecorder& Instance();

  // Stores copies of key and value in front of the list, replacing the pair
  // with the same key in the same step. Null key or value: ignored. Any
  // thread, the CRT error handlers included: copies the pair and frees a
  // replaced one outside the lock (only the first call allocates the list
  // header under it), waits for the lock at most kUpdateWaitMs and drops the
  // pair without it. Never throws; a failed allocation drops the pair.
  void Set(const char* key, const char* value);

  // Removes the newest pair whose key equals key byte for byte; when buffer is
  // given and size is above 0, copies its value there ("%s", cut to size and
  // terminated). Returns 1 when a pair was removed, 0 otherwise (also when the
  // lock stayed taken for kUpdateWaitMs).
  int Remove(const char* key, char* buffer = nullptr, size_t size = 0);

  // Appends "key=value\n" lines, newest pair first, to buffer (zeroed by the
  // caller), stopping at the kDumpBound total and before a line that would not
  // fit size bytes with a terminator. False, writing nothing, when nothing was
  // ever set; true otherwise. Holds the lock for the whole copy; when another
  // thread keeps it past kDumpWaitMs, or the caller itself holds it (a fault
  // inside Set), the buffer is left empty and the result is false.
  // crash path: waits for its lock at most kDumpWaitMs, allocates nothing.
  bool Dump(char* buffer, size_t size);

  // Tests only: runs body while the calling thread holds the store's lock.
  template <typename Body>
  void HoldLockForTesting(Body&& body) {
    OwnerLockGuard lock(lock_);
    body();
  }

 private:
  struct Node {
    std::string key;
    std::string value;
    Node* next = nullptr;
  };
  // Allocated on the first Set; its absence means nothing was ever set.
  struct Header {
    int32_t count = 0;
    Node* first = nullptr;
  };

  // Unlinks the first node with key; the caller frees it outside the lock.
  Node* UnlinkLocked(const char* key);

  OwnerLock lock_;
  std::unique_ptr<Header> header_;  // guarded by lock_
};

}  // namespace Vextra
