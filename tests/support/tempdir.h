// A fresh folder for one test, removed with everything in it at the end.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>

#include "utils/utf8path.h"

class TempDir {
public:
    // The folder's name starts with `prefix`; it lies in the system's
    // temporary folder.
    explicit TempDir(const std::string& prefix = "clockreader-test")
    {
        static std::atomic<int> serial{0};
        const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
        for (;;) {
            const std::filesystem::path path =
                std::filesystem::temp_directory_path() /
                PathFromUtf8(prefix + "-" + std::to_string(now) + "-" + std::to_string(serial++));
            if (std::filesystem::create_directory(path)) {
                m_path = Utf8FromPath(path);
                return;
            }
        }
    }
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(PathFromUtf8(m_path), ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // The path of `name` in the folder.
    std::string operator/(const std::string& name) const
    {
        return Utf8FromPath(PathFromUtf8(m_path) / PathFromUtf8(name));
    }
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};
