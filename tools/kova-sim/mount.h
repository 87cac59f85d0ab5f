// Serving the module's files through a FUSE mount.
#pragma once

#include <string>

namespace kovasim {

struct MountOptions {
    std::string mountpoint;
    bool foreground = false;
    std::string fuse_options; // extra -o options, comma-separated, may be empty
};

// Whether the mount point is a directory with nothing mounted on it yet;
// prints why not.
bool check_mountpoint(const std::string &path);

// Mounts, serves until a signal or an unmount, and unmounts. The module must
// already be loaded. Returns the process's exit status.
int serve(const MountOptions &opt);

} // namespace kovasim
