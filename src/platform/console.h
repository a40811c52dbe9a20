// The process's own command line and standard output.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace dh {

// The arguments as UTF-8, program name first. On Windows they are read as
// UTF-16 from the process's command line and converted; `argv` is ignored.
std::vector<std::string> command_line_arguments(int argc, char** argv);

// Writes `line` and "\n" to standard output in one piece. When the process has
// no standard output the line is dropped. When the write fails (for example
// the reading end of the pipe was closed) the process exits at once with
// status 1.
void write_stdout_line(std::string_view line);

}  // namespace dh
