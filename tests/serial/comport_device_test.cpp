// Faults of the device and its surroundings, on real pseudo-terminals: a line
// another program holds (its lock file), a device node the user may not open,
// and a line that hangs up while a read is taking bytes.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "asnobody.h"
#include "childprocess.h"
#include "ptypeer.h"
#include "serialtesting.h"
#include "serial/comlock.h"
#include "serial/comport.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

void writeFile(const fs::path& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary) << content;
}

// The lock content serial programs write: the PID in ten columns, newline.
std::string hdbLock(long pid)
{
    std::string digits = std::to_string(pid);
    return std::string(10 - digits.size(), ' ') + digits + "\n";
}

// The PID of a process that has ended and been reaped.
pid_t deadPid()
{
    ChildProcess child([] { return 0; });
    const pid_t pid = child.Pid();
    child.Wait();
    return pid;
}

// ---------------------------------------------------------------------------
// Lock file rules without a device

TEST(ComLockFile, NameIsTheDevicePathBelowDevWithSlashesReplaced)
{
    EXPECT_EQ(comLockName("/dev/ttyUSB0"), "LCK..ttyUSB0");
    EXPECT_EQ(comLockName("/dev/ttyS0"), "LCK..ttyS0");
    // A '/' would make the lock a path into a folder that does not exist.
    EXPECT_EQ(comLockName("/dev/pts/3"), "LCK..pts_3");
    EXPECT_EQ(comLockName("/dev/serial/by-id/usb-x"), "LCK..serial_by-id_usb-x");
    // Outside /dev the whole path names the device: two devices never share a lock.
    EXPECT_EQ(comLockName("/srv/lines/line7"), "LCK.._srv_lines_line7");
    const std::vector<std::string> outside{"/srv/a/line7",
                                           "/srv/b/line7",
                                           "/srv/a_b/c",
                                           "/srv/a/b_c",
                                           "/srv/a/b%5Fc",
                                           "/pts_3",
                                           "/x" + std::string(300, 'y'),
                                           "/z" + std::string(300, 'y')};
    std::set<std::string> names{comLockName("/dev/pts/3")};
    for (const std::string& path : outside) {
        const std::string name = comLockName(path);
        EXPECT_TRUE(names.insert(name).second) << path;
        EXPECT_LE(name.size(), 255u) << path;
        EXPECT_EQ(name.find('/'), std::string::npos) << path;
    }
}

TEST(ComLockFile, ContentIsReadInEveryFormProgramsWrite)
{
    EXPECT_EQ(comLockContent(4321), "      4321\n");
    EXPECT_EQ(comLockContent(4194304), "   4194304\n");
    EXPECT_EQ(comLockPid("      4321\n"), 4321);
    EXPECT_EQ(comLockPid("4321\n"), 4321);
    EXPECT_EQ(comLockPid("4321"), 4321);
    EXPECT_EQ(comLockPid(" 4321 \r\n"), 4321);
    std::int32_t binary = 4321;
    EXPECT_EQ(comLockPid(std::string_view(reinterpret_cast<const char*>(&binary), sizeof binary)), 4321);

    // Nothing that names a process reads as 0.
    for (std::string content : {"", "\n", "   \n", "0\n", "-17\n", "12ab\n", "pid 12\n", "12 13\n",
                                "99999999999999999999\n", "\xff\xff\xff\x7f"}) {
        EXPECT_EQ(comLockPid(content), 0) << '"' << content << '"';
    }
}

// ---------------------------------------------------------------------------
// Lock files on a real device

class DeviceLock : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string prefix = "/dev/pts/";
        ASSERT_EQ(peer.SlavePath().compare(0, prefix.size(), prefix), 0) << peer.SlavePath();
        lock = fs::path(locks.Path()) / ("LCK..pts_" + peer.SlavePath().substr(prefix.size()));
        port.SetPort(peer.SlavePath());
    }

    void expectRefusedAsBusy(TComPort& target)
    {
        EComPort refused = RaisedBy([&] { target.Open(); });
        EXPECT_EQ(refused.ErrorCode(), 1);
        EXPECT_EQ(refused.WinErrorCode(), 16);
        EXPECT_STREQ(refused.what(), "Unable to open com port (win error code: 16)");
        EXPECT_FALSE(target.Connected());
    }

    PtyPeer peer;
    ScopedLockDirectory locks;
    fs::path lock;
    TComPort port;
};

