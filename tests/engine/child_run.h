// One test of this test program run again in a process of its own, with this
// process's environment less the variables named and plus those given: for
// what is decided once at start-up (the kernel builds).
#pragma once
#include <spawn.h>
#include <fcntl.h>
#include <sys/wait.h>

#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace Tarvelo {
namespace testing_child {

// True when the child ran and exited 0; its standard output goes nowhere.
// `dropped`: prefixes such as "NAME=" of the variables left out.
inline bool RunTestInChild(const std::string& test, const std::vector<std::string>& dropped,
                           const std::vector<std::string>& added) {
  std::vector<std::string> kept;
  for (char** e = environ; *e != nullptr; ++e) {
    bool drop = false;
    for (const std::string& d : dropped) drop |= std::strncmp(*e, d.c_str(), d.size()) == 0;
    if (!drop) kept.emplace_back(*e);
  }
  kept.insert(kept.end(), added.begin(), added.end());
  std::vector<char*> environment;
  for (std::string& e : kept) environment.push_back(e.data());
  environment.push_back(nullptr);
  std::string program = "/proc/self/exe";
  std::string filter = "--gtest_filter=" + test;
  char* argv[] = {program.data(), filter.data(), nullptr};
  posix_spawn_file_actions_t quiet;
  posix_spawn_file_actions_init(&quiet);
  posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
  pid_t child = 0;
  const int spawned = posix_spawn(&child, program.c_str(), &quiet, nullptr, argv, environment.data());
  posix_spawn_file_actions_destroy(&quiet);
  if (spawned != 0) return false;
  int status = 0;
  return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace testing_child
}  // namespace Tarvelo
