#include "utils/textfile.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "utils/errors.h"
#include "utils/utf8path.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <climits>
#include <unistd.h>
#endif

namespace {

std::string osReason(int error) { return std::strerror(error); }

}  // namespace

void MoveToBackup(const std::string& path)
{
    if (const int error = textfile_platform::RenameReplacing(path, path + ".bak"); error != 0)
        throw EInOutError("Cannot keep " + path + " as " + path + ".bak: " + osReason(error));
}

TextFile::~TextFile()
{
    // A destructor must not throw; an owner that cares about the close
    // result calls Close itself.
    if (m_file != nullptr) std::fclose(m_file);
}

void TextFile::Create(const std::string& path)
{
    Open(path);
    try {
        Empty();
    } catch (const EInOutError&) {
        std::fclose(m_file);
        m_file = nullptr;
        throw;
    }
}

void TextFile::Open(const std::string& path)
{
    if (m_file != nullptr) {
        std::fclose(m_file);
        m_file = nullptr;
    }
    m_path = path;
    // Append mode creates a missing file and keeps an existing one whole
    // until the lock is ours; binary mode writes the CR LF line ends as they
    // are. Without a buffer every line goes to the system in one write.
    std::FILE* file = textfile_platform::OpenForAppending(path);
    if (file == nullptr) {
        const int error = errno;
        throw EInOutError("Cannot create file " + path + ": " + osReason(error));
    }
    std::setvbuf(file, nullptr, _IONBF, 0);
    if (const int error = textfile_platform::LockExclusively(file); error != 0) {
        std::fclose(file);
        if (error == EWOULDBLOCK)
            throw EFileInUse("Cannot create file " + path + ": the file is in use by another program");
        throw EInOutError("Cannot create file " + path + ": " + osReason(error));
    }
    std::error_code noSize;
    const std::uintmax_t size = std::filesystem::file_size(PathFromUtf8(path), noSize);
    m_size = noSize ? 0 : size;
    m_file = file;
}

void TextFile::Empty()
{
    if (m_file == nullptr) throw EInOutError("Cannot empty " + m_path + ": the file is not open");
    if (const int error = textfile_platform::Truncate(m_file, 0); error != 0)
        throw EInOutError("Cannot empty " + m_path + ": " + osReason(error));
    m_size = 0;
}

void TextFile::WriteLine(std::string_view line)
{
    if (m_file == nullptr) {
        if (m_path.empty()) throw EInOutError("Cannot write to a file that was never created");
        throw EInOutError("Cannot write to " + m_path + ": the file is not open");
    }
    std::string whole(line);
    whole += "\r\n";
    errno = 0;
    const std::size_t written = std::fwrite(whole.data(), 1, whole.size(), m_file);
    if (written == whole.size() && std::fflush(m_file) == 0) {
        m_size += written;
        return;
    }
    const int error = errno;
    // The stream keeps its error flag; clear it so a later write that
    // succeeds (say after disk space was freed) is not reported as failed.
    std::clearerr(m_file);
    // The part of the line the system took comes off again, so the file
    // ends with the last whole line.
    if (written > 0) textfile_platform::Truncate(m_file, m_size);
    throw EInOutError("Cannot write to " + m_path + ": " + (error != 0 ? osReason(error) : "write failed"));
}

void TextFile::CutTo(std::uint64_t size)
{
    if (m_file == nullptr) throw EInOutError("Cannot cut " + m_path + ": the file is not open");
    if (size >= m_size) return;
    if (const int error = textfile_platform::Truncate(m_file, size); error != 0)
        throw EInOutError("Cannot cut " + m_path + ": " + osReason(error));
    m_size = size;
}

void TextFile::Sync()
{
    if (m_file == nullptr) throw EInOutError("Cannot flush " + m_path + ": the file is not open");
    if (const int error = textfile_platform::Sync(m_file); error != 0)
        throw EInOutError("Cannot flush " + m_path + ": " + osReason(error));
}

void TextFile::Close()
{
    if (m_file == nullptr) return;
    std::FILE* file = m_file;
    m_file = nullptr;
    errno = 0;
    if (std::fclose(file) != 0) {
        const int error = errno;
        throw EInOutError("Cannot close " + m_path + ": " + (error != 0 ? osReason(error) : "close failed"));
    }
}

std::string ExecutableDirectory()
{
#ifdef _WIN32
    // Through the wide call: the folder's name may hold letters the system's
    // code page has not.
    std::wstring wide(MAX_PATH, L'\0');
    DWORD length = 0;
    while ((length = GetModuleFileNameW(nullptr, wide.data(), static_cast<DWORD>(wide.size()))) ==
           wide.size())
        wide.resize(wide.size() * 2);
    if (length == 0) return ".";
    wide.resize(length);
    const std::string path = Utf8FromPath(std::filesystem::path(wide));
    const std::size_t slash = path.find_last_of("\\/");
#else
    char buffer[PATH_MAX + 1] = {};
    const ssize_t length = readlink("/proc/self/exe", buffer, PATH_MAX);
    if (length <= 0) return ".";
    std::string path(buffer, static_cast<std::size_t>(length));
    const std::size_t slash = path.find_last_of('/');
#endif
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}
