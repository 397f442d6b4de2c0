#include "minidump/minidump_reader.h"

#include <algorithm>
#include <cstring>

#include "minidump/minidump_format.h"
#include "minidump/identity_text.h"

namespace Vextra::minidump {
namespace {

void AppendUtf8(uint32_t code, std::string* out) {
  if (code < 0x80) {
    *out += static_cast<char>(code);
  } else if (code < 0x800) {
    *out += static_cast<char>(0xC0 | (code >> 6));
    *out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    *out += static_cast<char>(0xE0 | (code >> 12));
    *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (code >> 18));
    *out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

class Parser {
 public:
  Parser(const std::string& file, MinidumpContents* out) : file_(file), out_(*out) {}

  void Run() {
    MinidumpHeader header;
    if (!Fetch(0, &header)) {
      Problem("the file is too short for a minidump header (" + std::to_string(file_.size()) + " bytes)");
      return;
    }
    if (header.signature != kMinidumpSignature) {
      Problem("the file does not start with the MDMP signature");
      return;
    }
    if ((header.version & 0xFFFF) != kMinidumpVersion) Problem("unknown format version " + HexNumber(header.version & 0xFFFF));
    out_.stream_count = header.number_of_streams;
    if (!Inside(header.stream_directory_rva, uint64_t{header.number_of_streams} * sizeof(DirectoryEntry))) {
      Problem("the stream directory (" + std::to_string(header.number_of_streams) + " entries at " +
              HexNumber(header.stream_directory_rva) + ") lies beyond the end of the file");
      return;
    }
    std::map<uint32_t, int> seen;
    for (uint32_t i = 0; i < header.number_of_streams; ++i) {
      DirectoryEntry entry;
      Fetch(header.stream_directory_rva + uint64_t{i} * sizeof(DirectoryEntry), &entry);
      const std::string what = "stream " + std::to_string(i) + " (type " + HexNumber(entry.stream_type) + ")";
      if (entry.stream_type == 0) continue;  // an unused entry
      if (!Inside(entry.location)) {
        Problem(what + " of " + std::to_string(entry.location.data_size) + " bytes at " + HexNumber(entry.location.rva) +
                " lies beyond the end of the file");
        continue;
      }
      if (++seen[entry.stream_type] > 1) {
        Problem(what + " appears more than once");
        continue;
      }
      switch (entry.stream_type) {
        case kSystemInfoStream: SystemStream(entry.location); break;
        case kThreadListStream: ThreadStream(entry.location); break;
        case kModuleListStream: ModuleStream(entry.location); break;
        case kMemoryListStream: MemoryStream(entry.location); break;
        case kExceptionStream: ExceptionStreamAt(entry.location); break;
        default:
          out_.other_streams[entry.stream_type] = file_.substr(entry.location.rva, entry.location.data_size);
      }
    }
    if (!out_.system.present) Problem("there is no system information stream");
    if (seen.count(kThreadListStream) == 0) Problem("there is no thread list stream");
    CheckOverlaps();
  }

 private:
  void Problem(const std::string& text) { out_.problems.push_back(text); }

  bool Inside(uint64_t offset, uint64_t size) const { return offset <= file_.size() && size <= file_.size() - offset; }
  bool Inside(const LocationDescriptor& location) const { return Inside(location.rva, location.data_size); }

  template <typename T>
  bool Fetch(uint64_t offset, T* value) const {
    if (!Inside(offset, sizeof(T))) return false;
    std::memcpy(value, file_.data() + offset, sizeof(T));
    return true;
  }

  // A list stream: a 32-bit count, then count entries (a 4-byte pad after the
  // count is accepted, as some writers align the entries to 8).
  bool ListCount(const LocationDescriptor& location, size_t entry_size, const char* name, uint32_t* count,
                 uint64_t* first) {
    if (location.data_size < 4) {
      Problem(std::string("the ") + name + " stream is too short for its count");
      return false;
    }
    Fetch(location.rva, count);
    const uint64_t entries = uint64_t{*count} * entry_size;
    if (location.data_size == 4 + entries) {
      *first = location.rva + uint64_t{4};
    } else if (location.data_size == 8 + entries) {
      *first = location.rva + uint64_t{8};
    } else {
      Problem(std::string("the ") + name + " stream's size " + std::to_string(location.data_size) +
              " disagrees with its count of " + std::to_string(*count));
      return false;
    }
    return true;
  }

  bool ReadString(uint32_t rva, const std::string& what, std::string* text) {
    uint32_t length = 0;
    if (!Fetch(rva, &length) || !Inside(uint64_t{rva} + 4, length)) {
      Problem(what + " at " + HexNumber(rva) + " lies beyond the end of the file");
      return false;
    }
    if (length % 2 != 0) {
      Problem(what + " has an odd length of " + std::to_string(length) + " bytes");
      return false;
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(file_.data()) + rva + 4;
    text->clear();
    for (uint32_t i = 0; i + 1 < length; i += 2) {
      uint32_t unit = bytes[i] | (bytes[i + 1] << 8);
      if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < length) {
        const uint32_t low = bytes[i + 2] | (bytes[i + 3] << 8);
        if (low >= 0xDC00 && low < 0xE000) {
          unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
          i += 2;
        }
      }
      if (unit >= 0xD800 && unit < 0xE000) unit = 0xFFFD;  // a lone surrogate
      AppendUtf8(unit, text);
    }
    return true;
  }

  // Reads a context record; false (with a problem) when it is not one.
  bool ReadContext(const LocationDescriptor& location, const std::string& what, ContextAmd64* context) {
    if (!Inside(location)) {
      Problem(what + "'s context lies beyond the end of the file");
      return false;
    }
    if (location.data_size < sizeof(ContextAmd64)) {
      Problem(what + "'s context has " + std::to_string(location.data_size) + " bytes, not the " +
              std::to_string(sizeof(ContextAmd64)) + " of an x86-64 context");
      return false;
    }
    std::memcpy(context, file_.data() + location.rva, sizeof(ContextAmd64));
    if ((context->context_flags & kContextAmd64) == 0) {
      Problem(what + "'s context flags " + HexNumber(context->context_flags) + " do not name x86-64");
      return false;
    }
    return true;
  }

  static DumpRegisters Registers(const ContextAmd64& context) {
    DumpRegisters registers;
    const uint64_t values[16] = {context.rax, context.rcx, context.rdx, context.rbx, context.rsp, context.rbp,
                                 context.rsi, context.rdi, context.r8,  context.r9,  context.r10, context.r11,
                                 context.r12, context.r13, context.r14, context.r15};
    std::memcpy(registers.gpr, values, sizeof values);
    registers.rip = context.rip;
    return registers;
  }

  static bool HasRegisters(const ContextAmd64& context) {
    return (context.context_flags & kContextControl) == kContextControl &&
           (context.context_flags & kContextInteger) == kContextInteger;
  }

  void SystemStream(const LocationDescriptor& location) {
    SystemInfo info;
    if (location.data_size < sizeof(info)) {
      Problem("the system information stream has " + std::to_string(location.data_size) + " bytes, fewer than " +
              std::to_string(sizeof(info)));
      return;
    }
    Fetch(location.rva, &info);
    out_.system.present = true;
    out_.system.processor_architecture = info.processor_architecture;
    out_.system.cpu_count = info.number_of_processors;
    out_.system.platform_id = info.platform_id;
    out_.system.major_version = info.major_version;
    out_.system.minor_version = info.minor_version;
    out_.system.build_number = info.build_number;
    if (info.csd_version_rva != 0) ReadString(info.csd_version_rva, "the system's version text", &out_.system.version_text);
  }

  void ThreadStream(const LocationDescriptor& location) {
    uint32_t count = 0;
    uint64_t at = 0;
    if (!ListCount(location, sizeof(ThreadEntry), "thread list", &count, &at)) return;
    for (uint32_t i = 0; i < count; ++i) {
      ThreadEntry entry;
      Fetch(at + uint64_t{i} * sizeof(entry), &entry);
      DumpThread thread;
      thread.thread_id = entry.thread_id;
      thread.teb = entry.teb;
      const std::string what = "thread " + std::to_string(entry.thread_id);
      ContextAmd64 context;
      if (ReadContext(entry.thread_context, what, &context)) {
        thread.context_flags = context.context_flags;
        thread.has_registers = HasRegisters(context);
        thread.rip = context.rip;
        thread.rsp = context.rsp;
        thread.rbp = context.rbp;
        thread.rax = context.rax;
        thread.registers = Registers(context);
      }
      thread.stack_start = entry.stack.start_of_memory_range;
      if (entry.stack.memory.data_size > 0) {
        if (!Inside(entry.stack.memory)) {
          Problem(what + "'s stack of " + std::to_string(entry.stack.memory.data_size) + " bytes at " +
                  HexNumber(entry.stack.memory.rva) + " lies beyond the end of the file");
        } else if (entry.stack.start_of_memory_range + entry.stack.memory.data_size <
                   entry.stack.start_of_memory_range) {
          Problem(what + "'s stack wraps around the end of the address space");
        } else {
          thread.stack_size = entry.stack.memory.data_size;
          thread.stack = file_.substr(entry.stack.memory.rva, entry.stack.memory.data_size);
        }
      }
      out_.threads.push_back(std::move(thread));
    }
  }

  void ModuleStream(const LocationDescriptor& location) {
    uint32_t count = 0;
    uint64_t at = 0;
    if (!ListCount(location, sizeof(ModuleEntry), "module list", &count, &at)) return;
    for (uint32_t i = 0; i < count; ++i) {
      ModuleEntry entry;
      Fetch(at + uint64_t{i} * sizeof(entry), &entry);
      DumpModule module;
      module.base = entry.base_of_image;
      module.size = entry.size_of_image;
      module.file_version_ms = entry.version_info.file_version_ms;
      module.file_version_ls = entry.version_info.file_version_ls;
      module.time_date_stamp = entry.time_date_stamp;
      if (entry.time_date_stamp != 0) module.code_id = PeCodeId(entry.time_date_stamp, entry.size_of_image);
      const std::string what = "module " + std::to_string(i) + " at " + HexNumber(entry.base_of_image);
      ReadString(entry.module_name_rva, what + "'s name", &module.name);
      CodeView(entry.cv_record, what, &module);
      out_.modules.push_back(std::move(module));
    }
  }

  void CodeView(const LocationDescriptor& location, const std::string& what, DumpModule* module) {
    if (location.data_size == 0) return;
    if (!Inside(location)) {
      Problem(what + "'s debug record lies beyond the end of the file");
      return;
    }
    if (location.data_size < 4) {
      Problem(what + "'s debug record is too short for its signature");
      return;
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(file_.data()) + location.rva;
    std::memcpy(&module->codeview_signature, bytes, 4);
    if (module->codeview_signature == kCodeViewElfSignature) {
      module->debug_id = HexBytes(bytes + 4, location.data_size - 4, false);
    } else if (module->codeview_signature == kCodeViewPdb70Signature) {
      CodeViewPdb70Header pdb;
      if (location.data_size < sizeof(pdb) + 1) {
        Problem(what + "'s RSDS record has " + std::to_string(location.data_size) + " bytes, too few for its GUID, age and name");
        return;
      }
      std::memcpy(&pdb, bytes, sizeof(pdb));
      module->debug_id = PdbDebugId(pdb.guid, pdb.age);
      const char* name = reinterpret_cast<const char*>(bytes + sizeof(pdb));
      const size_t room = location.data_size - sizeof(pdb);
      const void* end = std::memchr(name, '\0', room);
      const size_t length = end == nullptr ? room : static_cast<size_t>(static_cast<const char*>(end) - name);
      if (length == room) Problem(what + "'s RSDS record's file name is not terminated");
      module->debug_file.assign(name, length);
    }
  }

  void MemoryStream(const LocationDescriptor& location) {
    uint32_t count = 0;
    uint64_t at = 0;
    if (!ListCount(location, sizeof(MemoryDescriptor), "memory list", &count, &at)) return;
    for (uint32_t i = 0; i < count; ++i) {
      MemoryDescriptor descriptor;
      Fetch(at + uint64_t{i} * sizeof(descriptor), &descriptor);
      const std::string what = "memory range " + std::to_string(i) + " at " + HexNumber(descriptor.start_of_memory_range);
      if (!Inside(descriptor.memory)) {
        Problem(what + " (" + std::to_string(descriptor.memory.data_size) + " bytes at " + HexNumber(descriptor.memory.rva) +
                ") lies beyond the end of the file");
        continue;
      }
      if (descriptor.start_of_memory_range + descriptor.memory.data_size < descriptor.start_of_memory_range) {
        Problem(what + " wraps around the end of the address space");
        continue;
      }
      out_.memory.push_back({descriptor.start_of_memory_range, descriptor.memory.data_size, descriptor.memory.rva});
    }
  }

  void ExceptionStreamAt(const LocationDescriptor& location) {
    ExceptionStream stream;
    if (location.data_size < sizeof(stream)) {
      Problem("the exception stream has " + std::to_string(location.data_size) + " bytes, fewer than " +
              std::to_string(sizeof(stream)));
      return;
    }
    Fetch(location.rva, &stream);
    DumpException& exception = out_.exception;
    exception.present = true;
    exception.thread_id = stream.thread_id;
    exception.code = stream.exception_record.exception_code;
    exception.flags = stream.exception_record.exception_flags;
    exception.address = stream.exception_record.exception_address;
    if (stream.exception_record.number_parameters > kExceptionMaximumParameters) {
      Problem("the exception names " + std::to_string(stream.exception_record.number_parameters) +
              " parameters, more than 15");
    } else {
      exception.parameters.assign(stream.exception_record.exception_information,
                                  stream.exception_record.exception_information + stream.exception_record.number_parameters);
    }
    ContextAmd64 context;
    if (ReadContext(stream.thread_context, "the exception", &context)) {
      exception.has_registers = HasRegisters(context);
      exception.rip = context.rip;
      exception.rsp = context.rsp;
      exception.registers = Registers(context);
    }
  }

  void CheckOverlaps() {
    std::vector<DumpMemoryRange> sorted = out_.memory;
    std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.start < b.start; });
    for (size_t i = 1; i < sorted.size(); ++i) {
      if (sorted[i].start < sorted[i - 1].start + sorted[i - 1].size) {
        Problem("memory ranges at " + HexNumber(sorted[i - 1].start) + " (" + std::to_string(sorted[i - 1].size) +
                " bytes) and " + HexNumber(sorted[i].start) + " overlap");
      }
    }
  }

  const std::string& file_;
  MinidumpContents& out_;
};

}  // namespace

std::string MinidumpContents::MemoryAt(const std::string& file, uint64_t address, size_t size) const {
  for (const DumpMemoryRange& range : memory) {
    if (address >= range.start && address - range.start <= range.size && size <= range.size - (address - range.start)) {
      return file.substr(range.rva + (address - range.start), size);
    }
  }
  return std::string();
}

MinidumpContents ReadMinidump(const std::string& file) {
  MinidumpContents contents;
  Parser(file, &contents).Run();
  return contents;
}

std::string PlatformName(uint32_t platform_id) {
  if (platform_id == kPlatformIdLinux) return "Linux";
  if (platform_id == kPlatformIdWin32Nt) return "Windows NT";
  return HexNumber(platform_id);
}

}  // namespace Vextra::minidump