TEST_F(DeviceLock, HeldWhileOpenUnderTheDevicesOwnNameAndRemovedAtClose)
{
    // Reached through a link, the lock still names the device itself.
    auto ports = fs::path(locks.Path()).parent_path() / ("comlinks-" + std::to_string(getpid()));
    fs::create_directories(ports);
    fs::create_symlink(peer.SlavePath(), ports / "COM7");
    SetComPortDirectory(ports.string());
    port.SetPort("COM7");

    port.Open();
    EXPECT_EQ(locks.Entries(), std::vector<std::string>{lock.filename().string()});
    EXPECT_EQ(readFile(lock), hdbLock(getpid()));
    EXPECT_EQ(fs::status(lock).permissions() & fs::perms::others_read, fs::perms::others_read);
    port.Close();
    EXPECT_TRUE(locks.Entries().empty());

    // Every open takes it again.
    port.Open();
    EXPECT_TRUE(fs::exists(lock));
    port.SetPort(peer.SlavePath());  // reopens under the other name
    EXPECT_EQ(locks.Entries(), std::vector<std::string>{lock.filename().string()});
    port.Close();
    EXPECT_TRUE(locks.Entries().empty());

    SetComPortDirectory("");
    fs::remove_all(ports);
}

TEST_F(DeviceLock, ALiveHolderOrALockThatNamesNobodyRefusesTheOpen)
{
    // The parent of this test is alive; so is a process we may not signal.
    const std::vector<std::string> held = {hdbLock(getppid()), std::to_string(getppid()) + "\n", hdbLock(1),
                                           "", "garbage\n"};
    for (const std::string& content : held) {
        writeFile(lock, content);
        expectRefusedAsBusy(port);
        EXPECT_EQ(readFile(lock), content) << "the holder's lock was touched";
    }
    // A link planted as the lock is neither followed nor removed.
    fs::remove(lock);
    writeFile(fs::path(locks.Path()) / "target", hdbLock(deadPid()));
    fs::create_symlink(fs::path(locks.Path()) / "target", lock);
    expectRefusedAsBusy(port);
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(lock)));

    fs::remove(lock);
    port.Open();
    EXPECT_TRUE(port.Connected());
}

TEST_F(DeviceLock, AStaleLockIsClearedAndTheOpenGoesOn)
{
    for (bool binaryForm : {false, true}) {
        std::int32_t gone = deadPid();
        writeFile(lock, binaryForm ? std::string(reinterpret_cast<const char*>(&gone), sizeof gone)
                                   : hdbLock(gone));
        port.Open();
        EXPECT_TRUE(port.Connected());
        EXPECT_EQ(readFile(lock), hdbLock(getpid()));
        port.Close();
        EXPECT_FALSE(fs::exists(lock));
    }
}

TEST_F(DeviceLock, AMissingOrUnusableLockDirectoryIsNoFailure)
{
    const fs::path file = fs::path(locks.Path()) / "not-a-directory";
    writeFile(file, "x");
    for (const std::string& directory :
         {(fs::path(locks.Path()) / "missing").string(), (file / "sub").string(), std::string()}) {
        SetComLockDirectory(directory);
        port.Open();
        EXPECT_TRUE(port.Connected()) << directory;
        EXPECT_EQ(port.WriteText("up"), 2);
        EXPECT_EQ(peer.Receive(2), "up");
        port.Close();
    }
    EXPECT_EQ(locks.Entries(), std::vector<std::string>{"not-a-directory"});
    SetComLockDirectory(locks.Path());
}

TEST_F(DeviceLock, ASecondPortObjectRefusedLeavesTheHoldersLock)
{
    port.Open();
    TComPort second;
    second.SetPort(peer.SlavePath());
    expectRefusedAsBusy(second);
    EXPECT_EQ(readFile(lock), hdbLock(getpid()));

    port.Close();
    EXPECT_FALSE(fs::exists(lock));
    second.Open();
    EXPECT_EQ(readFile(lock), hdbLock(getpid()));
}

TEST_F(DeviceLock, AFailedOpenLeavesNoLockBehind)
{
    port.SetBaudRate(brCustom);
    port.SetCustomBaudRate(12345);
    EXPECT_EQ(RaisedBy([&] { port.Open(); }).ErrorCode(), 7);
    EXPECT_TRUE(locks.Entries().empty());
}

TEST_F(DeviceLock, CloseKeepsALockThatNoLongerNamesThisProgram)
{
    port.Open();
    writeFile(lock, hdbLock(getppid()));  // taken over by force meanwhile
    port.Close();
    EXPECT_EQ(readFile(lock), hdbLock(getppid()));
}

// ---------------------------------------------------------------------------
// A device the user may not open

// Opens the device at `path` and tells how it went: "open" or the failure.
std::string tryOpen(const std::string& path)
{
    TComPort port;
    port.SetPort(path);
    port.SetEvents(0);
    try {
        port.Open();
        std::string sent = std::to_string(port.WriteText("ok"));
        port.Close();
        return "open, sent " + sent;
    } catch (const EComPort& e) {
        return std::to_string(e.ErrorCode()) + "/" + std::to_string(e.WinErrorCode()) + ": " + e.what();
    }
}

