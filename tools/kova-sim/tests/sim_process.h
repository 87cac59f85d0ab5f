// Child processes for the tools' tests and the benchmarks: a program with its
// output in a file, and kova-sim serving a fresh temporary mount.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace kova_sim_test {

// The whole file, as `cat path` prints it; "(read failed)" if it cannot be opened.
inline std::string read_file(const std::string &path) {
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return in ? s.str() : "(read failed)";
}

// A child process with stdout and stderr in the file `log`; killed at the end.
struct Proc {
    Proc(std::vector<std::string> argv, std::string file) : log(std::move(file)) {
        std::vector<char *> args(argv.size() + 1); // ends in a null pointer
        for (size_t i = 0; i < argv.size(); ++i)
            args[i] = argv[i].data();
        const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if ((pid = fork()) == 0)
            dup2(fd, 1), dup2(fd, 2), execv(args[0], args.data()), _exit(127);
        close(fd);
    }
    ~Proc() {
        if (pid > 0 && kill(pid, SIGKILL) == 0)
            waitpid(pid, nullptr, 0);
        unlink(log.c_str());
    }
    // Sends `sig` if given and waits up to `seconds` for the exit status (128
    // + signal when killed); -1 if it runs on, -2 once `text` is in its output.
    int wait(int seconds, int sig = 0, const std::string &text = "") {
        for (int i = 0, st; pid > 0 && (sig == 0 || kill(pid, sig) == 0);
             ++i, sig = 0, usleep(10000))
            if (waitpid(pid, &st, WNOHANG) == pid)
                return pid = -1, WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            else if (!text.empty() && output().find(text) != std::string::npos)
                return -2;
            else if (i >= seconds * 100)
                break;
        return -1;
    }
    std::string output() const { return read_file(log); }

    std::string log;
    pid_t pid = -1;
};

// A command (words apart by blanks) run to its end, at most 120 s: "status output".
inline std::string run(const std::string &command) {
    std::istringstream in(command);
    Proc p({std::istream_iterator<std::string>(in), {}},
           "/tmp/kova-tool-test-" + std::to_string(getpid()) + ".out");
    const int status = p.wait(120);
    return std::to_string(status) + " " + p.output();
}

// kova-sim (`binary`) serving dir/mnt, in a fresh directory removed at the end.
struct Sim {
    explicit Sim(std::string binary) {
        char base[] = "/tmp/kova-sim-test.XXXXXX";
        dir = mkdtemp(base) ? base : "/nonexistent", mnt = dir + "/mnt";
        mkdir(mnt.c_str(), 0755);
        sim = std::make_unique<Proc>(std::vector<std::string>{binary, mnt, "-f"},
                                     dir + "/kova-sim.log");
    }
    ~Sim() {
        if (sim->wait(30, SIGTERM) != 0) // the mount of a kova-sim that did not end well
            std::system(("fusermount3 -u -z " + mnt + " 2>/dev/null").c_str());
        std::system(("rm -rf --one-file-system " + dir).c_str());
    }
    // "" once the mount serves, or why not.
    std::string start() {
        struct stat st;
        for (int i = 0; i < 60 * 100 && sim->wait(0) < 0 && sim->pid > 0; ++i, usleep(10000))
            if (stat((mnt + "/kova-sim/call").c_str(), &st) == 0)
                return "";
        return "kova-sim ended or did not mount: " + sim->output();
    }
    pid_t pid() const { return sim->pid; }
    std::string debug(const std::string &f) const { return mnt + "/sys/kernel/debug/kova/" + f; }

    std::string dir, mnt;
    std::unique_ptr<Proc> sim;
};

} // namespace kova_sim_test
