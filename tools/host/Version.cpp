#include "Version.h"

// Generated at build time; only this file recompiles when the commit changes.
#include "VarnockCommit.h"

namespace host_shell {

const char* ShellVersion() { return VARNOCK_VERSION; }

const char* BuildCommit() { return VARNOCK_COMMIT; }

}  // namespace host_shell
