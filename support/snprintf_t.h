// A printf-formatted string kept in an inline buffer of N characters, moved to
// the heap only when the text does not fit.
#pragma once

#include <ace/OS_NS_stdio.h>
#include <ace/OS_NS_stdlib.h>
#include <cstdarg>
#include <cstddef>

template <size_t N, class C>
class snprintf_t {
public:
    explicit snprintf_t(const C *format, ...) __attribute__((format(printf, 2, 3)))
    {
        va_list args;
        va_start(args, format);
        vset(format, args);
        va_end(args);
    }

    ~snprintf_t()
    {
        if (ptr_)
            ACE_OS::free(ptr_);
    }

    snprintf_t(const snprintf_t &) = delete;
    snprintf_t &operator=(const snprintf_t &) = delete;

    // The formatted length, or -1 when a larger buffer could not be had (the
    // buffer then keeps the truncated text).
    int vset(const C *format, va_list args)
    {
        for (;;) {
            C *buf = data();
            size_t capacity = ptr_ ? size_ : N;
            va_list copy;
            va_copy(copy, args);
            len_ = ACE_OS::vsnprintf(buf, capacity, format, copy);
            va_end(copy);
            if (len_ < 0 || static_cast<size_t>(len_) < capacity)
                return len_;
            void *grown = ACE_OS::realloc(ptr_, (len_ + 1) * sizeof(C));
            if (!grown) {
                len_ = 0;
                return -1;
            }
            ptr_ = static_cast<C *>(grown);
            size_ = len_ + 1;
        }
    }

    C *data() { return ptr_ ? ptr_ : buf_; }
    const C *c_str() const { return ptr_ ? ptr_ : buf_; }
    int length() const { return len_; }

private:
    C buf_[N];
    int len_ = 0;
    C *ptr_ = nullptr;
    size_t size_ = 0;
};
