// Language files: a module's messages by index.

#include "KVL.h"

namespace KVL {

namespace Language_Support {

CLanguageSupport::CLngFile::CLngFile(const char* fileName, uint32_t languageCode,
                                     const char* encoding, int flag,
                                     std::vector<std::string> builtinMessages)
    : m_FileName(fileName != nullptr ? fileName : ""),
      m_LanguageCode(languageCode),
      m_Encoding(encoding != nullptr ? encoding : ""),
      m_Flag(flag),
      m_Messages(std::move(builtinMessages)) {}

std::string CLanguageSupport::CLngFile::Message(size_t index) const {
  return index < m_Messages.size() ? m_Messages[index] : std::string();
}

}  // namespace Language_Support

}  // namespace KVL
