#pragma once
// What a thread the library starts does first, so that a crash on it is
// still captured when its stack is exhausted: on Linux it gets an alternate
// signal stack of its own (freed when the thread ends); elsewhere nothing is
// needed. Active once the crash handlers are installed.

namespace Vextra {

// Called at the top of every thread the library starts. Not on the crash path.
void PrepareLibraryThreadForCrashes();

// Installation: what PrepareLibraryThreadForCrashes runs from now on.
void SetLibraryThreadPreparation(void (*prepare)());

}  // namespace Vextra
