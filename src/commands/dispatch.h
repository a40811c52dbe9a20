// Selects the handler for a request's command and runs it.
#pragma once

#include <string_view>
#include <vector>

#include "protocol/helper_error.h"
#include "protocol/request.h"

namespace dh {

using Handler = HandlerResult (*)(const WindowsHelperRequest&);

// Runs the handler named by request.command (exact, case-sensitive match)
// through run_handler; an unknown command gives UNKNOWN "Unsupported helper
// command: <command>".
HandlerResult dispatch(const WindowsHelperRequest& request);

// The handler's result unchanged; an exception that escapes it (memory
// exhausted, a thread that cannot start) becomes UNKNOWN with the
// exception's text, so the request still gets its one answer.
HandlerResult run_handler(Handler handler, const WindowsHelperRequest& request);

// The name of every command dispatch() knows, in table order.
std::vector<std::string_view> command_names();

HandlerResult handle_health(const WindowsHelperRequest& request);
HandlerResult handle_cancel_task(const WindowsHelperRequest& request);

}  // namespace dh
