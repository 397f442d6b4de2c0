#pragma once
// Stopping the other threads of this process for a dump, from inside it:
// the crashing thread sends each thread listed in /proc/self/task a
// dedicated real-time signal; that signal's handler copies the thread's
// registers into a slot reserved beforehand, says so, and waits until the
// dump is written. No second process is needed (no ptrace permission, which
// Yama or a container may deny), nothing of the crashed heap is used, and
// the wait for answers is bounded.

#include <ucontext.h>

#include <cstdint>

#include "minidump/process_snapshot.h"

namespace Vextra {

// How many threads a dump lists at most, the crashing one included.
constexpr uint32_t kMaxDumpThreads = 1024;
// How long the crashing thread waits for every other thread to answer.
constexpr uint32_t kThreadAnswerWaitMs = 1000;
// How long a stopped thread waits to be let go before it goes on by itself.
constexpr uint32_t kStoppedThreadMaxWaitMs = 120000;

// Installs the stop signal's handler (SA_SIGINFO | SA_ONSTACK, every signal
// blocked while it runs); the previous action is kept for RemoveThreadStopHandler.
// Installation only (a host thread).
bool InstallThreadStopHandler();
void RemoveThreadStopHandler();
// The real-time signal used, 0 before installation.
int ThreadStopSignal();

// Lists every thread of the process except self and stops each: threads[i]
// gets its id and, for a thread that answered within wait_ms, its registers
// (registers_known); a thread that did not answer keeps its id only. Stack
// bounds are left 0 for the caller. Returns how many entries were filled (at
// most capacity). Every thread stopped here waits until ResumeStoppedThreads.
// crash path: raw system calls into reserved slots, waits boundedly, allocates nothing.
uint32_t StopOtherThreads(uint32_t self, minidump::ThreadFacts* threads, uint32_t capacity, uint32_t wait_ms);

// Lets every thread that StopOtherThreads stopped go on.
// crash path: one atomic increment and a futex wake.
void ResumeStoppedThreads();

// The registers of a signal's interrupted context (general registers and,
// when the kernel saved it, the FXSAVE area).
// crash path: copies, allocates nothing.
void RegistersFromContext(const ucontext_t& context, minidump::Amd64Registers* out);

}  // namespace Vextra
