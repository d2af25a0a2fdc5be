#include "asnobody.h"

#include <cerrno>
#include <cstring>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

bool BecomeNobody() { return setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0; }

std::string RunAsNobody(const std::function<std::string()>& attempt)
{
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) return "skip: no pipe";
    pid_t child = fork();
    if (child == 0) {
        close(pipeEnds[0]);
        std::string report = BecomeNobody()
                                 ? attempt()
                                 : std::string("skip: cannot become uid 65534: ") + std::strerror(errno);
        [[maybe_unused]] ssize_t written = write(pipeEnds[1], report.data(), report.size());
        _exit(0);
    }
    close(pipeEnds[1]);
    std::string report;
    char buffer[512];
    ssize_t length;
    while ((length = read(pipeEnds[0], buffer, sizeof buffer)) > 0)
        report.append(buffer, static_cast<std::size_t>(length));
    close(pipeEnds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "child failed";
    return report;
}
