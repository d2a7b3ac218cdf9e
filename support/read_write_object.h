// Writing one object to a file through a buffered descriptor stream.
#pragma once

#include <ace/Log_Msg.h>
#include <cerrno>
#include <ostream>

#include "kolt/fs.h"

using open_flags_t = int;

template <class T>
bool visit_write_object(std::ostream &out, const T &obj)
{
    out << obj;
    return out.good();
}

// On failure errno holds the cause, whether or not it was logged.
template <class Visitor>
bool write_visitor(const char *path, Visitor &&visitor, int perms, bool eol, open_flags_t flags, bool makedirs,
                   bool logging)
{
    ACE_ofstream out(8192);
    if (out.open(path, flags, perms, makedirs) != 0) {
        errno = out.last_error();
        if (logging)
            ACE_ERROR((LM_ERROR, "Failed to open %s for writing, errno=%d, %m\n", path, errno));
        return false;
    }
    bool ok = visitor(out);
    if (ok && eol) {
        out << std::endl;
        ok = out.good();
    }
    // Small objects stay in the buffer until here, so this is where a full or
    // failing disk shows.
    if (out.close() != 0)
        ok = false;
    if (!ok) {
        errno = out.last_error() ? out.last_error() : EIO;
        if (logging)
            ACE_ERROR((LM_ERROR, "Failed to write %s, errno=%d, %m\n", path, errno));
    }
    return ok;
}

template <class T>
bool write_object(const char *path, const T &obj, int perms, bool eol, open_flags_t flags, bool makedirs,
                  bool logging)
{
    return write_visitor(
        path, [&obj](std::ostream &out) { return visit_write_object(out, obj); }, perms, eol, flags, makedirs,
        logging);
}
