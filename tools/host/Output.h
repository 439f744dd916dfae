// Where the shell's answers go: standard output, unless --json asks that standard output carry
// the JSON lines alone. Then the answers go to a copy of it, and descriptor 1, where the plug-in
// prints its own lines, is pointed at standard error. Set up once on the main thread before the
// plug-in is loaded; answers are written from the main thread.
#pragma once

#include <string>

namespace host_shell {

// Keeps standard output for the answers and sends everything else written to descriptor 1 to
// standard error. False with a message when the descriptors cannot be arranged.
bool SeparateAnswers(std::string& error);
// Writes one or more whole lines of answer and flushes them.
void WriteAnswer(const std::string& text);

}  // namespace host_shell
