// winebridge: gives a Windows test running under Wine serial lines of this
// machine. wine/run starts "winebridge serve" beside each test program; it
// prints the loopback TCP port it listens on (given to the test as
// WINEBRIDGE_PORT) and serves each connection in a process of its own. A
// connection takes a free COM number N and links
// $WINEPREFIX/dosdevices/comN to a pseudo-terminal, so the program under
// test opens COMN with the Win32 calls. The connection's first line, its
// fields separated by tabs, asks for one of:
//
//   pty
//       The bridge holds the far end of the pty. First line to the test:
//       "COMN". Then bytes pass unchanged both ways between the socket and
//       the line; when the test closes its sending side, the line is hung up
//       (the master closed) and only then the socket closed, so the test
//       knows the hang-up has happened.
//   sim [--quiet] ARG...
//       The bridge runs clocksim ARG... on the line, with its wire log and
//       expected dump in a fresh folder. First line: "COMN FOLDER PTYPATH".
//       Then it answers "running" with "yes" or "no", and "stop", or "stop"
//       TAB and a signal number, with "status S" (S as SimProcess::Stop
//       gives it) after stopping clocksim with SIGTERM or that signal.
//
// When the test closes a connection everything it held is stopped and
// removed. A COM number is held through a locked file next to the prefix,
// so tests running at once never share one. (Wine could start the bridge
// from the test itself, but sockets of a process that has started Linux
// programs that way were seen to break at random under Wine 8.)
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#ifndef CLOCKSIM_PATH
#define CLOCKSIM_PATH "clocksim"
#endif

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(const std::string& what)
{
    std::fprintf(stderr, "winebridge: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

bool sendAll(int fd, const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool writeAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// One line from the socket without its newline; false at its end.
bool readLine(int fd, std::string& line)
{
    line.clear();
    char c;
    for (;;) {
        const ssize_t n = ::recv(fd, &c, 1, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        if (c == '\n') return true;
        line.push_back(c);
    }
}

// Takes the first free COM number from 10 on; the returned descriptor holds it.
int takeComNumber(const fs::path& lockDir, int& number)
{
    fs::create_directories(lockDir);
    for (number = 10; number < 256; ++number) {
        const std::string path = (lockDir / ("com" + std::to_string(number))).string();
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) fail("cannot create " + path);
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return fd;
        ::close(fd);
    }
    errno = EBUSY;
    fail("no free COM number");
}

void servePty(int sock, const fs::path& link)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) fail("cannot open a pseudo-terminal");
    const std::string slavePath = ptsname(master);
    // The bridge keeps the line's own end open too: the master then never
    // reads as hung up while the port under test is closed, and the line
    // is raw from the start, so nothing sent early is echoed back.
    const int slave = ::open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios raw{};
    if (slave < 0 || tcgetattr(slave, &raw) != 0) fail("cannot open " + slavePath);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    fs::remove(link);
    fs::create_symlink(slavePath, link);
    if (!sendAll(sock, "COM" + link.filename().string().substr(3) + "\n")) return;

    char buffer[4096];
    for (;;) {
        pollfd fds[2] = {{sock, POLLIN, 0}, {master, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents & POLLIN) {
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n > 0 && !sendAll(sock, std::string(buffer, static_cast<std::size_t>(n)))) break;
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = ::recv(sock, buffer, sizeof buffer, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            if (!writeAll(master, buffer, static_cast<std::size_t>(n))) break;
        }
    }
    // The hang-up: the line goes before the socket, and the link with it.
    fs::remove(link);
    ::close(slave);
    ::close(master);
}

int stopSim(pid_t pid, int signal = SIGTERM)
{
    ::kill(pid, signal);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

void serveSim(int sock, const fs::path& link, bool quiet, const std::vector<std::string>& args)
{
    char pattern[] = "/tmp/clocksim-wine-XXXXXX";
    if (!mkdtemp(pattern)) fail("mkdtemp");
    const std::string dir = pattern;
    std::vector<std::string> argv{CLOCKSIM_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    for (const std::string& extra :
         {std::string("--link"), link.string(), std::string("--wire-log"), dir + "/wire.log",
          std::string("--dump-expected"), dir + "/expected.txt"})
        argv.push_back(extra);

    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) fail("pipe");
    const pid_t pid = ::fork();
    if (pid < 0) fail("fork");
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        if (quiet) {
            const int null = ::open("/dev/null", O_WRONLY);
            if (null >= 0) ::dup2(null, STDERR_FILENO);
        }
        std::vector<char*> cargv;
        for (std::string& a : argv) cargv.push_back(a.data());
        cargv.push_back(nullptr);
        ::execv(cargv[0], cargv.data());
        _exit(127);
    }
    ::close(out[1]);
    std::string ptyPath;
    char c;
    while (::read(out[0], &c, 1) == 1 && c != '\n') ptyPath.push_back(c);

    bool running = true;
    int status = 0;
    if (ptyPath.empty()) {
        status = stopSim(pid);
        running = false;
    }
    if (sendAll(sock, "COM" + link.filename().string().substr(3) + " " + dir + " " + ptyPath + "\n")) {
        std::string request;
        while (readLine(sock, request)) {
            if (request == "running") {
                if (running && ::waitpid(pid, &status, WNOHANG) == pid) {
                    running = false;
                    status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
                }
                if (!sendAll(sock, running ? "yes\n" : "no\n")) break;
            } else if (request.rfind("stop", 0) == 0) {
                // "stop" or "stop<TAB>SIGNAL"
                const int signal = request.size() > 5 ? std::atoi(request.c_str() + 5) : SIGTERM;
                if (running) status = stopSim(pid, signal);
                running = false;
                if (!sendAll(sock, "status " + std::to_string(status) + "\n")) break;
            }
        }
    }
    if (running) stopSim(pid);
    ::close(out[0]);
    std::error_code ignored;
    fs::remove_all(dir, ignored);
}

// A raw TCP converter (socat) on a free loopback port in front of the
// device `device` (a clocksim's pty), for as long as the connection stays
// open: answers "PORT" once it listens.
void serveConverter(int sock, const std::string& device)
{
    const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (probe < 0 || ::bind(probe, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        return;
    ::close(probe);
    const std::string port = std::to_string(ntohs(address.sin_port));
    const pid_t pid = ::fork();
    if (pid == 0) {
        // A group of its own: its relays end with it.
        ::setpgid(0, 0);
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, STDIN_FILENO);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        const std::string listen = "TCP-LISTEN:" + port + ",bind=127.0.0.1,reuseaddr,fork";
        const std::string file = "FILE:" + device + ",raw,echo=0";
        ::execlp("socat", "socat", "-t", "0", listen.c_str(), file.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    // Listening once a connection is taken; that relay ends with the probe.
    for (int i = 0; i < 250; ++i) {
        const int connection = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool up = ::connect(connection, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(connection);
        if (up) break;
        ::usleep(20000);
    }
    ::usleep(200000);
    if (sendAll(sock, port + "\n")) {
        char byte;
        while (::read(sock, &byte, 1) > 0) {
        }
    }
    ::kill(-pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
}

// Serves one connection: its request line, then the line or the simulator.
void serveConnection(int sock, const fs::path& prefix)
{
    std::string request;
    if (!readLine(sock, request)) return;
    std::vector<std::string> fields;
    for (std::size_t begin = 0;;) {
        const std::size_t tab = request.find('\t', begin);
        fields.push_back(request.substr(begin, tab - begin));
        if (tab == std::string::npos) break;
        begin = tab + 1;
    }
    int number = 0;
    const int held = takeComNumber(prefix / "comlocks", number);
    const fs::path link = prefix / "dosdevices" / ("com" + std::to_string(number));
    if (fields[0] == "pty") {
        servePty(sock, link);
    } else if (fields[0] == "converter" && fields.size() == 2) {
        serveConverter(sock, fields[1]);
    } else if (fields[0] == "sim") {
        std::vector<std::string> args(fields.begin() + 1, fields.end());
        const bool quiet = !args.empty() && args[0] == "--quiet";
        if (quiet) args.erase(args.begin());
        serveSim(sock, link, quiet, args);
    }
    ::close(held);
}

}  // namespace

int main(int argc, char** argv)
{
    const char* prefix = std::getenv("WINEPREFIX");
    if (argc != 2 || std::string(argv[1]) != "serve" || prefix == nullptr || *prefix == '\0') {
        std::fprintf(stderr, "usage: WINEPREFIX=... winebridge serve\n");
        return 2;
    }
    // Ends with the wrapper that started it.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::listen(listener, 16) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        fail("no loopback socket");
    std::printf("%d\n", ntohs(address.sin_port));
    std::fflush(stdout);
    ::signal(SIGCHLD, SIG_IGN);  // served connections need no reaping
    for (;;) {
        const int sock = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (sock < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            fail("accept");
        }
        // Small socket buffers, so a far end the test does not read fills up
        // soon, as a device that takes nothing would.
        const int bufferSize = 32 * 1024;
        ::setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof bufferSize);
        ::setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize);
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(listener);
            ::signal(SIGCHLD, SIG_DFL);
            ::prctl(PR_SET_PDEATHSIG, 0);
            serveConnection(sock, prefix);
            ::close(sock);
            _exit(0);
        }
        ::close(sock);
    }
}
