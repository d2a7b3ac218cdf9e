// Path composition with one separator between components and optional
// expansion of $NAME and ${NAME} from the environment.
#pragma once

#include <cstdlib>
#include <string>

#include "support/string_arg.h"

namespace kolt {

template <class C>
class Path_T {
public:
    using string_type = std::basic_string<C>;

    Path_T(C separator, bool expand_env) : sep_(separator), expand_env_(expand_env) {}

    Path_T &operator=(const string_type &path)
    {
        path_ = expand(path);
        return *this;
    }

    // Appends one component; separators at the joint collapse to one.
    Path_T &operator<<(const Basic_String_Arg<C> &component)
    {
        string_type tail = expand(component.data_);
        size_t skip = tail.find_first_not_of(sep_);
        if (skip == string_type::npos)
            return *this;
        tail.erase(0, skip);
        while (path_.size() > 1 && path_.back() == sep_)
            path_.pop_back();
        if (!path_.empty() && path_.back() != sep_)
            path_ += sep_;
        path_ += tail;
        return *this;
    }

    const C *c_str() const { return path_.c_str(); }
    const string_type &str() const { return path_; }

private:
    static bool name_char(C c)
    {
        return c == C('_') || (c >= C('0') && c <= C('9')) || (c >= C('a') && c <= C('z')) ||
               (c >= C('A') && c <= C('Z'));
    }

    static string_type env_value(const string_type &name)
    {
        const char *value = std::getenv(std::string(name.begin(), name.end()).c_str());
        std::string narrow = value ? value : "";
        return string_type(narrow.begin(), narrow.end());
    }

    string_type expand(const string_type &in) const
    {
        if (!expand_env_)
            return in;
        string_type out;
        for (size_t i = 0; i < in.size();) {
            if (in[i] != C('$') || i + 1 == in.size()) {
                out += in[i++];
                continue;
            }
            size_t start = i + 1, end;
            if (in[start] == C('{')) {
                end = in.find(C('}'), start);
                if (end == string_type::npos) {
                    out += in.substr(i);
                    break;
                }
                out += env_value(in.substr(start + 1, end - start - 1));
                i = end + 1;
                continue;
            }
            for (end = start; end < in.size() && name_char(in[end]); ++end) {
            }
            if (end == start) {
                out += in[i++];
                continue;
            }
            out += env_value(in.substr(start, end - start));
            i = end;
        }
        return out;
    }

    C sep_;
    bool expand_env_;
    string_type path_;
};

}  // namespace kolt
