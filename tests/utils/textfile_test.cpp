#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "asnobody.h"
#endif

#include "utils/errors.h"
#include "utils/outputfolder.h"
#include "utils/textfile.h"
#include "utils/utf8path.h"

namespace {

namespace fs = std::filesystem;

class TextFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
#ifdef _WIN32
        // A folder name with Persian letters: paths are UTF-8 and must reach
        // the system whole, whatever its code page.
        m_dir = Utf8FromPath(fs::temp_directory_path()) + "\\textfile-test-\u062f\u0627\u062f\u0647-" +
                std::to_string(GetCurrentProcessId());
        fs::remove_all(PathFromUtf8(m_dir));
        ASSERT_TRUE(fs::create_directory(PathFromUtf8(m_dir)));
#else
        char pattern[] = "/tmp/textfile-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
#endif
    }
    void TearDown() override { fs::remove_all(PathFromUtf8(m_dir)); }

    std::string read(const std::string& path)
    {
        std::ifstream in(PathFromUtf8(path), std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }

    std::string m_dir;
};

TEST_F(TextFileTest, WritesCrLfLinesThatReachTheFileAtOnce)
{
    const std::string path = m_dir + "/Dump.Txt";
    TextFile file;
    file.Create(path);
    EXPECT_TRUE(file.IsOpen());
    EXPECT_EQ(file.Path(), path);
    EXPECT_EQ(read(path), "");

    file.WriteLine(
        std::string("\x02\x02\x02"
                    "001",
                    6));
    // Readable by another reader before the file is closed.
    EXPECT_EQ(read(path), std::string("\x02\x02\x02"
                                      "001\r\n",
                                      8));
    file.WriteLine("");
    file.WriteLine("line\n");
    EXPECT_EQ(read(path), std::string("\x02\x02\x02"
                                      "001\r\n\r\nline\n\r\n",
                                      17));

    file.Close();
    EXPECT_FALSE(file.IsOpen());
    file.Close();  // closing twice is harmless
}

TEST_F(TextFileTest, OpenKeepsTheFileUntilEmptiedAndCreateEmptiesIt)
{
    const std::string path = m_dir + "/BadRecs.Txt";
    std::ofstream(PathFromUtf8(path), std::ios::binary) << "old content of a previous run\n";
    TextFile file;
    file.Open(path);
    EXPECT_EQ(read(path), "old content of a previous run\n");
    file.WriteLine("x");
    EXPECT_EQ(read(path), "old content of a previous run\nx\r\n");
    file.Empty();
    EXPECT_EQ(read(path), "");
    file.WriteLine("y");
    EXPECT_EQ(read(path), "y\r\n");
    // Creating again while open starts over as well.
    file.Create(path);
    EXPECT_EQ(read(path), "");
}

// A second holder, in this process or another, is refused before it has
// changed anything; once the first closes, the file is free again.
TEST_F(TextFileTest, AFileIsHeldUntilClosed)
{
    const std::string path = m_dir + "/Dump.Txt";
    TextFile first;
    first.Create(path);
    first.WriteLine("kept");
    for (auto take : {+[](TextFile&f, const std::string&p) { f.Open(p); },
                      +[](TextFile&f, const std::string&p) { f.Create(p); }}) {
        TextFile second;
        try {
            take(second, path);
            FAIL() << "a held file was taken";
        } catch (const EFileInUse& e) {
            EXPECT_NE(std::string(e.what()).find(path + ": the file is in use by another program"),
                      std::string::npos)
                << e.what();
        }
        EXPECT_FALSE(second.IsOpen());
    }
    first.WriteLine("still writing");
    EXPECT_EQ(read(path), "kept\r\nstill writing\r\n");
    first.Close();
    TextFile third;
    third.Open(path);
    EXPECT_EQ(read(path), "kept\r\nstill writing\r\n");
}

