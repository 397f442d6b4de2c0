#pragma once
// What a crash signal hands the library on Linux, in the place the crash
// entries keep for the platform's exception pointers: the signal, what the
// kernel says of it and the interrupted context. Only POSIX files include it.

#include <signal.h>
#include <ucontext.h>

#include <cstdint>

struct _EXCEPTION_POINTERS {
  int signal;
  siginfo_t* info;
  ucontext_t* context;
  // The decisions' exception code for the signal (CrashCodeOfSignal).
  uint32_t code;
  // The thread the signal was delivered to.
  uint32_t thread_id;
};
