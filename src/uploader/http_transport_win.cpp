#include "uploader/http_transport.h"

namespace Vextra {

// Windows raises no signal for a write to a closed connection.
void RunWithoutBrokenPipeSignal(const std::function<void()>& body) { body(); }

}  // namespace Vextra
