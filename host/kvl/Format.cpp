// Format streams: printf-style placeholders filled one value at a time.

#include "KVL.h"

#include <cstdio>

namespace KVL {

namespace Output_Streams {

namespace {
bool IsFlag(char c) { return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLength(char c) {
  return c == 'h' || c == 'l' || c == 'L' || c == 'q' || c == 'j' || c == 'z' || c == 't' ||
         c == 'I';
}

// A parsed placeholder: flags, width and conversion letter, and where it ends.
struct Placeholder {
  bool leftAlign = false;
  bool zeroPad = false;
  size_t width = 0;
  char conversion = 0;
  size_t end = 0;  // index just past the placeholder
};

// Parses the placeholder that starts with the '%' at `pos`; conversion 0 when it is malformed.
Placeholder Parse(const std::string& format, size_t pos) {
  Placeholder p;
  size_t i = pos + 1;
  while (i < format.size() && IsFlag(format[i])) {
    if (format[i] == '-') p.leftAlign = true;
    if (format[i] == '0') p.zeroPad = true;
    ++i;
  }
  while (i < format.size() && IsDigit(format[i])) p.width = p.width * 10 + (format[i++] - '0');
  if (i < format.size() && format[i] == '.') {
    ++i;
    while (i < format.size() && IsDigit(format[i])) ++i;
  }
  while (i < format.size() && (IsLength(format[i]) || IsDigit(format[i]))) ++i;  // l, ll, I64
  if (i < format.size() && std::isalpha(static_cast<unsigned char>(format[i]))) {
    p.conversion = format[i];
    p.end = i + 1;
  }
  p.width = std::min<size_t>(p.width, 256);
  return p;
}

std::string Pad(const std::string& value, const Placeholder& p, bool numeric) {
  if (value.size() >= p.width) return value;
  const size_t fill = p.width - value.size();
  if (p.leftAlign) return value + std::string(fill, ' ');
  if (p.zeroPad && numeric) {
    const size_t sign = (!value.empty() && value[0] == '-') ? 1 : 0;
    return value.substr(0, sign) + std::string(fill, '0') + value.substr(sign);
  }
  return std::string(fill, ' ') + value;
}

std::string Hex(uint64_t value, bool upper) {
  char buffer[20];
  std::snprintf(buffer, sizeof buffer, upper ? "%llX" : "%llx",
                static_cast<unsigned long long>(value));
  return buffer;
}
}  // namespace

void CFormatStream::Begin(const char* format) {
  m_Format = format != nullptr ? format : "";
  m_Pos = 0;
  m_Out.clear();
  m_Conversion = 0;
  AppendUpToPlaceholder();
}

// Copies literal text (with "%%" as '%') up to the next placeholder, which is left pending at
// m_Pos with its conversion letter in m_Conversion.
void CFormatStream::AppendUpToPlaceholder() {
  m_Conversion = 0;
  while (m_Pos < m_Format.size()) {
    const size_t percent = m_Format.find('%', m_Pos);
    if (percent == std::string::npos) {
      m_Out.append(m_Format, m_Pos, std::string::npos);
      m_Pos = m_Format.size();
      return;
    }
    m_Out.append(m_Format, m_Pos, percent - m_Pos);
    if (percent + 1 < m_Format.size() && m_Format[percent + 1] == '%') {
      m_Out += '%';
      m_Pos = percent + 2;
      continue;
    }
    const Placeholder p = Parse(m_Format, percent);
    m_Pos = percent;
    if (p.conversion == 0) {  // a lone '%' stays as written
      m_Out.append(m_Format, percent, std::string::npos);
      m_Pos = m_Format.size();
      return;
    }
    m_Conversion = p.conversion;
    return;
  }
}

// Puts `value`, already converted, in place of the pending placeholder. A value with no
// placeholder left is dropped.
void CFormatStream::Put(const std::string& value) {
  if (m_Conversion == 0) return;
  const Placeholder p = Parse(m_Format, m_Pos);
  const bool numeric = m_Conversion != 's' && m_Conversion != 'c';
  m_Out += Pad(value, p, numeric);
  m_Pos = p.end;
  AppendUpToPlaceholder();
}

CFormatStream& CFormatStream::FormatInt(int64_t value) {
  if (m_Conversion == 'x' || m_Conversion == 'X') {
    Put(Hex(static_cast<uint64_t>(value), m_Conversion == 'X'));
  } else if (m_Conversion == 'u') {
    Put(std::to_string(static_cast<uint64_t>(value)));
  } else {
    Put(std::to_string(value));
  }
  return *this;
}

CFormatStream& CFormatStream::FormatUInt(uint64_t value) {
  if (m_Conversion == 'x' || m_Conversion == 'X')
    Put(Hex(value, m_Conversion == 'X'));
  else
    Put(std::to_string(value));
  return *this;
}

CFormatStream& CFormatStream::operator<<(const std::string& text) {
  Put(text);
  return *this;
}

CFormatStream& CFormatStream::operator<<(const char* text) {
  Put(text != nullptr ? text : "(null)");
  return *this;
}

std::string CFormatStream::Text() const {
  if (m_Conversion == 0) return m_Out;
  return m_Out + m_Format.substr(m_Pos);
}

}  // namespace Output_Streams

}  // namespace KVL
