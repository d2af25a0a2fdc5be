#include "ptypeer.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <cstdlib>
#include <stdexcept>
#include <thread>

PtyPeer::PtyPeer() {
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0) {
        throw std::runtime_error("no pseudo-terminal");
    }
    m_slavePath = ptsname(m_master);
}

PtyPeer::~PtyPeer() {
    HangUp();
}

void PtyPeer::Send(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(m_master, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            throw std::runtime_error("pty write failed");
        }
        done += static_cast<std::size_t>(n);
    }
}

std::string PtyPeer::Receive(std::size_t count) {
    std::string got;
    char buffer[4096];
    while (got.size() < count) {
        pollfd entry{m_master, POLLIN, 0};
        if (poll(&entry, 1, 2000) <= 0) {
            break;
        }
        ssize_t n = read(m_master, buffer, std::min(sizeof buffer, count - got.size()));
        if (n <= 0) {
            break;
        }
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

termios PtyPeer::Line() const {
    termios line{};
    if (tcgetattr(m_master, &line) != 0) {
        throw std::runtime_error("tcgetattr failed");
    }
    return line;
}

void PtyPeer::HangUp() {
    if (m_master >= 0) {
        close(m_master);
        m_master = -1;
    }
}

ScopedLockDirectory::ScopedLockDirectory() : m_previous(ComLockDirectory()) {
    static std::atomic<int> serial{0};
    auto path = std::filesystem::temp_directory_path() /
                ("comlocks-" + std::to_string(getpid()) + "-" + std::to_string(serial++));
    std::filesystem::remove_all(path);
    std::filesystem::create_directories(path);
    m_path = path.string();
    SetComLockDirectory(m_path);
}

ScopedLockDirectory::~ScopedLockDirectory() {
    SetComLockDirectory(m_previous);
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::vector<std::string> ScopedLockDirectory::Entries() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(m_path)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

namespace {

class PrivateLockDirectory : public ::testing::Environment {
public:
    void SetUp() override { m_directory = std::make_unique<ScopedLockDirectory>(); }
    void TearDown() override { m_directory.reset(); }

private:
    std::unique_ptr<ScopedLockDirectory> m_directory;
};

[[maybe_unused]] ::testing::Environment* const g_privateLockDirectory =
    ::testing::AddGlobalTestEnvironment(new PrivateLockDirectory);

}  // namespace

bool WaitForQueued(TCustomComPort& port, int count) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (port.InputCount() < count) {
        if (std::chrono::steady_clock::now() > until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::string AllByteValues() {
    std::string bytes;
    for (int value = 0; value < 256; ++value) {
        bytes.push_back(static_cast<char>(value));
    }
    return bytes;
}
