// `kova-sim crc`: the crc32 of a flow's header fields, for a definition.
#pragma once

namespace kovasim {

// argv holds the arguments after "crc". Prints the result; returns the exit
// status (2 for bad arguments).
int crc_command(int argc, char **argv);

} // namespace kovasim
