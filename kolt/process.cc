#include "kolt/process.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <time.h>
#include <unistd.h>

#include "kolt/auto_handle.h"
#include "support/auto_closer.h"

namespace {

constexpr int kill_wait_ms = 5000;
constexpr int kill_poll_ms = 10;

// Reads the pid-file content; 0 with an empty text for an absent file.
int read_pid_text(const char *path, std::string &text)
{
    Auto_Closer<int, Auto_Handle_Trait> fd(::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (fd.get() < 0)
        return (errno == ENOENT || errno == ENOTDIR) ? 0 : -1;
    char buf[64];
    size_t len = 0;
    while (len < sizeof buf) {
        ssize_t n = ::read(fd.get(), buf + len, sizeof buf - len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        len += n;
    }
    text.assign(buf, len);
    return 0;
}

// A pid worth looking at: decimal digits, above 1, optionally followed by
// white space. Anything else yields 0.
pid_t parse_pid(const std::string &text)
{
    size_t digits = text.find_first_not_of("0123456789");
    if (digits == 0 || text.empty())
        return 0;
    if (digits != std::string::npos && text.find_first_not_of(" \t\r\n", digits) != std::string::npos)
        return 0;
    errno = 0;
    long value = std::strtol(text.c_str(), nullptr, 10);
    if (errno == ERANGE || value <= 1 || value > INT_MAX)
        return 0;
    return static_cast<pid_t>(value);
}

struct Proc_Status {
    bool exists = false;
    bool zombie = false;
    bool namespace_init = false;
};

Proc_Status read_status(pid_t pid)
{
    Proc_Status st;
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        st.exists = true;
        std::istringstream fields(line);
        std::string key, value, last;
        fields >> key;
        if (key == "State:") {
            fields >> value;
            st.zombie = value == "Z" || value == "X";
        } else if (key == "NSpid:") {
            int count = 0;
            while (fields >> value) {
                last = value;
                ++count;
            }
            st.namespace_init = count > 1 && last == "1";
        }
    }
    return st;
}

bool has_ended(pid_t pid)
{
    Proc_Status st = read_status(pid);
    return !st.exists || st.zombie;
}

void sleep_ms(int ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

}  // namespace

int kill_legacy_process(const char *path)
{
    std::string text;
    if (read_pid_text(path, text) != 0)
        return -1;
    pid_t pid = parse_pid(text);
    if (pid == 0)
        return 0;
    Proc_Status st = read_status(pid);
    if (!st.exists || st.zombie || !st.namespace_init)
        return 0;
    if (::kill(pid, SIGKILL) != 0)
        return errno == ESRCH ? 0 : -1;
    for (int waited = 0; waited < kill_wait_ms; waited += kill_poll_ms) {
        if (has_ended(pid))
            return 0;
        sleep_ms(kill_poll_ms);
    }
    if (has_ended(pid))
        return 0;
    errno = ETIMEDOUT;
    return -1;
}