#ifndef _WIN32
// A write the system takes only part of (a full disk, here a file size
// limit) is taken back off, so the file ends with its last whole line.
TEST_F(TextFileTest, AWriteCutShortLeavesNoHalfLine)
{
    const std::string path = m_dir + "/Dump.Txt";
    TextFile file;
    file.Create(path);
    file.WriteLine("0123456789");
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 20;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    std::string error;
    try {
        file.WriteLine("abcdefghij");
    } catch (const EInOutError& e) {
        error = e.what();
    }
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(error, "Cannot write to " + path + ": File too large");
    EXPECT_EQ(read(path), "0123456789\r\n");
    // Once there is room again, writing goes on after the last whole line.
    file.WriteLine("abcdefghij");
    EXPECT_EQ(read(path), "0123456789\r\nabcdefghij\r\n");
}
#endif

TEST_F(TextFileTest, FailuresRaiseAndNameTheFile)
{
    const std::string path = m_dir + "/missing/Dump.Txt";
    TextFile file;
    try {
        file.Create(path);
        FAIL() << "created a file in a missing directory";
    } catch (const EInOutError& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot create file " + path + ": No such file or directory");
    }
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(file.Path(), path);

    try {
        file.WriteLine("lost");
        FAIL() << "a write to a file that is not open succeeded";
    } catch (const EInOutError& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot write to " + path + ": the file is not open");
    }

    TextFile never;
    EXPECT_THROW(never.WriteLine("x"), EInOutError);
}

TEST(PathInFolder, UsesTheSystemsOwnSeparators)
{
#ifdef _WIN32
    EXPECT_EQ(PathInFolder("C:/Users/op\\Documents/ClockReader", "Dump.Txt"),
              "C:\\Users\\op\\Documents\\ClockReader\\Dump.Txt");
#else
    EXPECT_EQ(PathInFolder("/home/op/ClockReader", "Dump.Txt"), "/home/op/ClockReader/Dump.Txt");
#endif
}

#ifdef _WIN32
TEST(ExecutableDirectory, IsTheDirectoryOfTheTestProgramAndItsOutputFolder)
{
    const std::string dir = ExecutableDirectory();
    EXPECT_TRUE(fs::exists(PathFromUtf8(dir) / "utils_tests.exe")) << dir;
    EXPECT_EQ(OutputFolder(), dir);
    // An installed copy writes to Documents\ClockReader.
    const fs::path user = PathFromUtf8(UserOutputFolder());
    EXPECT_EQ(user.filename(), "ClockReader");
    EXPECT_TRUE(fs::is_directory(user.parent_path())) << Utf8FromPath(user);
    // A copy in Program Files, or with the installer's marker, is installed
    // whoever may write its folder (an administrator, Wine's user).
    const fs::path marked = fs::temp_directory_path() / "clockreader-marked";
    fs::create_directories(marked);
    {
        std::ofstream(marked / kInstalledMarkerName) << "installed\n";
    }
    EXPECT_EQ(ChooseOutputFolder(Utf8FromPath(marked), Utf8FromPath(user)), Utf8FromPath(user));
    fs::remove_all(marked);
    EXPECT_FALSE(IsInstalledCopy(dir));
    wchar_t programFiles[MAX_PATH] = {};
    ASSERT_GT(GetEnvironmentVariableW(L"ProgramFiles", programFiles, MAX_PATH), 0u);
    EXPECT_TRUE(IsInstalledCopy(Utf8FromPath(fs::path(programFiles) / "ClockReader")));
    EXPECT_FALSE(IsInstalledCopy(Utf8FromPath(fs::path(programFiles).parent_path() / "ClockReader")));
}
#else
TEST_F(TextFileTest, AFullDeviceIsAWriteFailureNotASuccess)
{
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full on this system";
    TextFile file;
    file.Create("/dev/full");
    try {
        file.WriteLine("record");
        FAIL() << "a write that the system refused was reported as done";
    } catch (const EInOutError& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot write to /dev/full: No space left on device");
    }
    file.Close();
}

TEST(ExecutableDirectory, IsTheDirectoryOfTheTestProgramAndItsOutputFolder)
{
    const std::string dir = ExecutableDirectory();
    ASSERT_FALSE(dir.empty());
    EXPECT_NE(dir.back(), '/');
    EXPECT_EQ(dir, fs::canonical("/proc/self/exe").parent_path().string());
    // A build folder can be written: the portable case.
    EXPECT_EQ(OutputFolder(), dir);
}

