// Child processes for the kova-sim tests and benchmarks: a process with its
// output in a file, and kova-sim serving a fresh temporary mount.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace kova_sim_test {

// What `echo -n text > path` does; the write's result, or -errno.
long write_file(const std::string &path, const std::string &text);
// What `cat path` does; false when open or a read fails.
bool read_file(const std::string &path, std::string *out);
// The whole file; "(read failed)" when open or a read fails.
std::string read_file(const std::string &path);

// Waits up to `seconds` for pid; its exit status (128 + signal when killed),
// -1 if it did not exit.
int wait_exit(pid_t pid, int seconds);

// A child process with stdout and stderr in a file; killed and reaped, and
// the file removed, at the end if it is still running.
class Proc {
  public:
    Proc(std::vector<std::string> argv, std::string log);
    ~Proc();
    Proc(const Proc &) = delete;
    Proc &operator=(const Proc &) = delete;

    // Its exit status, -1 if still running after `seconds`.
    int wait(int seconds);
    // Waits until its output holds `text`; false if it exits or 60 s pass first.
    bool wait_for(const std::string &text);
    // kill(2) on it; -1 once it is gone.
    int signal(int sig);
    std::string output() const;
    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

  private:
    std::string log_;
    pid_t pid_ = -1;
};

// A fresh directory with kova-sim (`binary`) serving dir/mnt. At the end it
// is stopped (and the mount dropped if that fails), the files left in dir are
// removed and so is dir.
class Sim {
  public:
    explicit Sim(std::string binary);
    ~Sim();
    Sim(const Sim &) = delete;
    Sim &operator=(const Sim &) = delete;

    // "" once the mount serves, or why not.
    std::string start();
    // SIGTERM; the exit status, -1 if it did not exit (then it is killed).
    int stop();
    // fusermount3 -u; kova-sim's exit status, -1 if either failed.
    int unmount();
    bool up() const { return sim_ && sim_->running(); }
    pid_t pid() const { return sim_ ? sim_->pid() : -1; }

    std::string path(const std::string &rel) const { return mnt + rel; }
    std::string debug(const std::string &name) const { return mnt + "/sys/kernel/debug/kova/" + name; }
    // What kova-sim wrote to stdout and stderr.
    std::string log() const;
    // The line a write of `text` to the call file leaves there to read.
    std::string call(const std::string &text) const;

    std::string dir, mnt;

  private:
    std::string binary_;
    std::unique_ptr<Proc> sim_;
};

} // namespace kova_sim_test

// In a test: start `sim`, skipping where FUSE mounts are not possible.
#define KOVA_SIM_START_OR_SKIP(sim)                                                           \
    do {                                                                                      \
        if (access("/dev/fuse", R_OK | W_OK) != 0)                                            \
            GTEST_SKIP() << "/dev/fuse is not usable here";                                   \
        const std::string why = (sim).start();                                                \
        if (why.find("cannot mount") != std::string::npos)                                    \
            GTEST_SKIP() << why;                                                              \
        ASSERT_EQ(why, "");                                                                   \
    } while (0)
