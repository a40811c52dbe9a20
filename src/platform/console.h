// The process's own start-up settings, command line and standard output.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace dh {

// Called first thing in main(). On Windows it turns off the system's error
// dialogs for the process (SetErrorMode with SEM_FAILCRITICALERRORS and
// SEM_NOOPENFILEERRORBOX): a card pulled in the middle of a read, or a drive
// without a medium, must come back as an error, never as a "There is no disk
// in the drive" box that nobody sees and that blocks the helper until it is
// answered. PowerShell children inherit the setting. POSIX has no such
// dialogs: nothing to do there.
void suppress_system_error_dialogs();

// The arguments as UTF-8, program name first. On Windows they are read as
// UTF-16 from the process's command line and converted; `argv` is ignored.
std::vector<std::string> command_line_arguments(int argc, char** argv);

// Writes `line` and "\n" to standard output in one piece. When the process has
// no standard output the line is dropped. When the write fails (for example
// the reading end of the pipe was closed) the process exits at once with
// status 1.
void write_stdout_line(std::string_view line);

}  // namespace dh
