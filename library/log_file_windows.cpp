// The log on Windows: text mode, shared with no other opener while it is open.
#include <share.h>

#include "library/log.h"

namespace velk::library {

std::FILE* openExclusiveLog(const char* name) {
  return _fsopen(name, "w", _SH_DENYRW);
}

}  // namespace velk::library
