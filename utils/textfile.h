// An output text file of the program (Dump.Txt, BadRecs.Txt).
//
// Lines end in CR LF and each line is handed to the operating system as soon
// as it is written, in one piece: a crash or kill loses no line already
// written, and a write that fails part-way (a full disk) is cut back off, so
// the file never ends in half a line.
//
// While open, the file is held with an exclusive lock, so two programs (two
// command-line runs, or the window and a command-line run) never write one
// file at once: the second finds it held and is refused with EFileInUse
// before it has changed anything. The lock goes with the close, or with the
// process. Failures raise EInOutError naming the file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "utils/errors.h"

// The file is held by another program (or another TextFile of ours).
class EFileInUse : public EInOutError {
public:
    using EInOutError::EInOutError;
};

class TextFile {
public:
    TextFile() = default;
    ~TextFile();
    TextFile(const TextFile&) = delete;
    TextFile& operator=(const TextFile&) = delete;

    // Binds the file to `path`, opens it for writing (creating it when
    // missing, keeping what it holds) and takes its lock. Raises EFileInUse
    // when another holder has it, with the file left as it was; on any
    // failure the file stays bound but closed.
    void Open(const std::string& path);
    // Empties the open file; it stays open and held. Raises when it is not
    // open or cannot be emptied.
    void Empty();
    // Open, then Empty: the file as a new, empty one (an existing file is
    // truncated).
    void Create(const std::string& path);

    // Writes `line` unchanged followed by CR LF at the end of the file.
    // Raises when the file is not open or the write fails; a line the system
    // took only part of is removed again first.
    void WriteLine(std::string_view line);

    // Closes the file and gives up its lock; nothing when it is not open.
    // Raises when the close fails.
    void Close();

    // Bytes in the file, all of them whole lines: what its lines written so
    // far amount to.
    std::uint64_t Size() const { return m_size; }
    // Cuts the open file back to `size` bytes when it holds more. Raises
    // when it is not open or cannot be cut.
    void CutTo(std::uint64_t size);
    // Puts what the file holds on the disk, so it outlasts a power cut.
    // Raises when it is not open or the system cannot.
    void Sync();

    bool IsOpen() const { return m_file != nullptr; }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
    std::FILE* m_file = nullptr;
    std::uint64_t m_size = 0;  // bytes in the file, all of them whole lines
};

// Renames the file `path` to `path` + ".bak", replacing an older one, and
// puts the rename on the disk. A kill leaves either name on the whole file.
// Raises EInOutError naming the file when the system refuses.
void MoveToBackup(const std::string& path);

// Directory of the running executable, without a trailing slash.
std::string ExecutableDirectory();

// What TextFile needs of the operating system beyond the C library; one file
// per platform (textfile_posix.cpp). Each returns 0 or the system's error
// number.
namespace textfile_platform {
// Opens `path` (UTF-8) for appending in binary mode, creating it when missing;
// null with errno set on failure.
std::FILE* OpenForAppending(const std::string& path);
// Takes the exclusive lock of an open file without waiting; EWOULDBLOCK when
// another holder has it. Files that are not regular files (devices) are
// shared by nature and not locked.
int LockExclusively(std::FILE* file);
// Cuts an open file to `size` bytes; a device is left alone.
int Truncate(std::FILE* file, std::uint64_t size);
// Puts what an open file holds on the disk; a device is left alone.
int Sync(std::FILE* file);
// Renames `from` to `to`, replacing `to`, and puts the rename on the disk.
int RenameReplacing(const std::string& from, const std::string& to);
}  // namespace textfile_platform
