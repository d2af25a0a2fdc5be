#include "utils/textfile.h"

#include <cerrno>
#include <cstring>

#include "utils/errors.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <climits>
#include <unistd.h>
#endif

namespace {

std::string osReason(int error) { return std::strerror(error); }

}  // namespace

TextFile::~TextFile()
{
    // A destructor must not throw; an owner that cares about the close
    // result calls Close itself.
    if (m_file != nullptr) std::fclose(m_file);
}

void TextFile::Create(const std::string& path)
{
    if (m_file != nullptr) {
        std::fclose(m_file);
        m_file = nullptr;
    }
    m_path = path;
    // Binary mode: the CR LF line ends are written as they are, on every platform.
    m_file = std::fopen(path.c_str(), "wb");
    if (m_file == nullptr) {
        const int error = errno;
        throw EInOutError("Cannot create file " + path + ": " + osReason(error));
    }
}

void TextFile::WriteLine(std::string_view line)
{
    if (m_file == nullptr) {
        if (m_path.empty()) throw EInOutError("Cannot write to a file that was never created");
        throw EInOutError("Cannot write to " + m_path + ": the file is not open");
    }
    static constexpr char kLineEnd[] = "\r\n";
    errno = 0;
    const bool written = std::fwrite(line.data(), 1, line.size(), m_file) == line.size() &&
                         std::fwrite(kLineEnd, 1, 2, m_file) == 2 && std::fflush(m_file) == 0;
    if (!written) {
        const int error = errno;
        // The stream keeps its error flag; clear it so a later write that
        // succeeds (say after disk space was freed) is not reported as failed.
        std::clearerr(m_file);
        throw EInOutError("Cannot write to " + m_path + ": " +
                          (error != 0 ? osReason(error) : "write failed"));
    }
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
    char buffer[MAX_PATH + 1] = {};
    const DWORD length = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    std::string path(buffer, length);
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
