#include "report/map_recorder.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace Vextra {

MapRecorder::MapRecorder() = default;

MapRecorder::~MapRecorder() {
  if (!header_) return;
  for (Node* node = header_->first; node != nullptr;) {
    Node* next = node->next;
    delete node;
    node = next;
  }
  header_.reset();
}

MapRecorder& MapRecorder::Instance() {
  static MapRecorder* const recorder = new MapRecorder();
  return *recorder;
}

MapRecorder::Node* MapRecorder::UnlinkLocked(const char* key) {
  for (Node** link = &header_->first; *link != nullptr; link = &(*link)->next) {
    Node* node = *link;
    if (node->key == key) {
      *link = node->next;
      --header_->count;
      return node;
    }
  }
  return nullptr;
}

void MapRecorder::Set(const char* key, const char* value) {
  if (key == nullptr || value == nullptr) return;
  // Copies are made, and the replaced pair freed, outside the lock.
  std::unique_ptr<Node> node;
  try {
    node.reset(new Node{key, value, nullptr});
  } catch (...) {
    return;  // out of memory: the pair is dropped
  }
  std::unique_ptr<Node> replaced;
  OwnerLockGuard lock(lock_, kUpdateWaitMs);
  if (!lock.Acquired()) return;  // the pair is dropped
  if (!header_) {
    header_.reset(new (std::nothrow) Header());
    if (!header_) return;
  }
  replaced.reset(UnlinkLocked(key));
  node->next = header_->first;
  header_->first = node.release();
  ++header_->count;
}

int MapRecorder::Remove(const char* key, char* buffer, size_t size) {
  if (key == nullptr) return 0;
  Node* removed = nullptr;
  {
    OwnerLockGuard lock(lock_, kUpdateWaitMs);
    if (!lock.Acquired() || !header_) return 0;
    removed = UnlinkLocked(key);
  }
  if (removed == nullptr) return 0;
  if (buffer != nullptr && size > 0) std::snprintf(buffer, size, "%s", removed->value.c_str());
  delete removed;
  return 1;
}

bool MapRecorder::Dump(char* buffer, size_t size) {
  OwnerLockGuard lock(lock_, kDumpWaitMs);
  if (!lock.Acquired()) {
    if (buffer != nullptr && size > 0) buffer[0] = '\0';
    return false;
  }
  if (!header_) return false;
  if (buffer == nullptr || size == 0) return true;
  size_t total = 0;
  size_t written = 0;
  for (const Node* node = header_->first; node != nullptr; node = node->next) {
    total += node->key.size() + node->value.size() + 1;
    if (total >= kDumpBound) break;
    const size_t line = node->key.size() + 1 + node->value.size() + 1;
    if (written + line >= size) break;
    std::memcpy(buffer + written, node->key.data(), node->key.size());
    written += node->key.size();
    buffer[written++] = '=';
    std::memcpy(buffer + written, node->value.data(), node->value.size());
    written += node->value.size();
    buffer[written++] = '\n';
  }
  buffer[written] = '\0';
  return true;
}

}  // namespace Vextra
