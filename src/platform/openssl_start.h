#pragma once
// Starts OpenSSL for the library with its exit-time clean-up turned off.
//
// OpenSSL frees its global locks and tables from an exit handler. The
// library's detached threads (the access-information request, the report
// threads) may still be inside a TLS handshake or a digest while the process
// exits, and would then use freed locks and crash the exiting host. Starting
// OpenSSL without that handler leaves its state in place until the process is
// gone; the first start in the process decides, so every use in the library
// calls this first.

namespace Vextra::platform {

// Cheap after the first call; safe from any thread.
void StartOpenSsl();

}  // namespace Vextra::platform
