#pragma once

namespace Vextra {

// Base of the library's process-wide singletons. Each lives in a function-local
// static created on first use (thread-safe) and is destroyed at process exit in
// reverse order of creation.
template <typename T>
class BaseSingleton {
 public:
  static T& Instance() {
    static T instance;
    return instance;
  }
  virtual ~BaseSingleton() = default;

  BaseSingleton(const BaseSingleton&) = delete;
  BaseSingleton& operator=(const BaseSingleton&) = delete;

 protected:
  BaseSingleton() = default;
};

}  // namespace Vextra
