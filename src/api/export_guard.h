#pragma once
// Every export runs its body through Guarded, so no C++ exception ever crosses
// the C boundary: a failure becomes the export's failure result.

#include <utility>

namespace Vextra {

template <typename Result, typename Body>
Result Guarded(Result on_failure, Body&& body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (...) {
    return on_failure;
  }
}

template <typename Body>
void Guarded(Body&& body) noexcept {
  try {
    std::forward<Body>(body)();
  } catch (...) {
  }
}

// A host's one-byte bool: 0 is false, any other byte true. Hosts written in
// other languages pass bytes such as 2 or 0xFF, which the compiler would take
// as a bool of 0 or 1 unchanged, so the byte is read through a volatile view.
inline bool HostBool(const bool& value) noexcept {
  return *reinterpret_cast<const volatile unsigned char*>(&value) != 0;
}

}  // namespace Vextra
