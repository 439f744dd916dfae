#include "StatusPage.h"

#include <cstdint>
#include <utility>

#include "HostCodes.h"

namespace host_shell {

// StatusPage.html, compiled in by the build.
extern const char kStatusPageTemplate[];

namespace {

// Where the page's script takes its codes: `const CODE = /*HOST_CODES*/{};`.
constexpr char kPlaceholder[] = "/*HOST_CODES*/{}";

// The codes the page's script uses, as a JavaScript object literal.
std::string CodesLiteral() {
  const std::pair<const char*, int64_t> codes[] = {
      {"PROP_NAME", PI::PROP_NAME},
      {"PROP_MODEL", PI::PROP_MODEL},
      {"PROP_SERIAL_NUMBER", PI::PROP_SERIAL_NUMBER},
      {"PROP_STATUS", PI::PROP_STATUS},
      {"PROP_TEMPERATURE", PI::PROP_TEMPERATURE},
      {"PROP_DRIVE_TEMPERATURE", PI::PROP_DRIVE_TEMPERATURE},
      {"PROP_AVAILABLE_SPARE", PI::PROP_AVAILABLE_SPARE},
      {"PROP_ENDURANCE_USED", PI::PROP_ENDURANCE_USED},
      {"PROP_DATA_WRITTEN", PI::PROP_DATA_WRITTEN},
      {"PROP_POWER_ON_HOURS", PI::PROP_POWER_ON_HOURS},
      {"PROP_END_OF_LIFE", PI::PROP_END_OF_LIFE},
      {"STATUS_OK", PI::STATUS_OK},
      {"STATUS_DRIVE_OK", PI::STATUS_DRIVE_OK},
      {"STATUS_WARNING", PI::STATUS_WARNING},
      {"STATUS_DRIVE_REBUILDING", PI::STATUS_DRIVE_REBUILDING},
      {"STATUS_CRITICAL", PI::STATUS_CRITICAL},
      {"SEVERITY_DEBUG", PI::SEVERITY_DEBUG},
      {"SEVERITY_INFORMATION", PI::SEVERITY_INFORMATION},
      {"SEVERITY_WARNING", PI::SEVERITY_WARNING},
      {"SEVERITY_CRITICAL", PI::SEVERITY_CRITICAL},
      {"SEVERITY_FATAL", PI::SEVERITY_FATAL},
  };
  std::string literal = "{";
  for (const auto& [name, value] : codes) {
    if (literal.size() > 1) literal += ", ";
    literal += name + std::string(": ") + std::to_string(value);
  }
  return literal + "}";
}

std::string BuildPage() {
  std::string page = kStatusPageTemplate;
  const std::string::size_type at = page.find(kPlaceholder);
  if (at != std::string::npos) page.replace(at, sizeof kPlaceholder - 1, CodesLiteral());
  return page;
}

}  // namespace

const std::string& StatusPage() {
  static const std::string page = BuildPage();
  return page;
}

}  // namespace host_shell
