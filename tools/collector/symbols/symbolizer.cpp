#include "collector/symbols/symbolizer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "collector/symbols/module_identity.h"
#include "minidump/identity_text.h"

extern char** environ;

namespace collector {
namespace {

using Vextra::minidump::HexNumber;

constexpr size_t kOffsetsPerRequest = 256;  // what one request writes stays well inside the socket's buffer
constexpr uint64_t kElfPageSize = 0x1000;

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

// Runs a program to its end and gives its standard output; false with a
// reason when it cannot start, fails, overruns the deadline (it is killed) or
// writes more than max_output bytes.
bool RunForOutput(const std::vector<std::string>& command, std::chrono::steady_clock::time_point deadline,
                  size_t max_output, std::string* output, std::string* error) {
  int out_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> argv = command;
  std::vector<char*> args;
  for (std::string& arg : argv) args.push_back(&arg[0]);
  args.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out_pipe[1]);
  if (spawned != 0) {
    close(out_pipe[0]);
    *error = "cannot run " + command[0] + ": " + std::strerror(spawned);
    return false;
  }
  output->clear();
  char buffer[65536];
  std::string failure;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) {
      failure = command[0] + " did not answer in time and was stopped";
      break;
    }
    pollfd fd{out_pipe[0], POLLIN, 0};
    const int ready = poll(&fd, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    const ssize_t n = read(out_pipe[0], buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    output->append(buffer, static_cast<size_t>(n));
    if (output->size() > max_output) {
      failure = command[0] + " wrote more than " + std::to_string(max_output) + " bytes and was stopped";
      break;
    }
  }
  close(out_pipe[0]);
  if (!failure.empty()) kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (failure.empty() && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) failure = command[0] + " failed";
  if (!failure.empty()) {
    *error = failure;
    return false;
  }
  return true;
}

}  // namespace

// The function symbols of one file, sorted by address. ELF symbols carry
// their size; PE (COFF) symbols do not, and a function then reaches to the
// next symbol.
struct Symbolizer::FunctionSymbols {
  std::string path;
  struct stat file {};
  struct Symbol {
    uint64_t address = 0;
    uint64_t size = 0;  // 0: unknown
    std::string name;
  };
  std::vector<Symbol> symbols;

  // The function holding address, or nullptr.
  const Symbol* At(uint64_t address) const {
    auto after = std::upper_bound(symbols.begin(), symbols.end(), address,
                                  [](uint64_t value, const Symbol& symbol) { return value < symbol.address; });
    if (after == symbols.begin()) return nullptr;
    const Symbol& symbol = *(after - 1);
    if (symbol.size != 0 && address - symbol.address >= symbol.size) return nullptr;
    return &symbol;
  }
};

// One line of `nm -C -n -S --defined-only`: "address [size] type name".
bool ParseNmLine(const std::string& line, uint64_t* address, uint64_t* size, char* type, std::string* name) {
  const size_t first = line.find(' ');
  if (first == std::string::npos || first == 0) return false;
  size_t at = first + 1;
  *size = 0;
  const size_t second = line.find(' ', at);
  if (second == std::string::npos) return false;
  if (second - at != 1) {  // a size comes first
    *size = std::strtoull(line.substr(at, second - at).c_str(), nullptr, 16);
    at = second + 1;
  }
  if (at + 2 > line.size() || line[at + 1] != ' ') return false;
  *type = line[at];
  *name = line.substr(at + 2);
  *address = std::strtoull(line.substr(0, first).c_str(), nullptr, 16);
  return !name->empty();
}

const Symbolizer::FunctionSymbols* Symbolizer::SymbolsOf(const std::string& path, bool pe,
                                                         std::chrono::steady_clock::time_point deadline,
                                                         std::string* error) {
  struct stat file;
  if (stat(path.c_str(), &file) != 0) {
    *error = path + ": cannot open: " + std::strerror(errno);
    return nullptr;
  }
  auto found = std::find_if(symbols_.begin(), symbols_.end(),
                            [&](const std::unique_ptr<FunctionSymbols>& entry) { return entry->path == path; });
  if (found != symbols_.end()) {
    std::unique_ptr<FunctionSymbols> entry = std::move(*found);
    symbols_.erase(found);
    if (entry->file.st_ino == file.st_ino && entry->file.st_size == file.st_size &&
        entry->file.st_mtim.tv_sec == file.st_mtim.tv_sec && entry->file.st_mtim.tv_nsec == file.st_mtim.tv_nsec) {
      symbols_.push_back(std::move(entry));
      return symbols_.back().get();
    }
  }
  std::string listing;
  const std::string& nm = pe ? options_.pe_nm : options_.elf_nm;
  if (!RunForOutput({nm, "-C", "-n", "-S", "--defined-only", path}, deadline, options_.max_output_bytes, &listing,
                    error)) {
    *error = path + ": " + *error;
    return nullptr;
  }
  auto entry = std::make_unique<FunctionSymbols>();
  entry->path = path;
  entry->file = file;
  for (const std::string& line : SplitLines(listing)) {
    FunctionSymbols::Symbol symbol;
    char type = 0;
    if (!ParseNmLine(line, &symbol.address, &symbol.size, &type, &symbol.name)) continue;
    if (type != 'T' && type != 't' && type != 'W' && type != 'w') continue;
    if (symbol.name[0] == '.') continue;  // COFF lists each section (".text") as a symbol at its start
    // Of symbols at one address the first listed stands for all.
    if (!entry->symbols.empty() && entry->symbols.back().address == symbol.address) continue;
    entry->symbols.push_back(std::move(symbol));
  }
  symbols_.push_back(std::move(entry));
  if (symbols_.size() > options_.max_children) symbols_.erase(symbols_.begin());
  return symbols_.back().get();
}

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

