// File system helpers: recursive directory creation and an output file stream
// over a plain descriptor (open flags and mode under the caller's control).
#pragma once

#include <functional>
#include <ostream>
#include <streambuf>
#include <vector>

// Creates `path` and its missing parents with `mode` (before umask). `created`,
// when set, is called with each directory made and may veto by returning false.
// 0 on success, an existing directory included; -1 with errno otherwise.
int mkdir_p(const char *path, unsigned mode, const std::function<bool(const char *)> &created);

class ACE_ofstream : public std::ostream {
public:
    explicit ACE_ofstream(size_t buffer_size = 8192);
    ~ACE_ofstream() override;

    ACE_ofstream(const ACE_ofstream &) = delete;
    ACE_ofstream &operator=(const ACE_ofstream &) = delete;

    // 0, or -1 with last_error() set.
    int open(const char *path, int flags, int mode, bool makedirs);
    // Writes what is buffered and closes the descriptor: 0, or -1 with
    // last_error() set. Destruction does the same without reporting.
    int close();
    int last_error() const { return buf_.error; }

private:
    struct Fd_Buf : std::streambuf {
        explicit Fd_Buf(size_t size);
        int_type overflow(int_type c) override;
        int sync() override;
        int drain();

        std::vector<char> space;
        int fd = -1;
        int error = 0;
    };

    Fd_Buf buf_;
};
