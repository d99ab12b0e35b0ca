#pragma once

#include <string>
#include <vector>

namespace fmskins {

// The argument list: argv as given on POSIX systems; on Windows the command line as UTF-16,
// converted to the tool's inside encoding (UTF-8), so that no name is lost to the ANSI
// code page on the way in.
std::vector<std::string> argument_list(int argc, char** argv);

// True when the tool has a console window of its own, as when it is started by a
// double-click or by dropping a model on it in Explorer: that window closes as soon as the
// tool ends, before the report can be read. Never in a console shared with a shell, nor
// when input or output is redirected (a script, a pipe).
bool should_pause_before_exit(unsigned long console_processes, bool output_is_console,
                              bool input_is_console);

// On Windows, when should_pause_before_exit() holds for this process, arranges that every
// end of the run, success or failure, asks for Enter first. Does nothing elsewhere.
void pause_before_exit_if_launched_alone();

}  // namespace fmskins
