#include "collector/analysis/dump_analysis.h"

#include <zlib.h>

#include <algorithm>
#include <set>

#include "collector/zlib_codec.h"
#include "minidump/minidump_reader.h"

namespace collector {

std::string ModuleFileName(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

namespace {

// Inflates as much of a gzip stream as holds together, up to the limit.
std::string GunzipPrefix(const std::string& input, bool* whole) {
  *whole = false;
  std::string out;
  z_stream stream{};
  if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) return out;
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
  stream.avail_in = static_cast<uInt>(input.size());
  char buffer[64 * 1024];
  int rc = Z_OK;
  while (rc == Z_OK && out.size() < kMaxInflatedBytes) {
    stream.next_out = reinterpret_cast<Bytef*>(buffer);
    stream.avail_out = sizeof(buffer);
    rc = inflate(&stream, Z_NO_FLUSH);
    out.append(buffer, sizeof(buffer) - stream.avail_out);
    if (rc == Z_BUF_ERROR && stream.avail_in == 0) break;  // input ended early
  }
  *whole = rc == Z_STREAM_END;
  inflateEnd(&stream);
  return out;
}

}  // namespace

std::string DumpBytesOfAttachment(const std::string& data, std::string* problem) {
  problem->clear();
  if (data.size() >= 2 && static_cast<unsigned char>(data[0]) == 0x1F && static_cast<unsigned char>(data[1]) == 0x8B) {
    bool whole = false;
    std::string bytes = GunzipPrefix(data, &whole);
    if (!whole) *problem = "the dump's gzip stream is cut or damaged; " + std::to_string(bytes.size()) + " bytes could be inflated";
    return bytes;
  }
  return data;
}

DumpAnalysis MinimalDumpAnalyser::Analyse(const std::string& dump_bytes) {
  using Vextra::minidump::MinidumpContents;
  const MinidumpContents contents = Vextra::minidump::ReadMinidump(dump_bytes);
  DumpAnalysis analysis;
  analysis.problems = contents.problems;
  analysis.has_exception = contents.exception.present;
  if (contents.exception.present) {
    analysis.exception_code = contents.exception.code;
    analysis.exception_address = contents.exception.address;
    analysis.crashing_thread = contents.exception.thread_id;
  }
  for (const auto& module : contents.modules) {
    analysis.modules.push_back({module.name, module.base, module.size, module.debug_id, module.debug_file, false});
  }
  std::set<std::string> missing;
  auto frameAt = [&](uint64_t pc, const char* trust) {
    AnalysedFrame frame;
    frame.pc = pc;
    frame.trust = trust;
    for (size_t i = 0; i < contents.modules.size(); ++i) {
      const auto& module = contents.modules[i];
      if (pc >= module.base && pc - module.base < module.size) {
        frame.module_index = static_cast<int>(i);
        frame.module_name = ModuleFileName(module.name);
        frame.module_offset = pc - module.base;
        if (!module.debug_id.empty()) missing.insert(module.debug_id);
        break;
      }
    }
    return frame;
  };
  for (const auto& thread : contents.threads) {
    AnalysedThread analysed;
    analysed.thread_id = thread.thread_id;
    analysed.faulting = contents.exception.present && thread.thread_id == contents.exception.thread_id;
    uint64_t pc = thread.rip;
    bool known = thread.has_registers;
    if (analysed.faulting && contents.exception.has_registers) {
      pc = contents.exception.rip;
      known = true;
    }
    if (known) {
      analysed.frames.push_back(frameAt(pc, "context"));
      analysed.error = "frames below the first are not unwound by this analyser";
    } else {
      analysed.error = "the thread's registers are not in the dump";
    }
    analysis.threads.push_back(std::move(analysed));
  }
  std::stable_partition(analysis.threads.begin(), analysis.threads.end(),
                        [](const AnalysedThread& thread) { return thread.faulting; });
  analysis.missing_symbols.assign(missing.begin(), missing.end());
  return analysis;
}

}  // namespace collector
