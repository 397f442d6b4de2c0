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

}  // namespace Vextra
