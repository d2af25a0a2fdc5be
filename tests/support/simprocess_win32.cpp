#include <sstream>
#include <stdexcept>

#include "simprocess.h"
#include "winebridgeclient.h"

SimProcess::SimProcess(const std::vector<std::string>& args, bool quiet)
{
    std::vector<std::string> bridgeArgs{"sim"};
    if (quiet) bridgeArgs.push_back("--quiet");
    bridgeArgs.insert(bridgeArgs.end(), args.begin(), args.end());
    m_bridge = new WineBridge(bridgeArgs);
    // "COMn FOLDER PTYPATH"; no pty path when clocksim did not start.
    std::istringstream line(m_bridge->FirstLine());
    std::string com, folder;
    line >> com >> folder >> m_ptyPath;
    if (m_ptyPath.empty() || com.size() < 4) {
        delete m_bridge;
        m_bridge = nullptr;
        throw std::runtime_error("clocksim did not start behind the Wine bridge");
    }
    m_comNumber = std::stoi(com.substr(3));
    m_dir = WindowsPathOf(folder);
    m_pid = 0;
}

SimProcess::~SimProcess() { delete m_bridge; }

bool SimProcess::Running() { return m_bridge != nullptr && m_bridge->Ask("running") == "yes"; }

int SimProcess::Stop(int signal)
{
    if (m_bridge == nullptr) return 0;
    const std::string answer = m_bridge->Ask("stop\t" + std::to_string(signal));
    if (answer.rfind("status ", 0) != 0) throw std::runtime_error("the bridge did not stop clocksim");
    return std::stoi(answer.substr(7));
}

// The bridge has no way to signal clocksim, and Windows has no SIGUSR1.
void SimProcess::Replace() { throw std::runtime_error("SimProcess::Replace needs POSIX signals"); }

void SimProcess::Clear() { throw std::runtime_error("SimProcess::Clear needs POSIX signals"); }
