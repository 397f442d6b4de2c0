#include "collector/analysis/group_key.h"
#include "minidump/identity_text.h"

#include <cctype>
#include <cstdio>
#include <vector>

namespace collector {
namespace {

using Vextra::minidump::HexNumber;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool IsHexDigit(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

}  // namespace

bool IsReporterModule(const std::string& path) {
  const std::string name = Lower(ModuleFileName(path));
  return name == "vextra64.dll" || name == "libvextra64.so";
}

std::string FrameText(const AnalysedFrame& frame) {
  if (frame.module_name.empty()) return HexNumber(frame.pc);
  if (!frame.function.empty()) return frame.module_name + "!" + frame.function;
  return frame.module_name + "+" + HexNumber(frame.module_offset);
}

GroupKey CrashGroupKey(const DumpAnalysis& analysis) {
  const AnalysedThread* faulting = nullptr;
  for (const AnalysedThread& thread : analysis.threads) {
    if (thread.faulting) {
      faulting = &thread;
      break;
    }
  }
  std::vector<std::string> top;
  if (faulting != nullptr) {
    for (const AnalysedFrame& frame : faulting->frames) {
      if (!frame.module_name.empty() && IsReporterModule(frame.module_name)) continue;
      top.push_back(FrameText(frame));
      if (top.size() == 3) break;
    }
  }
  GroupKey key;
  if (!top.empty()) {
    key.title = top[0];
    key.signature = "crash";
    for (const std::string& frame : top) key.signature += " | " + frame;
    return key;
  }
  std::string where = HexNumber(analysis.exception_address);
  for (const AnalysedModule& module : analysis.modules) {
    if (analysis.exception_address >= module.base && analysis.exception_address - module.base < module.size) {
      where = ModuleFileName(module.name) + "+" + HexNumber(analysis.exception_address - module.base);
      break;
    }
  }
  key.title = ExceptionCodeName(analysis.exception_code) + " at " + where;
  key.signature = "crash | " + HexNumber(analysis.exception_code) + " " + where;
  return key;
}

std::string NormaliseStackLine(const std::string& line) {
  std::string out;
  size_t i = 0;
  while (i < line.size()) {
    if (line[i] == '0' && i + 2 < line.size() && (line[i + 1] == 'x' || line[i + 1] == 'X') && IsHexDigit(line[i + 2])) {
      i += 2;
      while (i < line.size() && IsHexDigit(line[i])) ++i;
      out += '?';
      continue;
    }
    if (IsHexDigit(line[i]) && (i == 0 || !std::isalnum(static_cast<unsigned char>(line[i - 1])))) {
      size_t end = i;
      while (end < line.size() && IsHexDigit(line[end])) ++end;
      const bool wordEnds = end == line.size() || !std::isalnum(static_cast<unsigned char>(line[end]));
      if (end - i >= 8 && wordEnds) {
        out += '?';
        i = end;
        continue;
      }
      out.append(line, i, end - i);
      i = end;
      continue;
    }
    out += line[i++];
  }
  const size_t first = out.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  const size_t last = out.find_last_not_of(" \t\r");
  return out.substr(first, last - first + 1);
}

GroupKey ErrorGroupKey(const std::string& type, const std::string& name, const std::string& callStack) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start <= callStack.size() && lines.size() < 3) {
    size_t end = callStack.find('\n', start);
    if (end == std::string::npos) end = callStack.size();
    const std::string line = NormaliseStackLine(callStack.substr(start, end - start));
    if (!line.empty()) lines.push_back(line);
    start = end + 1;
  }
  GroupKey key;
  key.signature = "error | " + type + " | " + name;
  for (const std::string& line : lines) key.signature += " | " + line;
  key.title = name.empty() ? "(no name)" : name;
  if (!lines.empty()) key.title += " at " + lines[0];
  return key;
}

std::string ExceptionCodeName(uint32_t code) {
  struct Name {
    uint32_t code;
    const char* name;
  };
  static const Name kNames[] = {
      {0xC0000005u, "EXCEPTION_ACCESS_VIOLATION"},   {0xC0000006u, "EXCEPTION_IN_PAGE_ERROR"},
      {0xC000001Du, "EXCEPTION_ILLEGAL_INSTRUCTION"}, {0xC0000094u, "EXCEPTION_INT_DIVIDE_BY_ZERO"},
      {0xC0000095u, "EXCEPTION_INT_OVERFLOW"},        {0xC0000096u, "EXCEPTION_PRIV_INSTRUCTION"},
      {0xC00000FDu, "EXCEPTION_STACK_OVERFLOW"},      {0xC000008Eu, "EXCEPTION_FLT_DIVIDE_BY_ZERO"},
      {0xC0000409u, "STATUS_STACK_BUFFER_OVERRUN"},   {0xC0000374u, "STATUS_HEAP_CORRUPTION"},
      {0x80000003u, "EXCEPTION_BREAKPOINT"},          {0x80000004u, "EXCEPTION_SINGLE_STEP"},
      {0xE06D7363u, "C++ exception"},                 {4, "SIGILL"},
      {5, "SIGTRAP"},                                 {6, "SIGABRT"},
      {7, "SIGBUS"},                                  {8, "SIGFPE"},
      {11, "SIGSEGV"},
  };
  for (const Name& entry : kNames) {
    if (entry.code == code) return entry.name;
  }
  char buffer[16];
  std::snprintf(buffer, sizeof(buffer), "0x%08X", code);
  return buffer;
}

}  // namespace collector