TEST(DevicePermission, ADeviceTheUserMayNotOpenIsRefusedWithAccessDenied)
{
    // Root passes every permission check, so root drops to "nobody" for it.
    const bool root = geteuid() == 0;
    PtyPeer forbidden;
    PtyPeer allowed;
    ScopedLockDirectory sharedLocks;    // writable by everyone, like /run/lock
    ScopedLockDirectory readOnlyLocks;  // the user may not create locks here
    ASSERT_EQ(chmod(forbidden.SlavePath().c_str(), root ? 0600 : 0000), 0);
    ASSERT_EQ(chmod(allowed.SlavePath().c_str(), 0666), 0);
    ASSERT_EQ(chmod(sharedLocks.Path().c_str(), 01777), 0);
    ASSERT_EQ(chmod(readOnlyLocks.Path().c_str(), 0555), 0);

    // A lock held by a process the user may not signal (init) is still held.
    const std::string initsLock = comLockName(allowed.SlavePath());
    writeFile(fs::path(sharedLocks.Path()) / initsLock, hdbLock(1));

    auto attempts = [&] {
        SetComLockDirectory(sharedLocks.Path());
        std::string report = tryOpen(forbidden.SlavePath()) + "\n" + tryOpen(allowed.SlavePath());
        SetComLockDirectory(readOnlyLocks.Path());
        return report + "\n" + tryOpen(allowed.SlavePath());
    };
    std::string report = root ? RunAsNobody(attempts) : attempts();
    SetComLockDirectory(readOnlyLocks.Path());  // the scoped objects restore in order
    if (report.rfind("skip:", 0) == 0) {
        GTEST_SKIP() << "cannot drop root privileges to test permissions (" << report << ")";
    }
    EXPECT_EQ(report,
              "1/13: Unable to open com port (win error code: 13)\n"
              "1/16: Unable to open com port (win error code: 16)\n"
              "open, sent 2");
    // The refused opens took no lock and left init's alone, and a lock
    // directory the user may not write to kept no one from opening.
    EXPECT_EQ(sharedLocks.Entries(), std::vector<std::string>{initsLock});
    EXPECT_EQ(readFile(fs::path(sharedLocks.Path()) / initsLock), hdbLock(1));
    EXPECT_TRUE(readOnlyLocks.Entries().empty());
    EXPECT_EQ(allowed.Receive(2), "ok");
}

// ---------------------------------------------------------------------------
// A line that hangs up during a transfer

TEST(LineHangUp, BytesAReadHasTakenAreDeliveredAndTheNextReadFails)
{
    PtyPeer peer;
    TComPort port;
    port.SetPort(peer.SlavePath());
    port.SetEvents(0);
    // A read that waits up to 10 s for 10 bytes; the hang-up ends it early.
    port.Timeouts().SetReadInterval(0);
    port.Timeouts().SetReadTotalMultiplier(0);
    port.Timeouts().SetReadTotalConstant(10000);
    port.Open();

    peer.Send("abc");
    WaitForQueued(port, 3);
    // The other side goes away once the read below has taken the three bytes
    // and waits for more (the kernel drops input still queued at a hang-up).
    std::thread otherSide([&] {
        auto until = std::chrono::steady_clock::now() + 2s;
        while (port.InputCount() > 0 && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(1ms);
        }
        peer.HangUp();
    });
    std::string text;
    std::int32_t received = -1;
    EComPort duringRead = RaisedBy([&] { received = port.ReadText(text, 10); });
    otherSide.join();
    EXPECT_EQ(duringRead.ErrorCode(), 0) << duringRead.what();
    EXPECT_EQ(received, 3);
    EXPECT_EQ(text, "abc");

    // Nothing more will come, and the next reads say why.
    EXPECT_EQ(port.InputCount(), 0);
    EXPECT_TRUE(port.WaitForInput(0));
    for (int attempt = 0; attempt < 2; ++attempt) {
        EComPort failure = RaisedBy([&] { port.ReadText(text, 10); });
        EXPECT_EQ(failure.ErrorCode(), 3);
        EXPECT_EQ(failure.WinErrorCode(), 5);
        EXPECT_STREQ(failure.what(), "ReadFile function failed (win error code: 5)");
    }
    port.Close();
    EXPECT_FALSE(port.Connected());
}

TEST(LineHangUp, AHungUpLineHasNothingWaitingAndFailsTheNextRead)
{
    PtyPeer peer;
    TComPort port;
    port.SetPort(peer.SlavePath());
    port.Open();
    peer.HangUp();
    EXPECT_EQ(port.InputCount(), 0);
    std::string text;
    EXPECT_EQ(RaisedBy([&] { port.ReadText(text, 10); }).ErrorCode(), 3);
    port.Close();
}

}  // namespace
