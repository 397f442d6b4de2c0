#include <pthread.h>

#include <cstring>

#include "intake/thread_name.h"

namespace Vextra {

void SetThreadName(const char* name) {
  // Linux keeps 15 bytes and a terminator; a longer name is refused whole.
  char cut[16] = {};
  std::strncpy(cut, name, sizeof(cut) - 1);
  pthread_setname_np(pthread_self(), cut);
}

std::string CurrentThreadName() {
  char name[16] = {};
  if (pthread_getname_np(pthread_self(), name, sizeof(name)) != 0) return "";
  return name;
}

}  // namespace Vextra
