// Words for what the plug-in hands the host: error codes, severities, property names and
// values with their units, event lines, times. Pure functions, safe from any thread; value and
// unit words come from the host's plug-in interface library.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "PI.h"

namespace host_shell {

// "success", "no object with that ID" ...; "error N" for a code the host does not know.
std::string ErrorText(int64_t code);
// "Information", "Warning", "Critical"; "severity N" otherwise.
std::string SeverityText(uint32_t severity);
// A short name for a property ID ("Status", "Temperature"); empty when the shell has none.
std::string PropertyName(uint32_t id);
// Every property ID whose short name is `name`, compared without case, blanks, hyphens and
// underscores ("temperature", "power-on-hours", "SpareThreshold"); several models show one
// quantity under two IDs. Empty when no property has that name.
std::vector<uint32_t> PropertyIdsNamed(const std::string& name);
// The property's number, whatever kind carries it (a float as the shortest double that prints
// like the float); false when it carries none.
bool PropertyNumber(const PI::CProperty& property, double& value);
// A value in its base unit, so that readers never convert units: sizes in bytes, times in
// seconds, temperatures in celsius, percentages as a ratio of 1. `field` is the unit's word.
struct BaseValue {
  const char* field;  // "bytes", "seconds", "celsius" or "ratio"
  double value;       // sizes rounded to whole bytes
};
// False when the property carries no number or its unit has no base unit.
bool ToBaseUnit(const PI::CProperty& property, BaseValue& base);
// The serial number an event is about: the serial of its adapter or drive, else the one its
// source names in parentheses ("... Adapter (PHLJ904100AB1P0FGN)"); empty when neither does.
std::string EventSerial(const PI::CEvent& event, const std::string& objectName);
// The property's value in words with its unit ("OK", "41 °C", "1.6 TB", "97 %").
std::string ValueText(const PI::CProperty& property);
// The host's text for an event code ("event" for a code nobody knows).
std::string EventMessage(uint32_t code);
// A time in milliseconds since 1970 as local "YYYY-MM-DD HH:MM:SS".
std::string TimeText(uint64_t ms);
// One readable line for an event: time, severity, object, message with code, source and
// placeholders.
std::string EventLine(const PI::CEvent& event, const std::string& objectName, bool colour);
// A float with at most two decimals and no trailing zeros ("41", "1.6").
std::string ShortNumber(double value);
// Width of a UTF-8 text on a terminal (one column per code point).
size_t DisplayWidth(const std::string& text);
// The text as valid UTF-8: each byte that does not belong to a well-formed sequence becomes
// U+FFFD. Text from the tool is data of unknown encoding; what the shell serves is UTF-8.
std::string ValidUtf8(const std::string& text);
// ValidUtf8, with control characters (C0, DEL, C1) spelled "\x1b" or "\u009b", so a text from a
// drive cannot move the cursor, clear the screen or start a line of its own.
std::string TerminalText(const std::string& text);

// Terminal colours (ANSI).
constexpr const char* kRed = "\x1b[31m";
constexpr const char* kGreen = "\x1b[32m";
constexpr const char* kYellow = "\x1b[33m";
constexpr const char* kBold = "\x1b[1m";
constexpr const char* kReset = "\x1b[0m";
// The colour of an adapter or drive status value (OK green, degraded yellow, failed red).
const char* StatusColour(int32_t status);
// The colour of an event severity (warnings yellow, critical red, none otherwise).
const char* SeverityColour(uint32_t severity);

}  // namespace host_shell
