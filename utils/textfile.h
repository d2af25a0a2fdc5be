// An output text file of the program (Dump.Txt, BadRecs.Txt).
//
// Lines end in CR LF and each line is handed to the operating system as soon
// as it is written, so a crash or kill loses no line already written.
// Failures raise EInOutError naming the file.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

class TextFile {
public:
    TextFile() = default;
    ~TextFile();
    TextFile(const TextFile&) = delete;
    TextFile& operator=(const TextFile&) = delete;

    // Binds the file to `path` and creates it empty (an existing file is
    // truncated). On failure the file stays bound but closed, and raises.
    void Create(const std::string& path);

    // Writes `line` unchanged followed by CR LF, and flushes. Raises when the
    // file is not open or the write fails.
    void WriteLine(std::string_view line);

    // Closes the file; nothing when it is not open. Raises when the close fails.
    void Close();

    bool IsOpen() const { return m_file != nullptr; }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
    std::FILE* m_file = nullptr;
};

// Directory of the running executable, without a trailing slash.
std::string ExecutableDirectory();
