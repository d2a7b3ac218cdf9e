// A borrowed view of a string's characters, used as a path component argument.
#pragma once

#include <string>

template <class C>
struct Basic_String_Arg {
    explicit Basic_String_Arg(const std::basic_string<C> &s) : data_(s.c_str()) {}

    const C *data_;
};
