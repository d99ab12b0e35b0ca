#pragma once

#include <string_view>

namespace fmskins {

// How a run ends once a failure has been reported. The tool exits the process; a harness
// that drives the model pass in-process may install a handler that unwinds instead. A
// handler must not return.
using ExitHandler = void (*)(int status);

// Installs `handler` (nullptr restores the process exit) and returns the previous one.
ExitHandler set_exit_handler(ExitHandler handler);

// A hook that is handed every FATAL message before it is printed, so that a program running
// many edits can name the failure of each (nullptr: none). Returns the previous one.
using FatalMessageHook = void (*)(std::string_view message);
FatalMessageHook set_fatal_message_hook(FatalMessageHook hook);

// Prints "\nFATAL: <message>\n" (nothing when the message is empty) and ends the run with
// `status`. Standard output is flushed by the normal process exit.
[[noreturn]] void fatal(std::string_view message, int status);

// Prints the usage text naming `program_name`, then ends the run as fatal() does.
[[noreturn]] void usage_fatal(std::string_view program_name, std::string_view message, int status);

}  // namespace fmskins
