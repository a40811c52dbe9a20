// The whole run of the helper for one argument list.
#pragma once

#include <string>
#include <vector>

#include "protocol/response.h"

namespace dh {

// The whole run for an argument list (program name first): finds the
// request, parses it, dispatches it and returns the response.
HelperResponse handle_arguments(const std::vector<std::string>& args);

}  // namespace dh
