// The status page of serve: StatusPage.html with the host codes its script names filled in
// from HostCodes.h, so the page and the shell cannot disagree on a number.
#pragma once

#include <string>

namespace host_shell {

// The page as served; built once, safe from any thread.
const std::string& StatusPage();

}  // namespace host_shell
