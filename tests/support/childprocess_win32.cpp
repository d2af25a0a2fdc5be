#include <windows.h>
#include <psapi.h>

#include <csignal>
#include <stdexcept>

#include "childprocess.h"
#include "utils/utf8path.h"

namespace {

// What a program ended by TerminateProcess exits with: the status a shell
// gives one killed by SIGKILL.
constexpr UINT kKilledStatus = 128 + 9;

std::wstring wide(const std::string& utf8) { return PathFromUtf8(utf8).wstring(); }

// A file the child writes its output to, inherited by it.
HANDLE outputFile(const std::string& path)
{
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    return CreateFileW(wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                       CREATE_ALWAYS, 0, nullptr);
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& outPath,
                           const std::string& errPath, const std::string& workDir)
    : m_started(std::chrono::steady_clock::now())
{
    std::wstring command;
    for (const std::string& arg : argv) command += (command.empty() ? L"\"" : L" \"") + wide(arg) + L"\"";
    HANDLE out = outputFile(outPath);
    HANDLE err = errPath == outPath ? out : outputFile(errPath);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    startup.hStdInput = INVALID_HANDLE_VALUE;
    startup.hStdOutput = out;
    startup.hStdError = err;
    const std::wstring dir = wide(workDir);
    PROCESS_INFORMATION process{};
    const bool started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NEW_CONSOLE,
                                        nullptr, workDir.empty() ? nullptr : dir.c_str(), &startup, &process);
    CloseHandle(out);
    if (err != out) CloseHandle(err);
    if (!started) throw std::runtime_error("cannot start " + argv.front());
    CloseHandle(process.hThread);
    m_process = process.hProcess;
    m_pid = process.dwProcessId;
}

ChildProcess::~ChildProcess()
{
    if (m_process == nullptr) return;
    TerminateProcess(m_process, 1);
    WaitForSingleObject(m_process, 5000);
    CloseHandle(m_process);
}

void ChildProcess::Signal(int signal) const
{
    if (m_process == nullptr) return;
    if (signal != SIGINT) {
        TerminateProcess(m_process, static_cast<UINT>(128 + signal));
        return;
    }
    // Ctrl+C reaches every process of a console: this one joins the
    // program's console for the moment and ignores it there itself.
    FreeConsole();
    if (AttachConsole(m_pid)) {
        SetConsoleCtrlHandler(nullptr, TRUE);
        GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
        FreeConsole();
    }
}

ChildResult ChildProcess::Wait(std::chrono::milliseconds limit)
{
    if (m_process == nullptr) return {};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_started + limit -
                                                                            std::chrono::steady_clock::now());
    bool hung = false;
    if (WaitForSingleObject(m_process, static_cast<DWORD>(std::max<long long>(left.count(), 0))) !=
        WAIT_OBJECT_0) {
        TerminateProcess(m_process, kKilledStatus);
        WaitForSingleObject(m_process, 5000);
        hung = true;
    }
    ChildResult result = Poll().value_or(ChildResult{});
    result.hung = hung;
    return result;
}

std::optional<ChildResult> ChildProcess::Poll()
{
    if (m_process == nullptr || WaitForSingleObject(m_process, 0) != WAIT_OBJECT_0) return std::nullopt;
    ChildResult result;
    DWORD status = 0;
    GetExitCodeProcess(m_process, &status);
    result.status = static_cast<int>(status);
    result.exited = true;
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_started).count();
    PROCESS_MEMORY_COUNTERS memory{};
    if (GetProcessMemoryInfo(m_process, &memory, sizeof memory))
        result.peakKiB = static_cast<long>(memory.PeakWorkingSetSize / 1024);
    CloseHandle(m_process);
    m_process = nullptr;
    return result;
}
