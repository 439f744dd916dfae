// The shell's own system calls, one implementation per system in ShellPlatform.cpp: process
// set-up, the shell's file, the terminal test, standard output kept for the answers and the
// reading of the script's input. The stop signal handling (Notifier.h) lives there too. Called
// from the main thread, except where a function says otherwise.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace host_shell {

// Settings the whole process needs before anything else runs: on Linux a write past the file
// size limit fails (EFBIG) instead of ending the shell; Windows has no such signal.
void PrepareProcess();

// The file the shell was started from; empty when the system does not say.
std::string ShellFile();

// True when standard output is a terminal (colour and progress lines are for people).
bool OutputIsTerminal();

// A stream on a copy of standard output that no child inherits, after which descriptor 1
// writes to standard error; null with a message when the descriptors cannot be arranged.
FILE* DetachStandardOutput(std::string& error);

// Reads what `fd` offers, waiting until there is some, its end, or a stop (the stop signal's
// descriptor `stopFd` readable on Linux, -1 for none; a console stop on Windows).
enum class InputRead { kData, kEnd, kStopped };
InputRead ReadInput(int fd, int stopFd, char* buffer, size_t size, size_t& got);

// The descriptor of the shell's standard input.
int StandardInput();

}  // namespace host_shell
