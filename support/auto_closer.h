// Owns one handle and closes it through Trait when destroyed.
#pragma once

template <class Handle, class Trait>
class Auto_Closer {
public:
    explicit Auto_Closer(Handle handle) : handle_(handle) {}
    ~Auto_Closer() { Trait::close(handle_); }

    Auto_Closer(const Auto_Closer &) = delete;
    Auto_Closer &operator=(const Auto_Closer &) = delete;

    void reset(Handle handle)
    {
        if (handle != handle_)
            Trait::close(handle_);
        handle_ = handle;
    }

    Handle get() const { return handle_; }

private:
    Handle handle_;
};
