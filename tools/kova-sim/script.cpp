// The script runner: each step goes through the host platform's file layer
// or calls the API directly, exactly as a kernel caller would.
#include "script.h"

#include <sys/mman.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "call.h"
#include "kova/host.h"
#include "kova/kova_shm.h"

namespace kovasim {
namespace {

std::string harness_path(const std::string &p) {
    return p[0] == '/' ? p : "/sys/kernel/debug/kova/" + p;
}

std::string result_text(long r) {
    return r < 0 ? std::to_string(r) + " (" + std::strerror(int(-r)) + ")" : std::to_string(r);
}

// Decodes the escapes of a write's text; false for a malformed escape.
bool unescape(const std::string &in, std::string *out) {
    out->clear();
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '\\') {
            *out += in[i];
            continue;
        }
        if (++i == in.size())
            return false;
        switch (in[i]) {
        case 'n':
            *out += '\n';
            break;
        case 't':
            *out += '\t';
            break;
        case 'r':
            *out += '\r';
            break;
        case '\\':
            *out += '\\';
            break;
        case '"':
            *out += '"';
            break;
        case 'x': {
            if (i + 2 >= in.size())
                return false;
            const char hex[3] = {in[i + 1], in[i + 2], '\0'};
            if (!std::isxdigit(static_cast<unsigned char>(hex[0])) ||
                !std::isxdigit(static_cast<unsigned char>(hex[1])))
                return false;
            *out += char(std::strtol(hex, nullptr, 16));
            i += 2;
            break;
        }
        default:
            return false;
        }
    }
    return true;
}

void print_log() {
    std::string log(kova_host_log_read(nullptr, 0) + 1, '\0');
    kova_host_log_read(log.data(), log.size());
    log.resize(std::strlen(log.c_str()));
    kova_host_log_clear();
    std::printf("log:\n%s", log.c_str());
    if (!log.empty() && log.back() != '\n')
        std::printf("\n");
}

// The engine area of `attach`, released after the module is unloaded.
struct Area {
    void *p = nullptr;
    ~Area() {
        if (p)
            munmap(p, KOVA_SHM_SIZE);
    }
};

class Runner {
public:
    explicit Runner(Area &area) : area_(area) {}

    // false with *why set for a malformed line.
    bool step(const std::string &line, std::string *why) {
        size_t at = line.find_first_not_of(" \t");
        if (at == std::string::npos || line[at] == '#')
            return true;
        const size_t end = line.find_first_of(" \t", at);
        const std::string cmd =
            line.substr(at, end == std::string::npos ? std::string::npos : end - at);
        const std::string rest = end == std::string::npos ? "" : line.substr(end + 1);
        std::vector<std::string> words = split(rest);
        if (cmd == "write")
            return write(rest, why);
        if (cmd == "read" && words.size() == 1)
            return read(words[0]), true;
        if (cmd == "call" && !words.empty())
            return call(rest, why);
        if (cmd == "attach" && words.size() <= 1)
            return attach(words.empty() ? "kova-sim" : words[0]), true;
        if (cmd == "log" && words.empty())
            return print_log(), true;
        if (cmd == "echo")
            return std::printf("%s\n", rest.c_str()), true;
        *why = "unknown command or wrong arguments: " + cmd;
        return false;
    }

private:
    static std::vector<std::string> split(const std::string &s) {
        std::vector<std::string> w;
        size_t at = 0;
        while ((at = s.find_first_not_of(" \t", at)) != std::string::npos) {
            const size_t end = s.find_first_of(" \t", at);
            w.push_back(s.substr(at, end == std::string::npos ? std::string::npos : end - at));
            at = end;
        }
        return w;
    }

    bool write(const std::string &rest, std::string *why) {
        const size_t sp = rest.find_first_of(" \t");
        const std::string path = rest.substr(0, sp);
        std::string text;
        if (path.empty() || !unescape(sp == std::string::npos ? "" : rest.substr(sp + 1), &text)) {
            *why = "write PATH TEXT: missing path or bad escape";
            return false;
        }
        const int fd = kova_host_open(harness_path(path).c_str());
        long r = fd;
        if (fd >= 0) {
            r = kova_host_write(fd, text.data(), text.size());
            kova_host_close(fd);
        }
        std::printf("write %s = %s\n", path.c_str(), result_text(r).c_str());
        return true;
    }

    void read(const std::string &path) {
        const int fd = kova_host_open(harness_path(path).c_str());
        long r = fd, total = 0;
        if (fd >= 0) {
            std::vector<char> buf(1 << 16);
            while ((r = kova_host_read(fd, buf.data(), buf.size())) > 0) {
                std::fwrite(buf.data(), 1, size_t(r), stdout);
                total += r;
            }
            kova_host_close(fd);
        }
        std::printf("read %s = %s\n", path.c_str(), result_text(r < 0 ? r : total).c_str());
    }

    bool call(const std::string &rest, std::string *why) {
        std::string out;
        if (!run_call(rest, &out, why))
            return false;
        std::printf("%s\n", out.c_str());
        return true;
    }

    void attach(const std::string &version) {
        long r = -ENOMEM;
        if (!area_.p) {
            void *p = mmap(nullptr, KOVA_SHM_SIZE, PROT_READ | PROT_WRITE,
                           MAP_SHARED | MAP_ANONYMOUS, -1, 0);
            area_.p = p == MAP_FAILED ? nullptr : p;
        }
        if (area_.p) {
            kova_attach_args a;
            std::memset(&a, 0, sizeof a);
            a.shm_vaddr = reinterpret_cast<uintptr_t>(area_.p);
            a.qe_base = a.shm_vaddr;
            std::snprintf(a.ucode_version, sizeof a.ucode_version, "%s", version.c_str());
            const int fd = kova_host_open("/dev/kova");
            r = fd;
            if (fd >= 0) {
                r = kova_host_ioctl(fd, KOVA_IOC_ATTACH, reinterpret_cast<unsigned long>(&a));
                kova_host_close(fd);
            }
        }
        std::printf("attach = %s\n", result_text(r).c_str());
    }

    Area &area_;
};

} // namespace

int run_script(const char *path) {
    FILE *f = std::strcmp(path, "-") == 0 ? stdin : std::fopen(path, "re");
    if (!f) {
        std::fprintf(stderr, "kova-sim: %s: %s\n", path, std::strerror(errno));
        return 2;
    }
    Area area;
    Runner runner(area);
    int status = 0;
    std::vector<char> line(1 << 16);
    for (unsigned number = 1; std::fgets(line.data(), int(line.size()), f); ++number) {
        std::string text(line.data());
        if (!text.empty() && text.back() == '\n')
            text.pop_back();
        std::string why;
        std::fflush(stdout);
        if (!runner.step(text, &why)) {
            std::fflush(stdout);
            std::fprintf(stderr, "kova-sim: %s:%u: %s\n", path, number, why.c_str());
            status = 2;
            break;
        }
    }
    if (f != stdin)
        std::fclose(f);
    std::fflush(stdout);
    // The module may still hold the area: unload before it goes away.
    kova_host_unload();
    return status;
}

} // namespace kovasim
