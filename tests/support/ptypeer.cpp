#include "ptypeer.h"

#include <chrono>
#include <stdexcept>
#include <thread>

void WaitForQueued(TCustomComPort& port, int count)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (port.InputCount() < count) {
        if (std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error("only " + std::to_string(port.InputCount()) + " of " +
                                     std::to_string(count) + " bytes reached the port");
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}
