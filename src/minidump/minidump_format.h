#pragma once
// The on-disk structures of a minidump file, defined here so that any
// platform can write and read them: little-endian, packed as the format
// packs them (4-byte packing, so 64-bit fields may sit at 4-byte offsets).
// Every offset in the file is a 32-bit RVA from the start of the file.

#include <cstddef>
#include <cstdint>

namespace Vextra::minidump {

constexpr uint32_t kMinidumpSignature = 0x504D444D;  // "MDMP"
constexpr uint32_t kMinidumpVersion = 0xA793;        // low word of the header's version

// Stream types.
constexpr uint32_t kThreadListStream = 3;
constexpr uint32_t kModuleListStream = 4;
constexpr uint32_t kMemoryListStream = 5;
constexpr uint32_t kExceptionStream = 6;
constexpr uint32_t kSystemInfoStream = 7;
// The Linux streams: raw copies of the named files.
constexpr uint32_t kLinuxCpuInfoStream = 0x47670003;     // /proc/cpuinfo
constexpr uint32_t kLinuxProcStatusStream = 0x47670004;  // /proc/self/status
constexpr uint32_t kLinuxLsbReleaseStream = 0x47670005;  // /etc/os-release (or lsb-release)
constexpr uint32_t kLinuxCmdLineStream = 0x47670006;     // /proc/self/cmdline
constexpr uint32_t kLinuxEnvironStream = 0x47670007;     // /proc/self/environ
constexpr uint32_t kLinuxAuxvStream = 0x47670008;        // /proc/self/auxv
constexpr uint32_t kLinuxMapsStream = 0x47670009;        // /proc/self/maps

// System information.
constexpr uint16_t kProcessorArchitectureAmd64 = 9;
constexpr uint32_t kPlatformIdWin32Nt = 2;
constexpr uint32_t kPlatformIdLinux = 0x8201;
constexpr uint8_t kProductTypeWorkstation = 1;

// Context flags of the AMD64 context record.
constexpr uint32_t kContextAmd64 = 0x00100000;
constexpr uint32_t kContextControl = kContextAmd64 | 0x1;         // rip, rsp, cs, ss, eflags
constexpr uint32_t kContextInteger = kContextAmd64 | 0x2;         // the general registers
constexpr uint32_t kContextSegments = kContextAmd64 | 0x4;        // ds, es, fs, gs
constexpr uint32_t kContextFloatingPoint = kContextAmd64 | 0x8;   // mxcsr and the FXSAVE area

// Debug identifier records (the module's CodeView record).
constexpr uint32_t kCodeViewPdb70Signature = 0x53445352;  // "RSDS": GUID, age, PDB file name
constexpr uint32_t kCodeViewElfSignature = 0x4270454C;    // "BpEL": the ELF build id

constexpr uint32_t kFixedFileInfoSignature = 0xFEEF04BD;
constexpr uint32_t kFixedFileInfoVersion = 0x00010000;

#pragma pack(push, 4)

struct MinidumpHeader {
  uint32_t signature;
  uint32_t version;  // low word kMinidumpVersion, high word the writer's own
  uint32_t number_of_streams;
  uint32_t stream_directory_rva;
  uint32_t checksum;
  uint32_t time_date_stamp;
  uint64_t flags;
};

struct LocationDescriptor {
  uint32_t data_size;
  uint32_t rva;
};

struct DirectoryEntry {
  uint32_t stream_type;
  LocationDescriptor location;
};

struct MemoryDescriptor {
  uint64_t start_of_memory_range;
  LocationDescriptor memory;
};

// Text in the file: its length in bytes (without the terminator), then
// UTF-16LE code units and a zero code unit.
struct MinidumpStringHeader {
  uint32_t length;
};

struct CpuInformation {
  uint32_t vendor_id[3];
  uint32_t version_information;
  uint32_t feature_information;
  uint32_t amd_extended_cpu_features;
};

struct SystemInfo {
  uint16_t processor_architecture;
  uint16_t processor_level;
  uint16_t processor_revision;
  uint8_t number_of_processors;
  uint8_t product_type;
  uint32_t major_version;
  uint32_t minor_version;
  uint32_t build_number;
  uint32_t platform_id;
  uint32_t csd_version_rva;  // a MinidumpString
  uint16_t suite_mask;
  uint16_t reserved2;
  CpuInformation cpu;
};

struct ThreadEntry {
  uint32_t thread_id;
  uint32_t suspend_count;
  uint32_t priority_class;
  uint32_t priority;
  uint64_t teb;
  MemoryDescriptor stack;
  LocationDescriptor thread_context;
};

// Thread list stream: a 32-bit count followed by that many ThreadEntry.
struct ThreadListHeader {
  uint32_t number_of_threads;
};

struct FixedFileInfo {
  uint32_t signature;
  uint32_t struct_version;
  uint32_t file_version_ms;
  uint32_t file_version_ls;
  uint32_t product_version_ms;
  uint32_t product_version_ls;
  uint32_t file_flags_mask;
  uint32_t file_flags;
  uint32_t file_os;
  uint32_t file_type;
  uint32_t file_subtype;
  uint32_t file_date_ms;
  uint32_t file_date_ls;
};

struct ModuleEntry {
  uint64_t base_of_image;
  uint32_t size_of_image;
  uint32_t checksum;
  uint32_t time_date_stamp;
  uint32_t module_name_rva;  // a MinidumpString
  FixedFileInfo version_info;
  LocationDescriptor cv_record;
  LocationDescriptor misc_record;
  uint64_t reserved0;
  uint64_t reserved1;
};

// Module list stream: a 32-bit count followed by that many ModuleEntry.
struct ModuleListHeader {
  uint32_t number_of_modules;
};

// Memory list stream: a 32-bit count followed by that many MemoryDescriptor.
struct MemoryListHeader {
  uint32_t number_of_memory_ranges;
};

constexpr uint32_t kExceptionMaximumParameters = 15;

struct ExceptionRecord {
  uint32_t exception_code;
  uint32_t exception_flags;
  uint64_t exception_record;
  uint64_t exception_address;
  uint32_t number_parameters;
  uint32_t unused_alignment;
  uint64_t exception_information[kExceptionMaximumParameters];
};

struct ExceptionStream {
  uint32_t thread_id;
  uint32_t alignment;
  ExceptionRecord exception_record;
  LocationDescriptor thread_context;
};

// The ELF debug identifier record: the signature, then the build id bytes.
struct CodeViewElfHeader {
  uint32_t signature;
};

// The PDB 7.0 record: the signature, the GUID and age, then the PDB file
// name as NUL-terminated UTF-8.
struct CodeViewPdb70Header {
  uint32_t signature;
  uint8_t guid[16];
  uint32_t age;
};

#pragma pack(pop)

// The x86-64 context record; its natural layout is the format's.
struct alignas(16) ContextAmd64 {
  uint64_t p1_home, p2_home, p3_home, p4_home, p5_home, p6_home;
  uint32_t context_flags;
  uint32_t mx_csr;
  uint16_t seg_cs, seg_ds, seg_es, seg_fs, seg_gs, seg_ss;
  uint32_t eflags;
  uint64_t dr0, dr1, dr2, dr3, dr6, dr7;
  uint64_t rax, rcx, rdx, rbx, rsp, rbp, rsi, rdi;
  uint64_t r8, r9, r10, r11, r12, r13, r14, r15;
  uint64_t rip;
  uint8_t flt_save[512];  // FXSAVE layout
  uint8_t vector_register[26 * 16];
  uint64_t vector_control;
  uint64_t debug_control;
  uint64_t last_branch_to_rip;
  uint64_t last_branch_from_rip;
  uint64_t last_exception_to_rip;
  uint64_t last_exception_from_rip;
};

static_assert(sizeof(MinidumpHeader) == 32, "header");
static_assert(offsetof(MinidumpHeader, stream_directory_rva) == 12 && offsetof(MinidumpHeader, flags) == 24, "header");
static_assert(sizeof(LocationDescriptor) == 8, "location");
static_assert(sizeof(DirectoryEntry) == 12, "directory entry");
static_assert(sizeof(MemoryDescriptor) == 16, "memory descriptor");
static_assert(sizeof(CpuInformation) == 24, "cpu information");
static_assert(sizeof(SystemInfo) == 56, "system info");
static_assert(offsetof(SystemInfo, number_of_processors) == 6 && offsetof(SystemInfo, platform_id) == 20 &&
                  offsetof(SystemInfo, csd_version_rva) == 24 && offsetof(SystemInfo, cpu) == 32,
              "system info");
static_assert(sizeof(ThreadEntry) == 48, "thread");
static_assert(offsetof(ThreadEntry, teb) == 16 && offsetof(ThreadEntry, stack) == 24 &&
                  offsetof(ThreadEntry, thread_context) == 40,
              "thread");
static_assert(sizeof(FixedFileInfo) == 52, "fixed file info");
static_assert(sizeof(ModuleEntry) == 108, "module");
static_assert(offsetof(ModuleEntry, module_name_rva) == 20 && offsetof(ModuleEntry, version_info) == 24 &&
                  offsetof(ModuleEntry, cv_record) == 76 && offsetof(ModuleEntry, misc_record) == 84,
              "module");
static_assert(sizeof(ExceptionRecord) == 152, "exception record");
static_assert(offsetof(ExceptionRecord, exception_address) == 16 &&
                  offsetof(ExceptionRecord, number_parameters) == 24 &&
                  offsetof(ExceptionRecord, exception_information) == 32,
              "exception record");
static_assert(sizeof(ExceptionStream) == 168, "exception stream");
static_assert(offsetof(ExceptionStream, exception_record) == 8 && offsetof(ExceptionStream, thread_context) == 160,
              "exception stream");
static_assert(sizeof(CodeViewPdb70Header) == 24, "RSDS record");
static_assert(sizeof(ContextAmd64) == 1232, "AMD64 context");
static_assert(offsetof(ContextAmd64, context_flags) == 0x30 && offsetof(ContextAmd64, mx_csr) == 0x34 &&
                  offsetof(ContextAmd64, seg_cs) == 0x38 && offsetof(ContextAmd64, eflags) == 0x44 &&
                  offsetof(ContextAmd64, rax) == 0x78 && offsetof(ContextAmd64, rsp) == 0x98 &&
                  offsetof(ContextAmd64, rip) == 0xF8 && offsetof(ContextAmd64, flt_save) == 0x100 &&
                  offsetof(ContextAmd64, vector_register) == 0x300 && offsetof(ContextAmd64, vector_control) == 0x4A0 &&
                  offsetof(ContextAmd64, last_exception_from_rip) == 0x4C8,
              "AMD64 context");

}  // namespace Vextra::minidump
