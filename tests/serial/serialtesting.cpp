#include "serialtesting.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <memory>
#include <system_error>

#include "serial/comport.h"

bool RunningUnderWine()
{
#ifdef _WIN32
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

ScopedLockDirectory::ScopedLockDirectory() : m_previous(ComLockDirectory())
{
    static std::atomic<int> serial{0};
#ifdef _WIN32
    const unsigned long process = GetCurrentProcessId();
#else
    const long process = getpid();
#endif
    auto path = std::filesystem::temp_directory_path() /
                ("comlocks-" + std::to_string(process) + "-" + std::to_string(serial++));
    std::filesystem::remove_all(path);
    std::filesystem::create_directories(path);
    m_path = path.string();
    SetComLockDirectory(m_path);
}

ScopedLockDirectory::~ScopedLockDirectory()
{
    SetComLockDirectory(m_previous);
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::vector<std::string> ScopedLockDirectory::Entries() const
{
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
