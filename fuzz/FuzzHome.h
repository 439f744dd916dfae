// Shared set-up of the fuzz targets: a throw-away host home (a temporary directory registered as
// the host's process path, with one supported PCI device) and helpers that cut an input into
// parts. One home per fuzzing process, made on first use and removed when the process ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

class FuzzHome {
 public:
  // The process's home, made on first call; the caller does not own it.
  static FuzzHome& Get();

  const std::string& Dir() const { return m_Dir; }
  std::string Path(const std::string& relative) const { return m_Dir + "/" + relative; }
  // Replaces a file of the home with `content` (not atomically: fuzz targets run alone).
  void WriteFile(const std::string& relative, const std::string& content) const;

 private:
  FuzzHome();
  ~FuzzHome();
  std::string m_Dir;
};

// The input as text.
std::string AsText(const uint8_t* data, size_t size);
// The input cut at every `separator` byte into at least `parts` texts (missing ones are empty;
// anything after the last wanted separator stays in the last part).
std::vector<std::string> SplitInput(const uint8_t* data, size_t size, char separator, size_t parts);

}  // namespace fuzz
