// Binds a raw pointer to a cleanup function: the cleanup runs when the
// returned holder is destroyed, unless release() was called first.
#pragma once

#include <memory>

template <class T, class Deleter>
std::unique_ptr<T, Deleter> make_deleter(T *pointer, Deleter deleter)
{
    return std::unique_ptr<T, Deleter>(pointer, deleter);
}
