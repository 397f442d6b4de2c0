#pragma once
// The identity of an executable, library or separate debug file, read from
// the file's own bytes without trusting them: every size and offset is
// checked against the file before it is followed. The identity is the key a
// minidump's module list carries (see Vextra::minidump::DumpModule::debug_id).

#include <cstdint>
#include <string>
#include <string_view>

namespace collector {

enum class ModuleFormat { kUnknown, kPe, kElf };

struct ModuleIdentity {
  ModuleFormat format = ModuleFormat::kUnknown;
  // PE: the CodeView GUID and age in uppercase hex; ELF: the build id in
  // lowercase hex. Empty when the file carries none.
  std::string debug_id;
  std::string pdb_name;   // PE: the file name the CodeView record gives
  // PE: the code id (Vextra::minidump::PeCodeId of the file header's
  // TimeDateStamp and the optional header's SizeOfImage): what a dump's module
  // entry still carries when its writer left the CodeView record out.
  std::string code_id;
  uint16_t machine = 0;   // PE: COFF machine; ELF: e_machine
  uint64_t image_base = 0;        // PE: the optional header's ImageBase
  uint64_t first_load_vaddr = 0;  // ELF: p_vaddr of the first PT_LOAD
  bool has_debuglink = false;
  std::string debuglink_name;     // the separate debug file's name
  uint32_t debuglink_crc = 0;     // CRC-32 of that file's bytes
  bool has_debug_info = false;    // a .debug_info section with bytes
  bool has_eh_frame = false;      // an .eh_frame section with bytes
  // No code bytes: a file made by `objcopy --only-keep-debug`, which keeps
  // the headers, the identity and the debug sections. Otherwise an image.
  bool debug_only = false;
};

// Reads the identity from a file's bytes. Returns false with a reason in
// *error when the bytes are not a PE or ELF file or do not hold together.
bool ParseModuleIdentity(std::string_view bytes, ModuleIdentity* identity, std::string* error);

// Reads the whole file and parses it; the reason names no path.
bool ReadModuleIdentity(const std::string& path, ModuleIdentity* identity, std::string* error);

// Only what the headers at the start of the file say: the format, machine,
// PE image base and ELF first loadable segment (cheap for large debug files).
bool ReadModuleHeaders(const std::string& path, ModuleIdentity* identity, std::string* error);

// The whole file's bytes; false with a reason when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string* bytes, std::string* error);

// CRC-32 as `.gnu_debuglink` records it (the zlib polynomial).
uint32_t DebugLinkCrc(std::string_view bytes);

}  // namespace collector
