#include "collector/symbols/symbolizer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "collector/symbols/module_identity.h"

extern char** environ;

namespace collector {
namespace {

constexpr size_t kOffsetsPerRun = 4096;   // keeps one command line well under the system's limit
constexpr uint64_t kElfPageSize = 0x1000;

std::string HexAddress(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

struct ChildResult {
  std::string out, err;
  int status = 0;
};

// Runs argv[0] with stdin from /dev/null, collecting stdout and stderr; kills
// it when the deadline passes or it writes more than max_output bytes.
bool RunChild(const std::vector<std::string>& argv, int timeout_ms, size_t max_output, ChildResult* result,
              std::string* error) {
  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  if (pipe2(err_pipe, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    close(out_pipe[0]);
    close(out_pipe[1]);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (spawned != 0) {
    close(out_pipe[0]);
    close(err_pipe[0]);
    *error = "cannot run " + argv[0] + ": " + std::strerror(spawned);
    return false;
  }

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result->out, &result->err};
  int open_count = 2;
  bool killed = false;
  char buffer[65536];
  while (open_count > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      *error = argv[0] + " did not finish within " + std::to_string(timeout_ms) + " ms and was stopped";
      killed = true;
      break;
    }
    const int ready = poll(fds, 2, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) {
      *error = std::string("poll: ") + std::strerror(errno);
      killed = true;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = read(fds[i].fd, buffer, sizeof(buffer));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
        continue;
      }
      sinks[i]->append(buffer, static_cast<size_t>(n));
      if (result->out.size() + result->err.size() > max_output) {
        *error = argv[0] + " wrote more than " + std::to_string(max_output) + " bytes and was stopped";
        killed = true;
      }
    }
    if (killed) break;
  }
  for (pollfd& fd : fds) {
    if (fd.fd >= 0) close(fd.fd);
  }
  if (killed) kill(pid, SIGKILL);
  while (waitpid(pid, &result->status, 0) < 0 && errno == EINTR) {
  }
  return !killed;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// The address in the file's own numbering that a module offset stands for:
// PE: the preferred image base plus the offset (an RVA); ELF: the offset past
// the page that holds the first loadable segment, where the module's mapping
// (and so the dump's base) starts.
bool FileAddressBase(const std::string& path, ModuleFormat* format, uint64_t* base, std::string* error) {
  ModuleIdentity identity;
  if (!ReadModuleHeaders(path, &identity, error)) return false;
  *format = identity.format;
  *base = identity.format == ModuleFormat::kPe ? identity.image_base : identity.first_load_vaddr & ~(kElfPageSize - 1);
  return true;
}

}  // namespace

SymbolizedLocation ParseAddr2LineLocation(const std::string& function_line, const std::string& file_line) {
  SymbolizedLocation location;
  if (function_line != "??") location.function = function_line;
  std::string where = file_line;
  const size_t note = where.find(" (discriminator");
  if (note != std::string::npos) where.resize(note);
  const size_t colon = where.find_last_of(':');
  const std::string file = colon == std::string::npos ? where : where.substr(0, colon);
  if (file != "??") location.file = file;
  if (colon != std::string::npos && !location.file.empty()) {
    const std::string digits = where.substr(colon + 1);
    if (!digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos && digits.size() < 10) {
      location.line = std::stoi(digits);
    }
  }
  return location;
}

std::vector<SymbolizedLocation> Symbolizer::Lookup(const std::string& path, const std::vector<uint64_t>& module_offsets,
                                                   std::string* error) {
  std::vector<SymbolizedLocation> locations;
  ModuleFormat format = ModuleFormat::kUnknown;
  uint64_t base = 0;
  std::string reason;
  if (!FileAddressBase(path, &format, &base, &reason)) {
    *error = path + ": " + reason;
    return {};
  }
  const std::string& tool = format == ModuleFormat::kPe ? options_.pe_tool : options_.elf_tool;
  for (size_t first = 0; first < module_offsets.size(); first += kOffsetsPerRun) {
    const size_t count = std::min(kOffsetsPerRun, module_offsets.size() - first);
    std::vector<std::string> argv = {tool, "-f", "-C", "-e", path};
    for (size_t i = first; i < first + count; ++i) argv.push_back(HexAddress(base + module_offsets[i]));
    ChildResult child;
    if (!RunChild(argv, options_.timeout_ms, options_.max_output_bytes, &child, &reason)) {
      *error = path + ": " + reason;
      return {};
    }
    if (!WIFEXITED(child.status) || WEXITSTATUS(child.status) != 0) {
      std::string message = SplitLines(child.err).empty() ? std::string() : SplitLines(child.err).front();
      *error = path + ": " + tool + " failed" + (message.empty() ? std::string() : ": " + message);
      return {};
    }
    const std::vector<std::string> lines = SplitLines(child.out);
    if (lines.size() != 2 * count) {
      *error = path + ": " + tool + " gave " + std::to_string(lines.size()) + " lines for " + std::to_string(count) +
               " addresses";
      return {};
    }
    for (size_t i = 0; i < count; ++i) locations.push_back(ParseAddr2LineLocation(lines[2 * i], lines[2 * i + 1]));
  }
  return locations;
}

}  // namespace collector
