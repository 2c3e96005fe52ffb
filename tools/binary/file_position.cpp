#include "file_position.h"

#include <limits>

#ifndef _WIN32
#include <sys/types.h>
#endif

bool seek_to(std::FILE *file, std::uint64_t offset)
{
#ifdef _WIN32
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<__int64>::max()))
        return false;
    return _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
#else
    static_assert(sizeof(off_t) == 8, "file offsets must have 64 bits");
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()))
        return false;
    return ::fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}
