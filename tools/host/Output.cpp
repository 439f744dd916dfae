#include "Output.h"

#include <cstdio>

#include "ShellPlatform.h"

namespace host_shell {

namespace {

FILE* g_Answers = stdout;

}  // namespace

bool SeparateAnswers(std::string& error) {
  FILE* answers = DetachStandardOutput(error);
  if (answers == nullptr) return false;
  g_Answers = answers;
  return true;
}
void WriteAnswer(const std::string& text) {
  std::fputs(text.c_str(), g_Answers);
  std::fflush(g_Answers);
}

}  // namespace host_shell
