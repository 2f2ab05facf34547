// Opening the files a user names (patterns, captures, configurations).
//
// A name may lead anywhere: a FIFO whose far end never opens, a terminal, a
// device without end. Opening one of those for a plain read or write can
// block the calling thread for good, so these helpers open without waiting
// and take only regular files.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

namespace platform {

// Why a file could not be opened or read.
struct FileProblem {
    bool notRegular = false;  // it exists, but as a directory, FIFO, device...
    std::string text;         // "is a directory", "not a regular file", or the system's text
};

// fopen with mode ("r", "rb", "w", "wb", "a", ...), for a regular file only.
// A writing mode creates a file that is missing. nullptr with *problem set
// otherwise; errno then holds the system's error, or 0 for a file that is
// not regular.
FILE* OpenRegularFile(const char* path, const char* mode, FileProblem* problem);

// The whole content of a regular file of at most maxBytes bytes; a longer
// file gives its first maxBytes + 1 bytes, so that the caller sees it is too
// long. nullopt with *problem set when the file cannot be read.
std::optional<std::string> ReadRegularFile(const std::string& path, size_t maxBytes,
                                           FileProblem* problem);

// Whether anything (file, folder, device) exists under the name.
bool PathExists(const std::string& path);

// Whether a file name.extension (extension with its dot) lies in folder.
bool FileInFolder(const std::string& folder, const char* name, const char* extension);

// Whether a driver file name.extension is installed in the system's drivers
// folder. A system without such a folder has none.
bool SystemDriverFilePresent(const char* name, const char* extension);

// Moves from over to, replacing a file already there in one step.
bool RenameReplacing(const std::string& from, const std::string& to);

}  // namespace platform