TEST_F(TextFileTest, TheOutputFolderIsBesideTheProgramWhenWritableElseTheUsersOwn)
{
    const std::string portable = m_dir + "/portable", installed = m_dir + "/installed",
                      user = m_dir + "/home/ClockReader";
    const std::string mountPoint = m_dir + "/media";
    fs::create_directories(portable);
    fs::create_directories(installed + "/bin");
    fs::create_directories(mountPoint);
    std::ofstream(portable + "/file").close();
    ASSERT_EQ(chmod(m_dir.c_str(), 0755), 0);
    ASSERT_EQ(chmod(portable.c_str(), 0777), 0);
    ASSERT_EQ(chmod(installed.c_str(), 0555), 0);
    ASSERT_EQ(chmod(mountPoint.c_str(), 0555), 0);
    // Root may write anywhere, so the choice is made as an ordinary user.
    // A folder that cannot be used says why, naming the folder at fault.
    auto choices = [&] {
        return ChooseOutputFolder(portable, user) + "\n" + ChooseOutputFolder(installed, user) + "\n" +
               ChooseOutputFolder(installed, "") + "\n" + PrepareOutputFolder(portable + "/new/sub") + "\n" +
               PrepareOutputFolder(installed + "/ClockReader") + "\n" + PrepareOutputFolder(installed) +
               "\n" + PrepareOutputFolder(mountPoint + "/records") + "\n" +
               PrepareOutputFolder(portable + "/file/sub");
    };
    const std::string report = geteuid() == 0 ? RunAsNobody(choices) : choices();
    if (report.rfind("skip:", 0) == 0) GTEST_SKIP() << report;
    EXPECT_EQ(report, portable + "\n" + user + "\n" + installed + "\n\n" + installed +
                          " is read-only for this user\n" + installed + " is read-only for this user\n" +
                          mountPoint +
                          " is read-only for this user, and empty: is a drive to be mounted there?\n" +
                          portable + "/file is a file, not a folder");
    EXPECT_TRUE(fs::is_directory(portable + "/new/sub"));

    // An installed copy uses the user's folder even for root, who may write
    // the program's folder: the marker beside it, or where it lies, decides.
    const std::string marked = m_dir + "/marked";
    fs::create_directories(marked);
    ASSERT_EQ(chmod(marked.c_str(), 0777), 0);
    std::ofstream(marked + "/" + kInstalledMarkerName) << "installed\n";
    EXPECT_EQ(ChooseOutputFolder(marked, user), user);
    EXPECT_EQ(ChooseOutputFolder(marked, ""), marked);
    for (const auto& [folder, installedCopy] : {std::pair<std::string, bool>{"/usr/bin", true},
                                                {"/usr/local/bin/", true},
                                                {"/opt/clockreader/bin", true},
                                                {"/bin", true},
                                                {"/usr/src/clockreader/build/bin", false},
                                                {"/usr/local/src/clockreader/build/bin", false},
                                                {"/usrx/bin", false},
                                                {"/home/op/clockreader/build/bin", false}}) {
        EXPECT_EQ(IsInstalledCopy(folder), installedCopy) << folder;
        if (installedCopy) {
            EXPECT_EQ(ChooseOutputFolder(folder, user), user) << folder;
        }
    }

    const char* saved = std::getenv("HOME");
    const std::string savedHome = saved ? saved : "";
    for (const auto& [home, expected] :
         {std::pair<std::string, std::string>{"/home/op", "/home/op/ClockReader"},
          {"/home/op/", "/home/op/ClockReader"},
          {"/", "/ClockReader"}}) {
        setenv("HOME", home.c_str(), 1);
        EXPECT_EQ(UserOutputFolder(), expected) << home;
    }
    // Without HOME the password entry names the home folder.
    unsetenv("HOME");
    EXPECT_EQ(fs::path(UserOutputFolder()).filename(), "ClockReader");
    if (saved) setenv("HOME", savedHome.c_str(), 1);
}

#endif

}  // namespace
