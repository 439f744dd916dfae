// Reading the vendor tool's parsed JSON output (ToolOutput parses it): recognising sections by
// name, and taking values of a given kind out of a section into a record through a table of
// keys. Stateless functions; a document must be used by one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include <rapidjson/document.h>

namespace NAMESPACE_Varnock {
namespace JsonRead {

// The section test: true when the member name starts with `wanted`, comparing each character
// after upper-case mapping by the process's global locale.
bool SectionNameMatches(const rapidjson::Value& name, const char* wanted);
// The same comparison applied to the whole name.
bool NameEquals(const rapidjson::Value& name, const char* wanted);

// Kinds of values the tool prints.
enum class Kind {
  kText,           // string; stored up to its first NUL
  kFlag,           // true or false
  kSigned,         // integer without fraction or exponent that fits 32 bits signed
  kUnsigned,       // such an integer that fits 32 bits unsigned
  kLargeUnsigned,  // such an integer, not negative, that fits 64 bits
  kHexCounter,     // string that reads wholly as a hexadecimal 64-bit number
};

// A field of a record that a key fills.
template <typename Record>
using Field = std::variant<std::string Record::*, bool Record::*, int32_t Record::*,
                           uint32_t Record::*, uint64_t Record::*>;

// One row of a key table: the key's exact name, its kind and the field it fills. A signed
// number stored into a text field becomes its decimal text.
template <typename Record>
struct KeyRow {
  const char* key;
  Kind kind;
  Field<Record> field;
};

// A value read out of a section; which member is meaningful depends on the kind.
struct Reading {
  Kind kind = Kind::kText;
  std::string text;
  bool flag = false;
  int32_t signedNumber = 0;
  uint64_t unsignedNumber = 0;
};

// Looks `key` up by its exact name in `section` (an object) and reads it as `kind`. False when
// the key is missing or its value is not of that kind.
bool Read(const rapidjson::Value& section, const char* key, Kind kind, Reading& reading);

// A stored field as a trace shows it: a text (texts, and flags as "true"/"false") or a number.
struct Shown {
  bool isNumber = false;
  bool isSigned = false;
  std::string text;
  int64_t signedNumber = 0;
  uint64_t unsignedNumber = 0;
};

void Assign(std::string& field, const Reading& reading);
void Assign(bool& field, const Reading& reading);
void Assign(int32_t& field, const Reading& reading);
void Assign(uint32_t& field, const Reading& reading);
void Assign(uint64_t& field, const Reading& reading);

Shown Show(const std::string& field);
Shown Show(bool field);
Shown Show(int32_t field);
Shown Show(uint32_t field);
Shown Show(uint64_t field);

// Reads the row's key out of `section` into the row's field of `record`. Returns true when the
// value was taken; otherwise the field is left as it was.
template <typename Record>
bool ReadInto(const rapidjson::Value& section, const KeyRow<Record>& row, Record& record) {
  Reading reading;
  if (!Read(section, row.key, row.kind, reading)) return false;
  std::visit([&](auto member) { Assign(record.*member, reading); }, row.field);
  return true;
}

// The row's field of `record` as a trace shows it.
template <typename Record>
Shown ShowField(const KeyRow<Record>& row, const Record& record) {
  return std::visit([&](auto member) { return Show(record.*member); }, row.field);
}

}  // namespace JsonRead
}  // namespace NAMESPACE_Varnock
