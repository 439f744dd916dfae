// What this build of the host shell is: its version and the commit it was built from ("unknown"
// for a build outside a git checkout). Constants, safe from any thread.
#pragma once

namespace host_shell {

// The project's version ("7.20.0").
const char* ShellVersion();
// The commit the build was made from (twelve hexadecimal digits), or "unknown".
const char* BuildCommit();

}  // namespace host_shell
