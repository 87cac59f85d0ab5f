// One call of an exported API function, named with its arguments as text:
// what the script's `call` step and the mount's kova-sim/call file run.
#pragma once

#include <string>

namespace kovasim {

// `text` is "FUNCTION ARG..." separated by blanks (a trailing newline is
// fine); the arguments are integers (decimal, 0x hex or leading-0 octal).
// Makes the call in this process and sets *out to one line without a
// newline, "call FUNCTION(ARG, ...) = RESULT" followed by any values the
// function returns through pointers. "help" sets *out to the list of
// functions, one per line. False, with *why set and nothing called, for an
// unknown function, a wrong number of arguments or a word that is not an
// integer.
bool run_call(const std::string &text, std::string *out, std::string *why);

} // namespace kovasim
