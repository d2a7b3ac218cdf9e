#include "kolt/rand.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/random.h>
#include <unistd.h>

#include "kolt/auto_handle.h"
#include "support/auto_closer.h"

namespace kolt {
namespace {

std::string alphabet(unsigned set)
{
    std::string chars;
    if (set & RCS_NUM)
        chars += "0123456789";
    if (set & RCS_LOWER)
        chars += "abcdefghijklmnopqrstuvwxyz";
    if (set & RCS_UPPER)
        chars += "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    return chars;
}

// Kernels older than 3.17 have no getrandom(); /dev/urandom serves there.
bool urandom_byte(unsigned char *byte)
{
    Auto_Closer<int, Auto_Handle_Trait> fd(::open("/dev/urandom", O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0)
        return false;
    ssize_t n;
    do
        n = ::read(fd.get(), byte, 1);
    while (n < 0 && errno == EINTR);
    return n == 1;
}

bool random_byte(unsigned char *byte)
{
    for (;;) {
        ssize_t n = ::getrandom(byte, 1, 0);
        if (n == 1)
            return true;
        if (n < 0 && errno == ENOSYS)
            return urandom_byte(byte);
        if (n < 0 && errno != EINTR)
            return false;
    }
}

}  // namespace

char rand_char(unsigned set)
{
    const std::string chars = alphabet(set);
    if (chars.empty())
        return '\0';
    // Rejection sampling keeps the draw uniform over the alphabet.
    const unsigned limit = 256 - 256 % chars.size();
    unsigned char byte;
    do {
        if (!random_byte(&byte))
            return '\0';
    } while (byte >= limit);
    return chars[byte % chars.size()];
}

}  // namespace kolt
