#include "JsonRead.h"

#include <cstring>
#include <locale>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include <boost/convert.hpp>
#include <boost/convert/stream.hpp>
#include <boost/optional.hpp>

namespace NAMESPACE_Varnock {
namespace JsonRead {

namespace {

bool NamePrefixEquals(const rapidjson::Value& name, const char* wanted, bool wholeName) {
  if (!name.IsString()) return false;
  const size_t length = std::strlen(wanted);
  if (name.GetStringLength() < length) return false;
  if (wholeName && name.GetStringLength() != length) return false;
  // Each character's upper case by the global locale, looked up once per name rather than once
  // per character; equal bytes need no look-up.
  const std::ctype<char>& ctype = std::use_facet<std::ctype<char>>(std::locale());
  const char* text = name.GetString();
  for (size_t i = 0; i < length; ++i)
    if (text[i] != wanted[i] && ctype.toupper(text[i]) != ctype.toupper(wanted[i])) return false;
  return true;
}

// Hexadecimal converters kept for reuse: making a converter's stream costs more than a
// conversion. A pool rather than one per thread: with the Windows toolchain a thread-local
// object's storage is freed at thread exit before its destructor runs, which then writes into
// the freed heap.
class HexConverters {
 public:
  std::unique_ptr<boost::cnv::cstream> Take() {
    {
      std::lock_guard<std::mutex> lock(m_Mutex);
      if (!m_Idle.empty()) {
        std::unique_ptr<boost::cnv::cstream> kept = std::move(m_Idle.back());
        m_Idle.pop_back();
        return kept;
      }
    }
    auto made = std::make_unique<boost::cnv::cstream>();
    (*made)(std::hex)(std::skipws);
    return made;
  }
  void Give(std::unique_ptr<boost::cnv::cstream> converter) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Idle.push_back(std::move(converter));
  }

 private:
  std::mutex m_Mutex;
  std::vector<std::unique_ptr<boost::cnv::cstream>> m_Idle;  // at most one per thread at once
};

bool ReadHex(const char* text, uint64_t& out) {
  // Stream extraction in hexadecimal mode, leading white space skipped; the converter fails
  // when extraction fails or any character is left over, and each conversion starts from a
  // clean state.
  static HexConverters converters;
  std::unique_ptr<boost::cnv::cstream> converter = converters.Take();
  const boost::optional<uint64_t> value = boost::convert<uint64_t>(text, *converter);
  converters.Give(std::move(converter));
  if (!value) return false;
  out = *value;
  return true;
}

}  // namespace

bool SectionNameMatches(const rapidjson::Value& name, const char* wanted) {
  return NamePrefixEquals(name, wanted, false);
}

bool NameEquals(const rapidjson::Value& name, const char* wanted) {
  return NamePrefixEquals(name, wanted, true);
}

bool Read(const rapidjson::Value& section, const char* key, Kind kind, Reading& reading) {
  if (!section.IsObject()) return false;
  const auto member = section.FindMember(key);
  if (member == section.MemberEnd()) return false;
  const rapidjson::Value& value = member->value;
  reading.kind = kind;
  // RapidJSON keeps a number written with a fraction or an exponent (12.0, 1e3) as a double,
  // which none of the integer tests accept.
  switch (kind) {
    case Kind::kText:
      if (!value.IsString()) return false;
      reading.text = value.GetString();  // up to the first NUL
      return true;
    case Kind::kFlag:
      if (!value.IsBool()) return false;
      reading.flag = value.GetBool();
      return true;
    case Kind::kSigned:
      if (!value.IsInt()) return false;
      reading.signedNumber = value.GetInt();
      return true;
    case Kind::kUnsigned:
      if (!value.IsUint()) return false;
      reading.unsignedNumber = value.GetUint();
      return true;
    case Kind::kLargeUnsigned:
      if (!value.IsUint64()) return false;
      reading.unsignedNumber = value.GetUint64();
      return true;
    case Kind::kHexCounter:
      return value.IsString() && ReadHex(value.GetString(), reading.unsignedNumber);
  }
  return false;
}

namespace {

template <typename Number>
Number AsNumber(const Reading& reading) {
  return reading.kind == Kind::kSigned ? static_cast<Number>(reading.signedNumber)
                                       : static_cast<Number>(reading.unsignedNumber);
}

}  // namespace

void Assign(std::string& field, const Reading& reading) {
  field = reading.kind == Kind::kText ? reading.text : std::to_string(reading.signedNumber);
}
void Assign(bool& field, const Reading& reading) { field = reading.flag; }
void Assign(int32_t& field, const Reading& reading) { field = AsNumber<int32_t>(reading); }
void Assign(uint32_t& field, const Reading& reading) { field = AsNumber<uint32_t>(reading); }
void Assign(uint64_t& field, const Reading& reading) { field = AsNumber<uint64_t>(reading); }

Shown Show(const std::string& field) {
  Shown shown;
  shown.text = field;
  return shown;
}

Shown Show(bool field) {
  Shown shown;
  shown.text = field ? "true" : "false";
  return shown;
}

Shown Show(int32_t field) {
  Shown shown;
  shown.isNumber = true;
  shown.isSigned = true;
  shown.signedNumber = field;
  return shown;
}

Shown Show(uint32_t field) { return Show(static_cast<uint64_t>(field)); }

Shown Show(uint64_t field) {
  Shown shown;
  shown.isNumber = true;
  shown.unsignedNumber = field;
  return shown;
}

}  // namespace JsonRead
}  // namespace NAMESPACE_Varnock
