// The pause after each command byte at 57600 baud, on Linux and on Windows.
//
// At 57600 baud the clock takes a command one byte at a time with a pause of
// at least 1 ms after each. A pause that lasts a timer tick instead (15.6 ms
// on Windows by default) makes every command many times longer than the line
// needs, and one that lasts the system's wake-up delay longer adds that
// delay to every byte. Three measures:
// - the pause itself: the shortest, the median and the 90th percentile of
//   many 1 ms pauses as the clock link makes them; the goal is a median of
//   at most 1.005 ms, and none may be shorter than 1 ms;
// - the processor time those pauses used, a share of their length (the
//   pause waits out its last part on the processor);
// - a 22-byte bus frame sent to a pseudo-terminal at 57600 baud, timed per
//   byte, against the line's limit per byte (the 1 ms pause plus the byte's
//   10 bit times, which run within the pause on a pseudo-terminal, so the
//   limit is the pause): the ratio of that limit to the time taken, the
//   median of the frames; the goal is 0.99.
// Under Wine the pty is reached through winebridge, as in the tests; Wine's
// timers are the host's, so only real Windows can show the tick's effect.
//
// Usage: pausebench [--quick]. Exits 1 when a goal is missed.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "clocklink/clocklink.h"
#include "cputime.h"
#include "ptypeer.h"
#include "serial/comport.h"
#include "toolargs.h"

namespace {

using Clock = std::chrono::steady_clock;

double milliseconds(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double percentile(std::vector<double> values, double share)
{
    std::sort(values.begin(), values.end());
    const std::size_t at = static_cast<std::size_t>(share * static_cast<double>(values.size() - 1));
    return values[at];
}

}  // namespace

int main(int argc, char** argv)
{
    bool quick = false;
    if (!ToolArgs("pausebench").Switch("--quick", quick).Parse(argc, argv)) return 2;
    const int pauses = quick ? 200 : 1000;
    const int frames = quick ? 10 : 40;

    std::vector<double> pause;
    const double cpuBefore = ProcessCpuSeconds();
    const auto start = Clock::now();
    for (int i = 0; i < pauses; ++i) {
        const auto t0 = Clock::now();
        WaitMilliseconds(1);
        pause.push_back(milliseconds(Clock::now() - t0));
    }
    const double cpuShare = (ProcessCpuSeconds() - cpuBefore) * 1000 / milliseconds(Clock::now() - start);
    const double median = percentile(pause, 0.5), shortest = percentile(pause, 0);
    std::printf(
        "pause after a command byte (1 ms asked, %d pauses): shortest %.4f ms, median %.4f ms, 90%% %.4f ms; "
        "processor busy %.0f%% of the time\n",
        pauses, shortest, median, percentile(pause, 0.9), cpuShare * 100);

    PtyPeer peer;
    TComPort& port = ReplaceSharedPort();
    port.SetPort(peer.SlavePath());
    port.SetBaudRate(br57600);
    port.Open();
    const std::string frame = BuildBusFrame("12", "AUR=123456789012345");
    std::vector<double> perByte;
    for (int i = 0; i < frames; ++i) {
        const auto t0 = Clock::now();
        SendRaw(frame);
        perByte.push_back(milliseconds(Clock::now() - t0) / static_cast<double>(frame.size()));
        peer.Receive(frame.size());
    }
    ReleaseSharedPort();
    const double byteMedian = percentile(perByte, 0.5);
    const double limit = 1.0;
    std::printf(
        "%zu-byte frame at 57600 (%d frames): median %.4f ms a byte; line limit %.3f ms a byte; "
        "ratio %.3f\n",
        frame.size(), frames, byteMedian, limit, limit / byteMedian);

    const bool ok = shortest >= 1.0 && median <= 1.005 && limit / byteMedian >= 0.99;
    std::printf(
        "%s: median pause %.4f ms (goal at most 1.005 ms, none under 1 ms); frame ratio %.3f (goal 0.99)\n",
        ok ? "ok" : "MISSED", median, limit / byteMedian);
    return ok ? 0 : 1;
}
