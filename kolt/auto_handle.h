// Descriptor closing policy for Auto_Closer.
#pragma once

#include <unistd.h>

struct Auto_Handle_Trait {
    static constexpr int invalid_handle = -1;

    static void close(int handle)
    {
        if (handle != invalid_handle)
            ::close(handle);
    }
};
