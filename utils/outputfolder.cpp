#include "utils/outputfolder.h"

#include <mutex>
#include <optional>

#include "utils/textfile.h"
#include "utils/utf8path.h"

#ifdef _WIN32
#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>
#else
#include <cstdlib>
#include <pwd.h>
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

std::string documentsFolder()
{
    PWSTR wide = nullptr;
    std::string folder;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_Documents, 0, nullptr, &wide)))
        folder = Utf8FromPath(std::filesystem::path(wide));
    CoTaskMemFree(wide);
    return folder;
}

#else

bool canCreateFilesIn(const std::string& folder) { return access(folder.c_str(), W_OK | X_OK) == 0; }

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

std::string ChooseOutputFolder(const std::string& programFolder, const std::string& userFolder)
{
    if (userFolder.empty() || canCreateFilesIn(programFolder)) return programFolder;
    return userFolder;
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
