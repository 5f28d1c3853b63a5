#pragma once

#include <cstddef>

#include "Core/Types.h"

// 32-bit identifiers computed from strings, values and files.
//
// Names of resources, components, classes and files are turned into 32-bit
// identifiers that key most maps of the engine. The hash is MurmurHash2
// (32-bit variant): the same bytes always give the same identifier on every
// platform, because blocks are read as little-endian words whatever the host
// byte order is. Nothing here allocates memory.

// MurmurHash2 of uiLength bytes at pData with the given seed. pData may be
// null only when uiLength is 0.
uint32 MurmurHash2(const void* pData, size_t uiLength, uint32 uiSeed);

// The identifier of a string: the hash of text (without its terminating zero)
// with seed; when text2 is given, the hash of text2 seeded with that first
// result, so that ("a", "b") names "b" inside the namespace "a". A null text
// yields 0.
uint32 GenerateUIntIdFromString(const char* text, const char* text2 = nullptr, uint32 seed = 0);

// The identifier of a 64-bit value: the hash of its 8 bytes, least significant
// first.
uint32 GenerateUIntIdFromUInt64(uint64 value, uint32 seed = 0);

// The identifier of a file: the hash of all its bytes with seed 0, read in
// fixed-size chunks. Returns 0xFFFFFFFF (kInvalidIndex) when the path is not a
// regular file that can be opened and read to its end, or when its size
// changes while it is read.
uint32 GenerateUIntIdFromFile(const char* path);
