#pragma once
// Plain readers of what the Linux capture finds in memory: lines of
// /proc/self/maps, the grouping of mappings into loaded modules, and the
// build-id note of an ELF image. Nothing here reads a file or allocates:
// callers hand in the bytes, so a faulting thread can use them.

#include <cstddef>
#include <cstdint>

namespace Vextra {

// One line of /proc/self/maps: "start-end perms offset dev inode path".
struct MapsEntry {
  uint64_t start = 0;
  uint64_t end = 0;
  bool readable = false;
  bool writable = false;
  bool executable = false;
  uint64_t offset = 0;
  uint64_t inode = 0;
  const char* path = nullptr;  // points into the line; not terminated
  size_t path_length = 0;      // 0 for an anonymous mapping
};

// Parses one line (without its line break). False for a line that does not
// have the form above.
// crash path: allocates nothing.
bool ParseMapsLine(const char* line, size_t length, MapsEntry* out);

// Whether a mapping belongs to a loaded file or the kernel's vDSO (anonymous
// mappings, the heap, the stacks and deleted files do not).
// crash path: allocates nothing.
bool IsModuleMapping(const MapsEntry& entry);

// Hands complete lines out of a stream read in chunks into a caller's buffer;
// a line longer than the buffer is dropped whole.
// crash path: allocates nothing.
class LineSplitter {
 public:
  LineSplitter(char* buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {}
  // Where the next chunk goes and how much room there is (0: the line in
  // hand is too long and is being skipped into the same room).
  char* FreeSpace() { return buffer_ + used_; }
  size_t FreeBytes() const { return capacity_ - used_; }
  // Takes count bytes just written at FreeSpace() and calls line(text,
  // length, context) for every complete line; a final call with count 0
  // (end of stream) hands out the unterminated rest.
  void Feed(size_t count, void (*line)(const char*, size_t, void*), void* context);

 private:
  char* buffer_;
  size_t capacity_;
  size_t used_ = 0;
  bool skipping_ = false;
};

// Reads memory of this process; the number of bytes copied (short or 0 at
// an unreadable page).
using MemoryReader = size_t (*)(uint64_t address, void* buffer, size_t size, void* context);

constexpr size_t kMaxBuildIdBytes = 64;

// Reads the GNU build id of the ELF image loaded at base: the ELF header,
// its program headers, and the notes of each PT_NOTE segment (at base plus
// the segment's address, less the first PT_LOAD's, for a shared object or
// a position-independent executable). Returns the id's length (0: none).
// crash path: reads through read, allocates nothing.
size_t ReadElfBuildId(uint64_t base, MemoryReader read, void* context, uint8_t (&out)[kMaxBuildIdBytes]);

// Finds the NT_GNU_BUILD_ID note among notes laid out in bytes; its
// descriptor's length, 0 when there is none or the notes are malformed.
// crash path: allocates nothing.
size_t FindBuildIdNote(const uint8_t* notes, size_t size, uint8_t (&out)[kMaxBuildIdBytes]);

}  // namespace Vextra
