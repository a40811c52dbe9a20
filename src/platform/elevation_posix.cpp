#include <unistd.h>

#include "platform/elevation.h"

namespace dh {

bool native_process_is_elevated() { return ::geteuid() == 0; }

}  // namespace dh