// One addr2line serving one file: addresses in on its stdin (a socket, so a
// child that died raises no SIGPIPE here), two lines out per address.
struct Symbolizer::Child {
  std::string path;
  struct stat file {};  // the file it was started on
  pid_t pid = -1;
  int in = -1, out = -1, err = -1;
  std::string err_text;  // the last of what it wrote on stderr

  ~Child() {
    for (int fd : {in, out, err}) {
      if (fd >= 0) close(fd);
    }
    if (pid > 0) {
      kill(pid, SIGKILL);
      while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
  }

  bool SameFile(const struct stat& now) const {
    return now.st_dev == file.st_dev && now.st_ino == file.st_ino && now.st_size == file.st_size &&
           now.st_mtim.tv_sec == file.st_mtim.tv_sec && now.st_mtim.tv_nsec == file.st_mtim.tv_nsec;
  }

  bool Start(const std::string& tool, std::string* error) {
    int sockets[2], out_pipe[2] = {-1, -1}, err_pipe[2] = {-1, -1};
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) {
      *error = std::string("socketpair: ") + std::strerror(errno);
      return false;
    }
    in = sockets[0];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
      *error = std::string("pipe: ") + std::strerror(errno);
      for (int fd : {sockets[1], out_pipe[0], out_pipe[1]}) {
        if (fd >= 0) close(fd);
      }
      return false;
    }
    out = out_pipe[0];
    err = err_pipe[0];
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, sockets[1], 0);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
    // -a heads each answer with its address and -i adds the functions the
    // location was inlined into. The outermost of those is the one answer
    // that does not depend on what was asked before: binutils names the
    // innermost inlined function differently on a first and a later lookup.
    std::vector<std::string> argv = {tool, "-a", "-f", "-i", "-C", "-e", path};
    std::vector<char*> args;
    for (std::string& arg : argv) args.push_back(&arg[0]);
    args.push_back(nullptr);
    const int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    for (int fd : {sockets[1], out_pipe[1], err_pipe[1]}) close(fd);
    if (spawned != 0) {
      pid = -1;
      *error = "cannot run " + tool + ": " + std::strerror(spawned);
      return false;
    }
    return true;
  }

  // Sends the addresses and reads each one's answer: its address line, then a
  // function line and a location line per inlining level, innermost first.
  // Address 0, which no function holds, goes last: its answer (always one
  // level) marks the end. Gives each address's outermost level in *lines
  // (two lines per address); false with a reason when the child ends,
  // overruns the deadline or answers out of turn.
  bool Ask(const std::string& tool, const std::vector<uint64_t>& addresses,
           std::chrono::steady_clock::time_point deadline, size_t max_output, std::vector<std::string>* lines,
           std::string* error) {
    std::string request;
    for (uint64_t address : addresses) request += HexNumber(address) + "\n";
    request += "0\n";
    const size_t headers_wanted = addresses.size() + 1;
    std::string answer;
    size_t sent = 0, headers = 0, after_last_header = 0;
    size_t line_start = 0;
    char buffer[65536];
    while (headers < headers_wanted || after_last_header < 2) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0) {
        *error = tool + " did not answer in time and was stopped";
        return false;
      }
      pollfd fds[3] = {{out, POLLIN, 0}, {err, POLLIN, 0}, {sent < request.size() ? in : -1, POLLOUT, 0}};
      const int ready = poll(fds, 3, static_cast<int>(left));
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) {
        *error = std::string("poll: ") + std::strerror(errno);
        return false;
      }
      if (fds[2].revents & (POLLOUT | POLLERR | POLLHUP)) {
        const ssize_t n = send(in, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno != EINTR && errno != EAGAIN) {
          *error = Ended(tool);
          return false;
        }
        if (n > 0) sent += static_cast<size_t>(n);
      }
      if (fds[1].revents != 0) {
        const ssize_t n = read(err, buffer, sizeof(buffer));
        if (n > 0) {
          err_text.append(buffer, static_cast<size_t>(n));
          if (err_text.size() > 4096) err_text.erase(0, err_text.size() - 4096);
        }
      }
      if (fds[0].revents != 0) {
        const ssize_t n = read(out, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
          *error = Ended(tool);
          return false;
        }
        answer.append(buffer, static_cast<size_t>(n));
        for (size_t end = answer.find('\n', line_start); end != std::string::npos;
             end = answer.find('\n', line_start)) {
          if (answer.compare(line_start, 2, "0x") == 0) {
            ++headers;
            after_last_header = 0;
          } else if (headers == 0) {
            *error = tool + " answered out of turn and was stopped";
            return false;
          } else {
            ++after_last_header;
          }
          line_start = end + 1;
        }
        if (answer.size() > max_output) {
          *error = tool + " wrote more than " + std::to_string(max_output) + " bytes and was stopped";
          return false;
        }
      }
    }
    if (headers != headers_wanted || after_last_header != 2 || line_start != answer.size()) {
      *error = tool + " answered out of turn and was stopped";
      return false;
    }
    // Each address's last two lines before the next address line.
    const std::vector<std::string> all = SplitLines(answer);
    lines->clear();
    size_t header = 0;
    for (size_t i = 1; i <= all.size(); ++i) {
      if (i < all.size() && all[i].compare(0, 2, "0x") != 0) continue;
      const size_t levels = i - header - 1;
      if (levels < 2 || levels % 2 != 0) {
        *error = tool + " answered out of turn and was stopped";
        return false;
      }
      lines->push_back(all[i - 2]);
      lines->push_back(all[i - 1]);
      header = i;
    }
    lines->resize(2 * addresses.size());  // the end marker's answer goes
    return true;
  }

  // Why the child stopped answering: its exit and the first line it wrote on stderr.
  std::string Ended(const std::string& tool) {
    int status = 0;
    std::string how = "ended";
    if (pid > 0 && waitpid(pid, &status, 0) == pid) {
      pid = -1;
      if (WIFEXITED(status)) how = "failed (exit status " + std::to_string(WEXITSTATUS(status)) + ")";
      if (WIFSIGNALED(status)) how = "failed (signal " + std::to_string(WTERMSIG(status)) + ")";
    }
    char buffer[4096];
    ssize_t n;
    while ((n = read(err, buffer, sizeof(buffer))) > 0 && err_text.size() < 8192) err_text.append(buffer, n);
    const std::vector<std::string> lines = SplitLines(err_text);
    return tool + " " + how + (lines.empty() ? std::string() : ": " + lines.front());
  }
};

