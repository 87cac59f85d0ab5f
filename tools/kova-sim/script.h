// `kova-sim --script FILE`: operator steps and API calls, one per line, run
// against the module in this process (no mount).
//
// Grammar (fields separated by blanks; a line is at most 64 KiB):
//   # text              a comment; blank lines are skipped too
//   write PATH TEXT     open PATH, write TEXT with one write(), close: what
//                       `echo -n TEXT > PATH` does. TEXT is the rest of the
//                       line after one blank, with the escapes \n, \t, \r,
//                       \\, \" and \xHH decoded. Prints "write PATH = RESULT".
//   read PATH           open PATH, read until end of file or an error, close.
//                       Prints the text read, then "read PATH = TOTAL" (or
//                       the error).
//   call FUNCTION ARGS  call an exported API function; ARGS are integers
//                       (decimal, 0x hex or leading-0 octal). Prints
//                       "call FUNCTION(ARGS) = RESULT" and any values it
//                       returns through pointers. `call help` lists them.
//   attach [VERSION]    map an engine area of KOVA_SHM_SIZE bytes here and
//                       attach it through the ioctl on /dev/kova (qe_base =
//                       the area's address, VERSION default "kova-sim").
//                       Prints "attach = RESULT".
//   log                 print the kernel log since the last `log` and clear it
//   echo TEXT           print TEXT
// A PATH without a leading '/' names a debug file: create_flows stands for
// /sys/kernel/debug/kova/create_flows. A malformed line stops the script.
#pragma once

namespace kovasim {

// Runs the script (path "-" reads standard input). The module must be
// loaded; it is unloaded before this returns (an attached area is released
// only after that). Returns the exit status: 0, or 2 for a file that cannot be read or a
// malformed line.
int run_script(const char *path);

} // namespace kovasim
