#pragma once
// Runs the collector program as a child process for its end-to-end tests.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace collector_test {

class ChildProcess {
 public:
  // Starts program with args; its stdout and stderr go to the given files.
  ChildProcess(const std::string& program, const std::vector<std::string>& args, const std::string& outPath,
               const std::string& errPath) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~ChildProcess() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }

  // Sends the signal (0: none) and waits up to timeout for the exit; returns
  // the exit status, 128 + signal when killed, or -1 when still running.
  int Stop(int signalNumber, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    if (pid_ <= 0) return -1;
    if (signalNumber != 0 && !exited_) kill(pid_, signalNumber);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return status_;
      }
      if (exited_) return status_;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < deadline);
    return -1;
  }

 private:
  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = -1;  // once exited_
};

// True once path exists (the collector writes its ready file after it
// listens), false when the child ended first or timeout passed.
inline bool WaitForFile(const std::filesystem::path& path, ChildProcess& child,
                        std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (std::filesystem::exists(path)) return true;
    if (child.Stop(0, std::chrono::milliseconds(0)) != -1) return std::filesystem::exists(path);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

}  // namespace collector_test
