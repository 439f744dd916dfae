#include "Output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace host_shell {

namespace {

FILE* g_Answers = stdout;

}  // namespace

bool SeparateAnswers(std::string& error) {
  std::fflush(stdout);
  // A copy that no child inherits: the tool's runs must not hold the caller's pipe open.
  int copy = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  FILE* answers = copy >= 0 ? fdopen(copy, "w") : nullptr;
  if (answers == nullptr || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
    error = std::string("cannot keep standard output for the answers: ") + std::strerror(errno);
    if (answers != nullptr) std::fclose(answers);
    else if (copy >= 0) close(copy);
    return false;
  }
  g_Answers = answers;
  return true;
}

void WriteAnswer(const std::string& text) {
  std::fputs(text.c_str(), g_Answers);
  std::fflush(g_Answers);
}

}  // namespace host_shell
