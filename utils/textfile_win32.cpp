// TextFile's opening, lock and truncation on Windows.
//
// The path is UTF-8 and opened through the wide call. The lock is LockFileEx
// over the whole file: it belongs to the open handle, so a second open of
// the file, in this process or another, cannot take it while the first is
// open, and it ends when the file is closed or the process ends.
#include <io.h>
#include <windows.h>

#include <cerrno>

#include "utils/textfile.h"
#include "utils/utf8path.h"

namespace {

HANDLE handleOf(std::FILE* file) { return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))); }

// Devices (NUL, a console) are shared by nature and neither locked nor cut.
bool isDiskFile(std::FILE* file) { return GetFileType(handleOf(file)) == FILE_TYPE_DISK; }

}  // namespace

namespace textfile_platform {

std::FILE* OpenForAppending(const std::string& path) { return _wfopen(PathFromUtf8(path).c_str(), L"ab"); }

int LockExclusively(std::FILE* file)
{
    if (!isDiskFile(file)) return 0;
    OVERLAPPED whole{};
    if (LockFileEx(handleOf(file), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                   &whole))
        return 0;
    const DWORD error = GetLastError();
    return error == ERROR_LOCK_VIOLATION || error == ERROR_SHARING_VIOLATION ? EWOULDBLOCK : EACCES;
}

int Truncate(std::FILE* file, std::uint64_t size)
{
    if (!isDiskFile(file)) return 0;
    return _chsize_s(_fileno(file), static_cast<long long>(size));
}

int Sync(std::FILE* file)
{
    if (!isDiskFile(file)) return 0;
    return FlushFileBuffers(handleOf(file)) ? 0 : EIO;
}

int RenameReplacing(const std::string& from, const std::string& to)
{
    // Written through: the rename is on the disk when the call returns.
    if (MoveFileExW(PathFromUtf8(from).c_str(), PathFromUtf8(to).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return 0;
    switch (GetLastError()) {
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: return EACCES;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return ENOENT;
    default: return EIO;
    }
}

}  // namespace textfile_platform
