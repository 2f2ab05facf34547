#include "platform/file.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace platform {
namespace {

struct Access {
    DWORD desired;
    DWORD disposition;
    int crtFlags;
    bool truncate;
};

Access AccessFor(const char* mode) {
    const bool plus = std::strchr(mode, '+') != nullptr;
    // Always bytes as written: logs and captures are the same files as on
    // Linux, and sizes counted against a limit are the sizes on disk.
    const int text = _O_BINARY;
    switch (mode[0]) {
        case 'w':
            return {GENERIC_WRITE | (plus ? GENERIC_READ : 0u), OPEN_ALWAYS,
                    (plus ? _O_RDWR : _O_WRONLY) | text, true};
        case 'a':
            return {GENERIC_WRITE | (plus ? GENERIC_READ : 0u), OPEN_ALWAYS,
                    (plus ? _O_RDWR : _O_WRONLY) | _O_APPEND | text, false};
        default:
            return {GENERIC_READ | (plus ? GENERIC_WRITE : 0u), OPEN_EXISTING,
                    (plus ? _O_RDWR : _O_RDONLY) | text, false};
    }
}

int ErrnoFor(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return EACCES;
        case ERROR_FILE_EXISTS:
            return EEXIST;
        default:
            return EIO;
    }
}

// A directory cannot be opened as a file at all, and a pipe or a device
// (COM1, CON, a named pipe) opens but is not a disk file: both are refused
// before anything is read, written or truncated.
HANDLE OpenRegular(const char* path, const Access& access, FileProblem* problem) {
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        *problem = FileProblem{true, "is a directory"};
        errno = 0;
        return INVALID_HANDLE_VALUE;
    }
    HANDLE file =
        CreateFileA(path, access.desired, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, access.disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        errno = ErrnoFor(::GetLastError());
        *problem = FileProblem{false, std::strerror(errno)};
        return INVALID_HANDLE_VALUE;
    }
    if (GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        *problem = FileProblem{true, "not a regular file"};
        errno = 0;
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

}  // namespace

FILE* OpenRegularFile(const char* path, const char* mode, FileProblem* problem) {
    if (path == nullptr || mode == nullptr || mode[0] == '\0') {
        *problem = FileProblem{false, std::strerror(EINVAL)};
        return nullptr;
    }
    const Access access = AccessFor(mode);
    HANDLE file = OpenRegular(path, access, problem);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    if (access.truncate && !SetEndOfFile(file)) {
        errno = ErrnoFor(::GetLastError());
        *problem = FileProblem{false, std::strerror(errno)};
        CloseHandle(file);
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), access.crtFlags);
    if (fd < 0) {
        *problem = FileProblem{false, std::strerror(errno)};
        CloseHandle(file);
        return nullptr;
    }
    std::string binaryMode(mode);
    if (binaryMode.find('b') == std::string::npos) binaryMode += 'b';
    FILE* stream = _fdopen(fd, binaryMode.c_str());
    if (stream == nullptr) {
        *problem = FileProblem{false, std::strerror(errno)};
        _close(fd);
    }
    return stream;
}

std::optional<std::string> ReadRegularFile(const std::string& path, size_t maxBytes,
                                           FileProblem* problem) {
    HANDLE file = OpenRegular(path.c_str(), AccessFor("rb"), problem);
    if (file == INVALID_HANDLE_VALUE) return std::nullopt;
    std::string text;
    char block[4096];
    while (text.size() <= maxBytes) {
        DWORD got = 0;
        if (!ReadFile(file, block, sizeof block, &got, nullptr)) {
            errno = ErrnoFor(::GetLastError());
            *problem = FileProblem{false, std::strerror(errno)};
            CloseHandle(file);
            return std::nullopt;
        }
        if (got == 0) break;
        text.append(block, got);
    }
    CloseHandle(file);
    if (text.size() > maxBytes + 1) text.resize(maxBytes + 1);
    return text;
}

bool PathExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// rename() of the C runtime refuses an existing target here.
bool RenameReplacing(const std::string& from, const std::string& to) {
    return MoveFileExA(from.c_str(), to.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

}  // namespace platform

namespace platform {

bool FileInFolder(const std::string& folder, const char* name, const char* extension) {
    char found[MAX_PATH];
    char* filePart = nullptr;
    DWORD length = SearchPathA(folder.c_str(), name, extension, MAX_PATH, found, &filePart);
    return length > 0 && length < MAX_PATH;
}

bool SystemDriverFilePresent(const char* name, const char* extension) {
    char system[MAX_PATH];
    UINT length = GetSystemDirectoryA(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    return FileInFolder(std::string(system, length) + "\\drivers", name, extension);
}

}  // namespace platform
