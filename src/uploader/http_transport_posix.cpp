#include <pthread.h>
#include <signal.h>

#include <ctime>

#include "uploader/http_transport.h"

namespace Vextra {

void StartNetworking() {}

// TLS writes go through write(), which raises SIGPIPE on a closed connection.
// The signal is blocked on this thread for the call; one raised meanwhile is
// taken off the thread's pending set before the old mask returns, unless it
// was pending before the call and so is not ours.
void RunWithoutBrokenPipeSignal(const std::function<void()>& body) {
  sigset_t pipeOnly;
  sigemptyset(&pipeOnly);
  sigaddset(&pipeOnly, SIGPIPE);
  sigset_t pending;
  sigemptyset(&pending);
  sigpending(&pending);
  const bool pendingBefore = sigismember(&pending, SIGPIPE) == 1;
  sigset_t oldMask;
  pthread_sigmask(SIG_BLOCK, &pipeOnly, &oldMask);

  struct Restore {
    const sigset_t& pipeOnly;
    const sigset_t& oldMask;
    bool pendingBefore;
    ~Restore() {
      if (!pendingBefore) {
        sigset_t now;
        sigemptyset(&now);
        sigpending(&now);
        if (sigismember(&now, SIGPIPE) == 1) {
          const timespec noWait{0, 0};
          sigtimedwait(&pipeOnly, nullptr, &noWait);
        }
      }
      pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
    }
  } restore{pipeOnly, oldMask, pendingBefore};
  body();
}

}  // namespace Vextra
