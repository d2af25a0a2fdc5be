#include <chrono>
#include <thread>
#include <windows.h>

#include "durablefile.h"
#include "utils/errors.h"
#include "utils/utf8path.h"

namespace collect {
namespace {

// The system's own words for `error` ("The system cannot find the path
// specified"), as UTF-8, without the full stop and line end it ends with.
std::string SystemMessage(DWORD error)
{
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring words(text != nullptr ? text : L"", length);
    if (text != nullptr) LocalFree(text);
    while (!words.empty() &&
           (words.back() == L'\r' || words.back() == L'\n' || words.back() == L' ' || words.back() == L'.'))
        words.pop_back();
    // A number the system has no words for is still told.
    if (words.empty()) return "system error " + std::to_string(error);
    return Utf8FromPath(std::filesystem::path(words));
}

// Raises the failure of the last call, naming the file as the user knows it.
[[noreturn]] void Fail(const std::string& what, const std::string& path)
{
    const DWORD error = GetLastError();
    throw EInOutError("Cannot " + what + " " + path + ": " + SystemMessage(error));
}

// Closes a handle on every way out.
class Handle {
public:
    explicit Handle(HANDLE handle) : m_handle(handle) {}
    ~Handle()
    {
        if (m_handle != INVALID_HANDLE_VALUE) CloseHandle(m_handle);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return m_handle; }
    void close()
    {
        if (m_handle != INVALID_HANDLE_VALUE) CloseHandle(m_handle);
        m_handle = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE m_handle;
};

// Other programs may read, write, rename or delete the file meanwhile, as an
// importer taking Dump.Txt away would.
HANDLE OpenShared(const std::string& path, DWORD access, DWORD disposition)
{
    return CreateFileW(PathFromUtf8(path).c_str(), access,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

namespace {

// WriteFileDurably, its failures naming the file as `shown`: the file the
// user named, where `path` is the temporary file written beside it.
void WriteDurably(const std::string& path, std::string_view content, const std::string& shown)
{
    Handle file(OpenShared(path, GENERIC_WRITE, CREATE_ALWAYS));
    if (file.get() == INVALID_HANDLE_VALUE) Fail("create", shown);
    DWORD written = 0;
    if (!WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr) ||
        written != content.size() || !FlushFileBuffers(file.get())) {
        // A short write without an error is a full disk.
        const DWORD error = GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_DISK_FULL;
        file.close();
        DeleteFileW(PathFromUtf8(path).c_str());
        SetLastError(error);
        Fail("write", shown);
    }
}

}  // namespace

void WriteFileDurably(const std::string& path, std::string_view content)
{
    WriteDurably(path, content, path);
}

void ReplaceFileDurably(const std::string& path, std::string_view content)
{
    const std::string temporary = path + ".part";
    WriteDurably(temporary, content, path);
    ReplaceFileWith(path, temporary);
}

// The rename is written through to the disk; NTFS keeps the folder's entries
// in its journal, so there is no separate flush of the folder.
void ReplaceFileWith(const std::string& path, const std::string& written)
{
    const auto giveUp = [&](const std::string& what, const std::string& name) {
        const DWORD error = GetLastError();
        DeleteFileW(PathFromUtf8(written).c_str());
        SetLastError(error);
        Fail(what, name);
    };
    {
        Handle file(OpenShared(written, GENERIC_WRITE, OPEN_EXISTING));
        if (file.get() == INVALID_HANDLE_VALUE || !FlushFileBuffers(file.get())) giveUp("write", path);
    }
    if (!MoveFileExW(PathFromUtf8(written).c_str(), PathFromUtf8(path).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        giveUp("replace", path);
}

bool RenameFile(const std::string& from, const std::string& to)
{
    if (MoveFileExW(PathFromUtf8(from).c_str(), PathFromUtf8(to).c_str(), MOVEFILE_WRITE_THROUGH))
        return true;
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return false;
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) {
        if (GetFileAttributesW(PathFromUtf8(from).c_str()) == INVALID_FILE_ATTRIBUTES &&
            GetLastError() == ERROR_FILE_NOT_FOUND)
            return false;
        throw EInOutError("Cannot rename " + from + " to " + to + ": " + to +
                          " already exists; it is never replaced");
    }
    SetLastError(error);
    Fail("rename " + from + " to", to);
}

void SyncFolder(const std::string&) {}

std::optional<std::string> NetworkFileSystemOf(const std::string& folder)
{
    std::filesystem::path name = PathFromUtf8(folder);
    const std::wstring path = name.make_preferred().wstring();
    const auto startsWith = [&](const wchar_t* prefix) { return path.rfind(prefix, 0) == 0; };
    // \\server\share\..., also written \\?\UNC\server\share\...; \\?\C:\ and
    // \\.\ devices are local names.
    if (startsWith(L"\\\\?\\UNC\\") ||
        (startsWith(L"\\\\") && !startsWith(L"\\\\?\\") && !startsWith(L"\\\\.\\")))
        return "network share";
    // The root of the volume the folder lies on, which is a mapped drive's
    // letter or the folder a volume is mounted on.
    wchar_t root[MAX_PATH + 1] = {};
    if (!GetVolumePathNameW(path.c_str(), root, MAX_PATH)) return std::nullopt;
    if (GetDriveTypeW(root) == DRIVE_REMOTE) return "network drive";
    return std::nullopt;
}

FolderLock::~FolderLock()
{
    if (m_handle != -1) CloseHandle(reinterpret_cast<HANDLE>(m_handle));
}

bool FolderLock::Acquire(const std::string& path, double waitSeconds, const std::function<bool()>& giveUp)
{
    // Without FILE_SHARE_DELETE nobody can delete, rename or replace the lock
    // file while this handle is open; other runs open it (to try the lock)
    // with the same sharing.
    HANDLE file =
        CreateFileW(PathFromUtf8(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) Fail("create the lock file", path);
    m_handle = reinterpret_cast<std::intptr_t>(file);
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<long long>(waitSeconds * 1000));
    for (;;) {
        OVERLAPPED whole{};
        if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &whole))
            return true;
        if (GetLastError() != ERROR_LOCK_VIOLATION) Fail("lock", path);
        if (std::chrono::steady_clock::now() >= deadline || (giveUp && giveUp())) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

std::string HostName()
{
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
    if (!GetComputerNameW(name, &length)) return {};
    return Utf8FromPath(std::filesystem::path(std::wstring(name, length)));
}

std::string MachineIdentity()
{
    // The 64-bit view of the registry, which a 32-bit program would
    // otherwise not see.
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Cryptography", 0,
                      KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return {};
    wchar_t value[128] = {};
    DWORD type = 0, size = sizeof value - sizeof value[0];
    const LONG read =
        RegQueryValueExW(key, L"MachineGuid", nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    if (read != ERROR_SUCCESS || type != REG_SZ) return {};
    return Utf8FromPath(std::filesystem::path(std::wstring(value)));
}

bool SameFolderName(const std::string& a, const std::string& b)
{
    const std::wstring first = PathFromUtf8(a).wstring(), second = PathFromUtf8(b).wstring();
    return CompareStringOrdinal(first.c_str(), static_cast<int>(first.size()), second.c_str(),
                                static_cast<int>(second.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace collect
