#pragma once
// Small minidumps and module files made in the tests, for what real dumps
// cannot show: hostile tables, broken chains, stacks that were not stored.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "minidump/minidump_format.h"

namespace stackwalk_test {

namespace md = Vextra::minidump;

inline void Put(std::string* out, size_t at, const void* data, size_t size) {
  if (out->size() < at + size) out->resize(at + size, '\0');
  if (size != 0) std::memcpy(&(*out)[at], data, size);  // memcpy wants valid pointers even for no bytes
}
template <typename T>
void PutValue(std::string* out, size_t at, T value) {
  Put(out, at, &value, sizeof value);
}
inline std::string Words(const std::vector<uint64_t>& words) {
  std::string bytes(words.size() * 8, '\0');
  if (!words.empty()) std::memcpy(bytes.data(), words.data(), bytes.size());
  return bytes;
}

struct FixtureThread {
  uint32_t id = 1;
  bool registers = true;
  uint64_t rip = 0, rsp = 0, rbp = 0;
  uint64_t stack_start = 0;
  std::string stack;  // empty: no stack stored
};
struct FixtureModule {
  uint64_t base = 0;
  uint32_t size = 0;
  std::string name;
};

// A minidump with a system stream, the threads (the first faulting, its
// context also in the exception stream), the modules and no memory list.
inline std::string MakeDump(const std::vector<FixtureThread>& threads, const std::vector<FixtureModule>& modules) {
  std::string out;
  auto append = [&](const void* data, size_t size) {
    const size_t at = (out.size() + 7) & ~size_t{7};
    Put(&out, at, data, size);
    return static_cast<uint32_t>(at);
  };
  md::MinidumpHeader header{};
  Put(&out, 0, &header, sizeof header);
  std::vector<md::DirectoryEntry> directory;

  md::SystemInfo system{};
  system.processor_architecture = md::kProcessorArchitectureAmd64;
  system.platform_id = md::kPlatformIdLinux;
  directory.push_back({md::kSystemInfoStream, {sizeof system, append(&system, sizeof system)}});

  std::vector<md::ThreadEntry> entries;
  md::LocationDescriptor first_context{};
  for (const FixtureThread& t : threads) {
    md::ThreadEntry entry{};
    entry.thread_id = t.id;
    md::ContextAmd64 context{};
    context.context_flags = t.registers ? (md::kContextControl | md::kContextInteger) : md::kContextAmd64;
    context.rip = t.rip;
    context.rsp = t.rsp;
    context.rbp = t.rbp;
    entry.thread_context = {sizeof context, append(&context, sizeof context)};
    if (entries.empty()) first_context = entry.thread_context;
    entry.stack.start_of_memory_range = t.stack_start;
    if (!t.stack.empty()) entry.stack.memory = {static_cast<uint32_t>(t.stack.size()), append(t.stack.data(), t.stack.size())};
    entries.push_back(entry);
  }
  std::string list(4, '\0');
  PutValue<uint32_t>(&list, 0, static_cast<uint32_t>(entries.size()));
  for (const auto& entry : entries) Put(&list, list.size(), &entry, sizeof entry);
  directory.push_back({md::kThreadListStream, {static_cast<uint32_t>(list.size()), append(list.data(), list.size())}});

  std::string module_list(4, '\0');
  PutValue<uint32_t>(&module_list, 0, static_cast<uint32_t>(modules.size()));
  for (const FixtureModule& m : modules) {
    md::ModuleEntry entry{};
    entry.base_of_image = m.base;
    entry.size_of_image = m.size;
    std::string name(4, '\0');
    PutValue<uint32_t>(&name, 0, static_cast<uint32_t>(m.name.size() * 2));
    for (char c : m.name) name += std::string{c, '\0'};
    name += std::string(2, '\0');
    entry.module_name_rva = append(name.data(), name.size());
    Put(&module_list, module_list.size(), &entry, sizeof entry);
  }
  directory.push_back({md::kModuleListStream, {static_cast<uint32_t>(module_list.size()),
                                               append(module_list.data(), module_list.size())}});

  if (!threads.empty()) {
    md::ExceptionStream exception{};
    exception.thread_id = threads[0].id;
    exception.exception_record.exception_address = threads[0].rip;
    exception.thread_context = first_context;
    directory.push_back({md::kExceptionStream, {sizeof exception, append(&exception, sizeof exception)}});
  }
  header.signature = md::kMinidumpSignature;
  header.version = md::kMinidumpVersion;
  header.number_of_streams = static_cast<uint32_t>(directory.size());
  header.stream_directory_rva = append(directory.data(), directory.size() * sizeof(md::DirectoryEntry));
  Put(&out, 0, &header, sizeof header);
  return out;
}

// A PE32+ image: .text at RVA 0x1000 (file 0x400, 0x400 bytes) holding code,
// and .rdata at RVA 0x2000 (file 0x800, 0x400 bytes) holding pdata at its
// start; the exception directory names pdata_size bytes there.
inline std::string MakePe(const std::string& code, const std::string& rdata, uint32_t pdata_size) {
  std::string out(0xC00, '\0');
  out[0] = 'M';
  out[1] = 'Z';
  PutValue<uint32_t>(&out, 0x3C, 0x40);
  Put(&out, 0x40, "PE\0\0", 4);
  PutValue<uint16_t>(&out, 0x44, 0x8664);
  PutValue<uint16_t>(&out, 0x46, 2);    // sections
  PutValue<uint16_t>(&out, 0x54, 240);  // optional header size
  const size_t optional = 0x58;
  PutValue<uint16_t>(&out, optional, 0x20B);
  PutValue<uint32_t>(&out, optional + 108, 16);
  PutValue<uint32_t>(&out, optional + 112 + 3 * 8, 0x2000);
  PutValue<uint32_t>(&out, optional + 112 + 3 * 8 + 4, pdata_size);
  const size_t sections = optional + 240;
  const struct {
    const char* name;
    uint32_t rva, raw, characteristics;
  } kSections[] = {{".text", 0x1000, 0x400, 0x60000020}, {".rdata", 0x2000, 0x800, 0x40000040}};
  for (int i = 0; i < 2; ++i) {
    const size_t at = sections + i * 40;
    Put(&out, at, kSections[i].name, std::strlen(kSections[i].name));
    PutValue<uint32_t>(&out, at + 8, 0x400);
    PutValue<uint32_t>(&out, at + 12, kSections[i].rva);
    PutValue<uint32_t>(&out, at + 16, 0x400);
    PutValue<uint32_t>(&out, at + 20, kSections[i].raw);
    PutValue<uint32_t>(&out, at + 36, kSections[i].characteristics);
  }
  Put(&out, 0x400, code.data(), std::min<size_t>(code.size(), 0x400));
  Put(&out, 0x800, rdata.data(), std::min<size_t>(rdata.size(), 0x400));
  out.resize(0xC00);
  return out;
}

// A 64-bit ELF shared object: .text at 0x1000 (file 0x1000, 0x1000 bytes,
// executable) and .eh_frame at 0x2000 (file 0x2000), described by section
// headers; its first PT_LOAD maps the file from address 0.
inline std::string MakeElf(const std::string& code, const std::string& eh_frame) {
  std::string out(0x3000, '\0');
  Put(&out, 0, "\x7f" "ELF\x02\x01\x01", 7);
  PutValue<uint16_t>(&out, 0x10, 3);  // ET_DYN
  PutValue<uint16_t>(&out, 0x12, 62);
  PutValue<uint64_t>(&out, 0x20, 0x40);  // phoff
  PutValue<uint16_t>(&out, 0x36, 56);
  PutValue<uint16_t>(&out, 0x38, 1);
  PutValue<uint32_t>(&out, 0x40, 1);        // PT_LOAD
  PutValue<uint32_t>(&out, 0x44, 5);        // R+X
  PutValue<uint64_t>(&out, 0x40 + 32, 0x3000);
  PutValue<uint64_t>(&out, 0x40 + 40, 0x3000);
  Put(&out, 0x1000, code.data(), std::min<size_t>(code.size(), 0x1000));
  Put(&out, 0x2000, eh_frame.data(), std::min<size_t>(eh_frame.size(), 0xE00));
  // Section names and headers after the contents.
  const std::string names("\0.text\0.eh_frame\0.shstrtab\0", 27);
  Put(&out, 0x2E00, names.data(), names.size());
  const size_t shoff = 0x3000;
  PutValue<uint64_t>(&out, 0x28, shoff);
  PutValue<uint16_t>(&out, 0x3A, 64);
  PutValue<uint16_t>(&out, 0x3C, 4);
  PutValue<uint16_t>(&out, 0x3E, 3);
  auto section = [&](int index, uint32_t name, uint32_t type, uint64_t flags, uint64_t addr, uint64_t offset,
                     uint64_t size) {
    const size_t at = shoff + index * 64;
    PutValue<uint32_t>(&out, at, name);
    PutValue<uint32_t>(&out, at + 4, type);
    PutValue<uint64_t>(&out, at + 8, flags);
    PutValue<uint64_t>(&out, at + 16, addr);
    PutValue<uint64_t>(&out, at + 24, offset);
    PutValue<uint64_t>(&out, at + 32, size);
  };
  section(0, 0, 0, 0, 0, 0, 0);
  section(1, 1, 1, 0x6, 0x1000, 0x1000, 0x1000);
  section(2, 7, 1, 0x2, 0x2000, 0x2000, eh_frame.size());
  section(3, 17, 3, 0, 0, 0x2E00, names.size());
  out.resize(shoff + 4 * 64);
  return out;
}

inline std::string Uleb(uint64_t v) {
  std::string out;
  do {
    uint8_t byte = v & 0x7F;
    v >>= 7;
    if (v != 0) byte |= 0x80;
    out += static_cast<char>(byte);
  } while (v != 0);
  return out;
}

// .eh_frame at address 0x2000 (as MakeElf places it): a CIE ("zR", pc-relative 4-byte pointers, code align 1, data align -8,
// return address in column 16, CFA = rsp + 8, return address at CFA - 8)
// followed by one FDE for [begin, begin + size) with instructions.
inline std::string EhFrame(uint64_t begin, uint32_t size, const std::string& instructions, uint32_t cie_pointer_bias = 0) {
  std::string cie("\0\0\0\0" "\x01" "zR\0" "\x01" "\x78" "\x10" "\x01" "\x1B" "\x0C\x07\x08" "\x90\x01", 18);
  while (cie.size() % 8 != 4) cie += '\0';
  std::string out;
  PutValue<uint32_t>(&out, 0, static_cast<uint32_t>(cie.size()));
  out += cie;
  const size_t fde = out.size();
  std::string body(4, '\0');
  PutValue<uint32_t>(&body, 0, static_cast<uint32_t>(fde + 4 + cie_pointer_bias));  // back to the CIE
  const uint64_t field = 0x2000 + fde + 8;
  std::string pc(8, '\0');
  PutValue<int32_t>(&pc, 0, static_cast<int32_t>(begin - field));
  PutValue<uint32_t>(&pc, 4, size);
  body += pc + Uleb(0) + instructions;
  while (body.size() % 8 != 4) body += '\0';
  PutValue<uint32_t>(&out, out.size(), static_cast<uint32_t>(body.size()));
  out += body;
  out += std::string(4, '\0');  // terminator
  return out;
}

}  // namespace stackwalk_test
