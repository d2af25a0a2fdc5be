#include "utils/outputfolder.h"

#include <filesystem>
#include <mutex>
#include <optional>
#include <string_view>
#include <system_error>

#include "utils/textfile.h"
#include "utils/utf8path.h"

#ifdef _WIN32
#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>
#else
#include <cstdlib>
#include <pwd.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>
#endif

namespace {

std::mutex g_mutex;
std::optional<std::string> g_folder;

#ifdef _WIN32

// Windows grants writing through access lists that no attribute shows, so
// the only reliable answer is to try: a file that vanishes when closed.
bool canCreateFilesIn(const std::string& folder)
{
    const std::string probe = folder + "\\.clockreader-" + std::to_string(GetCurrentProcessId());
    HANDLE file = CreateFileW(PathFromUtf8(probe).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    CloseHandle(file);
    return true;
}

// Windows tells a read-only medium only by the failure of a write.
bool onReadOnlyFileSystem(const std::string&) { return false; }

std::filesystem::path knownFolder(REFKNOWNFOLDERID id)
{
    PWSTR wide = nullptr;
    std::filesystem::path folder;
    if (SUCCEEDED(SHGetKnownFolderPath(id, 0, nullptr, &wide))) folder = wide;
    CoTaskMemFree(wide);
    return folder;
}

std::string documentsFolder() { return Utf8FromPath(knownFolder(FOLDERID_Documents)); }

// Whether `folder` lies in one of the Program Files folders (compared without
// regard to case, as the file system does).
bool inSystemFolder(const std::string& folder)
{
    auto lower = [](std::wstring text) {
        if (!text.empty()) CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
        return text;
    };
    const std::wstring path = lower(PathFromUtf8(folder).lexically_normal().wstring()) + L"\\";
    for (REFKNOWNFOLDERID id : {FOLDERID_ProgramFiles, FOLDERID_ProgramFilesX86, FOLDERID_ProgramFilesX64}) {
        const std::filesystem::path root = knownFolder(id);
        if (root.empty()) continue;
        const std::wstring prefix = lower(root.lexically_normal().wstring()) + L"\\";
        if (path.compare(0, prefix.size(), prefix) == 0) return true;
    }
    return false;
}

#else

bool canCreateFilesIn(const std::string& folder) { return access(folder.c_str(), W_OK | X_OK) == 0; }

bool onReadOnlyFileSystem(const std::string& folder)
{
    struct statvfs info {};
    return statvfs(folder.c_str(), &info) == 0 && (info.f_flag & ST_RDONLY) != 0;
}

// The package manager's folders: /usr (but not the source trees a user may
// build in there), /bin, /sbin and /opt.
bool inSystemFolder(const std::string& folder)
{
    const std::string path = std::filesystem::path(folder).lexically_normal().string() + "/";
    auto under = [&path](std::string_view root) { return path.compare(0, root.size(), root) == 0; };
    if (under("/usr/src/") || under("/usr/local/src/")) return false;
    return under("/usr/") || under("/bin/") || under("/sbin/") || under("/opt/");
}

std::string homeFolder()
{
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') return home;
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr)
        return found->pw_dir;
    return {};
}

#endif

}  // namespace

bool IsInstalledCopy(const std::string& programFolder)
{
    std::error_code error;
    if (std::filesystem::exists(PathFromUtf8(programFolder) / kInstalledMarkerName, error)) return true;
    return inSystemFolder(programFolder);
}

std::string ChooseOutputFolder(const std::string& programFolder, const std::string& userFolder)
{
    if (userFolder.empty()) return programFolder;
    if (IsInstalledCopy(programFolder) || !canCreateFilesIn(programFolder)) return userFolder;
    return programFolder;
}

std::string UserOutputFolder()
{
#ifdef _WIN32
    const std::string documents = documentsFolder();
    return documents.empty() ? std::string() : documents + "\\ClockReader";
#else
    std::string home = homeFolder();
    if (home.empty()) return {};
    if (home.size() > 1 && home.back() == '/') home.pop_back();
    return (home == "/" ? "" : home) + "/ClockReader";
#endif
}

std::string OutputFolder()
{
    std::lock_guard lock(g_mutex);
    if (!g_folder) g_folder = ChooseOutputFolder(ExecutableDirectory(), UserOutputFolder());
    return *g_folder;
}

void SetOutputFolder(const std::string& folder)
{
    std::lock_guard lock(g_mutex);
    if (folder.empty())
        g_folder.reset();
    else
        g_folder = folder;
}

std::string PrepareOutputFolder(const std::string& folder)
{
    namespace fs = std::filesystem;
    std::error_code error, ignored;
    fs::path path = fs::absolute(PathFromUtf8(folder), ignored).lexically_normal();
    fs::create_directories(path, error);
    if (!error && fs::is_directory(path, ignored) && canCreateFilesIn(Utf8FromPath(path))) return {};

    // The reason lies with the nearest folder that exists: the folder itself
    // or the one where making it stopped.
    fs::path existing = path;
    while (!fs::exists(existing, ignored)) {
        const fs::path parent = existing.parent_path();
        if (parent == existing || parent.empty()) {
            if (path.has_root_name())
                return "the drive " + Utf8FromPath(path.root_name()) + " does not exist";
            return Utf8FromPath(path) + " cannot be reached";
        }
        existing = parent;
    }
    const std::string shown = Utf8FromPath(existing);
    if (!fs::is_directory(existing, ignored)) return shown + " is a file, not a folder";
    if (onReadOnlyFileSystem(shown)) return shown + " is on a file system mounted read-only";
    if (!canCreateFilesIn(shown)) {
        // An unmounted drive leaves its mount point behind as an empty folder
        // of the system's.
        if (existing != path && fs::is_empty(existing, ignored))
            return shown + " is read-only for this user, and empty: is a drive to be mounted there?";
        return shown + " is read-only for this user";
    }
    return Utf8FromPath(path) + ": " + (error ? error.message() : "files cannot be created there");
}
