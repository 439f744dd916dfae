// A host home for benchmarks: a temporary directory laid out as the host's home (the tool
// stand-in, a drive state of N drives, a PCI tree with one supported function per drive), and
// the bare tool runs that make the floor of a pass. Activate makes a home the toolkit's home,
// which is process-wide; a home is driven from one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "DriveState.h"

class BenchHome {
 public:
  // Lays out a home with `drives` drives (serials BENCH0000..., tool indexes 0...).
  explicit BenchHome(int drives);
  // Removes the directory and everything in it.
  ~BenchHome();
  BenchHome(const BenchHome&) = delete;
  BenchHome& operator=(const BenchHome&) = delete;

  const std::string& Dir() const { return m_Dir; }
  std::string ToolPath() const { return m_Dir + "/bin/isdct.exe"; }
  int Drives() const { return static_cast<int>(m_State.drives.size()); }

  // Registers the home with the toolkit: the process path inside it and its PCI tree.
  void Activate() const;
  // Writes a file of the home (a configuration file such as "Varnock.ini").
  void WriteFile(const std::string& relative, const std::string& content) const;
  // Saves the drive state with values of every drive that its adapter and drive rows store
  // (temperature, media errors, power-on hours) set from `step`, so that the next full pass
  // finds every adapter and drive changed and writes every row with new values.
  void ChangeDrives(int64_t step);

 private:
  void SaveState() const;

  std::string m_Dir;
  isdct::State m_State;
};

// The tool's argument lines of a full pass over N drives (the inventory, then the four health
// pages of each drive: 4N+1 runs) and of a light pass (the four pages of each drive: 4N runs).
std::vector<std::string> FullPassLines(int drives);
std::vector<std::string> LightPassLines(int drives);

// Runs `program` with `line` split at blanks by a bare posix_spawn, reads its standard output to
// the end, discards it and reaps the child: the least a tool run can cost. False when the
// program could not be started.
bool RunBare(const std::string& program, const std::string& line);
