// Positions in files of any size: std::fseek and std::ftell take a long,
// which has 32 bits on Windows and cannot reach past 2 GiB there.
#ifndef ONEFILE_FILE_POSITION_H
#define ONEFILE_FILE_POSITION_H

#include <cstdint>
#include <cstdio>

// Moves `file` to `offset` bytes from its start; false on failure.
bool seek_to(std::FILE *file, std::uint64_t offset);

#endif
