// The checksum of the POSIX cksum utility (CRC-32 with polynomial
// 0x04C11DB7 over the bytes and then the length), which every Unix host can
// compute on a file the installer copied there.
#pragma once

#include "model/Str.h"

// "CRC SIZE" of the file at path as `cksum < path` prints it (without the
// newline); empty when the file cannot be read.
Str posixCksumOfFile(const Str& path);

// The same for bytes in memory.
Str posixCksum(const char* data, long length);
