// Selects the handler for a request's command and runs it.
#pragma once

#include "dispatch/helper_error.h"
#include "main/request.h"

namespace dh {

using Handler = HandlerResult (*)(const WindowsHelperRequest&);

// Runs the handler named by request.command (exact, case-sensitive match) and
// returns its result unchanged; an unknown command gives UNKNOWN
// "Unsupported helper command: <command>".
HandlerResult dispatch(const WindowsHelperRequest& request);

HandlerResult handle_health(const WindowsHelperRequest& request);
HandlerResult handle_cancel_task(const WindowsHelperRequest& request);

}  // namespace dh
