// Opening a file that must be an ordinary file of bounded size, without ever blocking on or reading
// anything else: image files may be named by mistake as a folder, a device or a FIFO.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

enum class TFileProblem { None, CannotOpen, Folder, NotRegular, TooLarge };

// `fileName` (UTF-8) opened for reading as bytes when it is a regular file of at most `maxBytes`;
// otherwise nullptr with `problem` set. One file per platform (uRegularFile_posix.cpp,
// uRegularFile_win32.cpp).
std::FILE* OpenRegularFile(const std::string& fileName, uint64_t maxBytes, TFileProblem& problem);