Symbolizer::Symbolizer(SymbolizerOptions options) : options_(std::move(options)) {}

Symbolizer::~Symbolizer() = default;

std::vector<SymbolizedLocation> Symbolizer::Lookup(const std::string& path, const std::vector<uint64_t>& module_offsets,
                                                   std::string* error) {
  ModuleFormat format = ModuleFormat::kUnknown;
  uint64_t base = 0;
  std::string reason;
  struct stat file;
  if (!FileAddressBase(path, &format, &base, &reason) || stat(path.c_str(), &file) != 0) {
    *error = path + ": " + (reason.empty() ? std::string("cannot open: ") + std::strerror(errno) : reason);
    return {};
  }
  if (module_offsets.empty()) return {};
  const std::string& tool = format == ModuleFormat::kPe ? options_.pe_tool : options_.elf_tool;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(options_.timeout_ms);

  std::lock_guard<std::mutex> lock(mutex_);
  auto found = std::find_if(children_.begin(), children_.end(),
                            [&](const std::unique_ptr<Child>& child) { return child->path == path; });
  std::unique_ptr<Child> child;
  if (found != children_.end()) {
    if ((*found)->SameFile(file)) child = std::move(*found);
    children_.erase(found);
  }
  if (!child) {
    child = std::make_unique<Child>();
    child->path = path;
    child->file = file;
    if (!child->Start(tool, &reason)) {
      *error = path + ": " + reason;
      return {};
    }
  }

  std::vector<SymbolizedLocation> locations;
  for (size_t first = 0; first < module_offsets.size(); first += kOffsetsPerRequest) {
    const size_t count = std::min(kOffsetsPerRequest, module_offsets.size() - first);
    std::vector<uint64_t> addresses;
    for (size_t i = first; i < first + count; ++i) addresses.push_back(base + module_offsets[i]);
    std::vector<std::string> lines;
    if (!child->Ask(tool, addresses, deadline, options_.max_output_bytes, &lines, &reason)) {
      *error = path + ": " + reason;
      return {};  // the child is stopped with its object
    }
    for (size_t i = 0; i < count; ++i) locations.push_back(ParseAddr2LineLocation(lines[2 * i], lines[2 * i + 1]));
  }
  children_.push_back(std::move(child));
  if (children_.size() > options_.max_children) children_.erase(children_.begin());
  const FunctionSymbols* symbols = SymbolsOf(path, format == ModuleFormat::kPe, deadline, &reason);
  if (symbols == nullptr) {
    *error = reason;
    return {};
  }
  for (size_t i = 0; i < locations.size(); ++i) {
    const FunctionSymbols::Symbol* function = symbols->At(base + module_offsets[i]);
    if (function != nullptr) locations[i].function = function->name;
  }
  return locations;
}

}  // namespace collector
