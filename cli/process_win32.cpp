#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <shellapi.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>

#include "process.h"
#include "serial/comport.h"
#include "utils/utf8path.h"

namespace cli {

namespace {

// The POSIX numbers the Windows requests stand for.
constexpr int kInterrupt = 2;  // SIGINT: Ctrl+C, Ctrl+Break
constexpr int kHangUp = 1;     // SIGHUP: the console closed, log-off, shut-down

std::atomic<int> g_stopSignal{0};
HANDLE g_finished = nullptr;  // set once the program has closed its files

// Runs on a thread the system starts for each request.
BOOL WINAPI onConsoleRequest(DWORD request)
{
    const bool ending =
        request == CTRL_CLOSE_EVENT || request == CTRL_LOGOFF_EVENT || request == CTRL_SHUTDOWN_EVENT;
    const int signal = ending ? kHangUp : kInterrupt;
    int expected = 0;
    if (!g_stopSignal.compare_exchange_strong(expected, signal)) {
        RemoveHeldComLockFiles();
        std::fflush(nullptr);
        ExitProcess(128 + signal);
    }
    // The system ends the process as soon as this returns from one of these
    // (or after some seconds): the run stops after its current record and
    // closes port and files first, and then the process ends by itself.
    if (ending) WaitForSingleObject(g_finished, INFINITE);
    return TRUE;
}

std::string utf8(const wchar_t* text) { return Utf8FromPath(std::filesystem::path(text)); }

}  // namespace

std::vector<std::string> CommandLineArguments(int, char**, std::string& program)
{
    // The narrow argv holds the arguments in the system's code page, which
    // may lack letters of a folder's name; the wide command line has them all.
    // Persian messages are written as UTF-8, so the console is told so.
    SetConsoleOutputCP(CP_UTF8);
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> arguments;
    program = "clockreader-cli";
    for (int i = 0; wide != nullptr && i < count; ++i) {
        if (i == 0)
            program = Utf8FromPath(std::filesystem::path(wide[0]).filename());
        else
            arguments.push_back(utf8(wide[i]));
    }
    LocalFree(wide);
    return arguments;
}

bool StandardErrorIsTerminal()
{
    DWORD mode = 0;
    return GetConsoleMode(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stderr))), &mode) != 0;
}

void WatchStopSignals()
{
    g_finished = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(onConsoleRequest, TRUE);
}

int StopSignal() { return g_stopSignal.load(); }

void WriteText(std::FILE* stream, const std::string& text)
{
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    if (text.empty() || handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) {
        std::fputs(text.c_str(), stream);
        return;
    }
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
    // What the stream buffered before goes out first, in order.
    std::fflush(stream);
    DWORD written = 0;
    if (!WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr))
        std::fputs(text.c_str(), stream);
}

void StopSignalsFinished()
{
    // The system may end the process as soon as the console handler hears
    // of this: whatever the run printed must be out before.
    std::fflush(stdout);
    std::fflush(stderr);
    if (g_finished != nullptr) SetEvent(g_finished);
}

void UseBinaryStandardOutput() { _setmode(_fileno(stdout), _O_BINARY); }

std::FILE* OpenFileForWriting(const std::string& path) { return _wfopen(PathFromUtf8(path).c_str(), L"wb"); }

}  // namespace cli
