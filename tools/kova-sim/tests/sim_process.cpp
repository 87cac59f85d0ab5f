#include "sim_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>

extern char **environ;

namespace kova_sim_test {
namespace {

void nap() { std::this_thread::sleep_for(std::chrono::milliseconds(50)); }

int status_of(int st) { return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st); }

} // namespace

long write_file(const std::string &path, const std::string &text) {
    const int fd = open(path.c_str(), O_WRONLY);
    if (fd < 0)
        return -errno;
    const long r = write(fd, text.data(), text.size());
    const long e = r < 0 ? -errno : r;
    close(fd);
    return e;
}

bool read_file(const std::string &path, std::string *out) {
    out->clear();
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return false;
    char buf[4096];
    long n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        out->append(buf, size_t(n));
    const int e = errno;
    close(fd);
    errno = e;
    return n == 0;
}

std::string read_file(const std::string &path) {
    std::string out;
    return read_file(path, &out) ? out : "(read failed)";
}

int wait_exit(pid_t pid, int seconds) {
    for (int i = 0; pid > 0; ++i) {
        int st = 0;
        if (waitpid(pid, &st, WNOHANG) == pid)
            return status_of(st);
        if (i >= seconds * 20)
            break;
        nap();
    }
    return -1;
}

Proc::Proc(std::vector<std::string> argv, std::string log) : log_(std::move(log)) {
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    std::vector<char *> args;
    for (std::string &a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], &fa, nullptr, args.data(), environ) != 0)
        pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
}

Proc::~Proc() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    unlink(log_.c_str());
}

int Proc::wait(int seconds) {
    const int status = wait_exit(pid_, seconds);
    if (status >= 0)
        pid_ = -1;
    return status;
}

bool Proc::wait_for(const std::string &text) {
    for (int i = 0; i < 60 * 20; ++i) {
        if (output().find(text) != std::string::npos)
            return true;
        if (pid_ <= 0 || waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        nap();
    }
    return false;
}

int Proc::signal(int sig) { return pid_ > 0 ? kill(pid_, sig) : -1; }

std::string Proc::output() const {
    std::ifstream f(log_);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

Sim::Sim(std::string binary) : binary_(std::move(binary)) {
    char base[] = "/tmp/kova-sim-test.XXXXXX";
    if (mkdtemp(base)) {
        dir = base;
        mnt = dir + "/mnt";
        mkdir(mnt.c_str(), 0755);
    }
}

Sim::~Sim() {
    stop();
    if (dir.empty())
        return;
    // Still mounted when kova-sim failed: do not leave a dead mount behind.
    if (rmdir(mnt.c_str()) != 0 && errno != ENOENT) {
        std::system(("fusermount3 -u -z " + mnt + " 2>/dev/null").c_str());
        rmdir(mnt.c_str());
    }
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_type == DT_REG)
                unlink((dir + "/" + e->d_name).c_str());
        closedir(d);
    }
    rmdir(dir.c_str());
}

std::string Sim::start() {
    if (dir.empty())
        return "no temporary directory";
    sim_ = std::make_unique<Proc>(std::vector<std::string>{binary_, mnt, "-f"}, dir + "/kova-sim.log");
    if (!sim_->running())
        return "cannot start " + binary_;
    struct stat st;
    for (int i = 0; i < 60 * 20; ++i) {
        if (stat(path("/kova-sim/call").c_str(), &st) == 0)
            return "";
        if (sim_->wait(0) >= 0)
            return "kova-sim exited: " + log();
        nap();
    }
    return "no mount after 60 s";
}

int Sim::stop() {
    if (!up())
        return -1;
    sim_->signal(SIGTERM);
    const int status = sim_->wait(30);
    if (status < 0) {
        sim_->signal(SIGKILL);
        sim_->wait(30);
    }
    return status;
}

int Sim::unmount() {
    if (!up() || std::system(("fusermount3 -u " + mnt).c_str()) != 0)
        return -1;
    return sim_->wait(30);
}

std::string Sim::log() const { return sim_ ? sim_->output() : ""; }

std::string Sim::call(const std::string &text) const {
    const long w = write_file(path("/kova-sim/call"), text + "\n");
    if (w != long(text.size() + 1))
        return "(write " + std::to_string(w) + ")";
    return read_file(path("/kova-sim/call"));
}

} // namespace kova_sim_test
