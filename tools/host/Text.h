// Words for what the plug-in hands the host: error codes, severities, property names and
// values with their units, event lines, times. Pure functions, safe from any thread; value and
// unit words come from the host's plug-in interface library.
#pragma once

#include <cstdint>
#include <string>

#include "PI.h"

namespace host_shell {

// "success", "no object with that ID" ...; "error N" for a code the host does not know.
std::string ErrorText(int64_t code);
// "Information", "Warning", "Critical"; "severity N" otherwise.
std::string SeverityText(uint32_t severity);
// A short name for a property ID ("Status", "Temperature"); empty when the shell has none.
std::string PropertyName(uint32_t id);
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
