#pragma once
// The process-wide store of user key/value pairs; its dump travels with every
// crash and error report.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "core/base_singleton.h"

namespace Vextra {

class MapRecorder : public BaseSingleton<MapRecorder> {
 public:
  // A dump stops before the pair that brings its running total (key length +
  // value length + 1 per pair) to this many bytes.
  static constexpr size_t kDumpBound = 0x20000;

  MapRecorder();
  ~MapRecorder() override;

  // Stores copies of key and value in front of the list, replacing the pair
  // with the same key in the same step. Null key or value: ignored. Any
  // thread, the CRT error handlers included: takes the mutex, and copies the
  // pair and frees a replaced one outside it (only the first call allocates
  // the list header under it). Never throws; a failed allocation drops the pair.
  void Set(const char* key, const char* value);

  // Removes the newest pair whose key equals key byte for byte; when buffer is
  // given and size is above 0, copies its value there ("%s", cut to size and
  // terminated). Returns 1 when a pair was removed, 0 otherwise.
  int Remove(const char* key, char* buffer = nullptr, size_t size = 0);

  // Appends "key=value\n" lines, newest pair first, to buffer (zeroed by the
  // caller), stopping at the kDumpBound total and before a line that would not
  // fit size bytes with a terminator. False, writing nothing, when nothing was
  // ever set; true otherwise. Holds the mutex for the whole copy.
  bool Dump(char* buffer, size_t size);

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

  std::mutex mutex_;
  std::unique_ptr<Header> header_;  // guarded by mutex_
};

}  // namespace Vextra
