// The one exception of the persistence layer: the data-access object and the table layer throw
// it, the functions that write objects catch it. A plain value, safe to copy between threads.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace DBEXCEPTION {

class __attribute__((visibility("default"))) DatabaseException : public std::exception {
 public:
  explicit DatabaseException(std::string message) : m_Message(std::move(message)) {}
  const char* what() const noexcept override { return m_Message.c_str(); }

 private:
  std::string m_Message;
};

}  // namespace DBEXCEPTION
