// Runs a program as a child process and captures what it printed.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace tarn_test_support {

struct ProcessResult {
  int status = -1;  // exit status, or -1 when the child did not exit normally
  std::string out;
  std::string err;
};

inline std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

// `env` entries are "NAME=value" added to (or, with "NAME", removed from) the
// current environment of the child.
inline ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                                 const std::vector<std::string>& env = {}, const std::string& directory = {}) {
  char out_path[] = "/tmp/tarn-test-out-XXXXXX";
  char err_path[] = "/tmp/tarn-test-err-XXXXXX";
  const int out_fd = mkstemp(out_path);
  const int err_fd = mkstemp(err_path);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    const int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, 0);
    if (!directory.empty() && chdir(directory.c_str()) != 0) _exit(126);
    for (const auto& entry : env) {
      const auto eq = entry.find('=');
      if (eq == std::string::npos) {
        unsetenv(entry.c_str());
      } else {
        setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 1);
      }
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  int wait_status = 0;
  waitpid(pid, &wait_status, 0);
  close(out_fd);
  close(err_fd);
  ProcessResult result;
  result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
  result.out = slurp(out_path);
  result.err = slurp(err_path);
  std::remove(out_path);
  std::remove(err_path);
  return result;
}

}  // namespace tarn_test_support
