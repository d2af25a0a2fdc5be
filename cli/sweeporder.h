// The order in which a sweep of a bus reads its clocks.
//
// A scheduled run may be cut short (a scheduler's time-out, a shutdown)
// before it reaches its last clocks. So that those never starve, the next
// sweep of the same bus begins with the clocks the last one did not finish,
// then reads the rest in address order.
//
// What is unfinished is kept in a small file beside the punch store, one
// line "PORT-KEY TAB CLOCK" per clock, replaced as a whole at every change
// (written beside, flushed, renamed), so a kill leaves the last state or
// the one before it. A sweep marks all its clocks unfinished when it begins
// and each one finished once its records are committed; a clock committed
// just before a kill may be read first once more, which costs nothing but
// its order. The lines of a site, each a thread of its own, share the file.
#pragma once

#include <set>
#include <string>
#include <vector>

namespace cli {

inline constexpr const char* kSweepStateFileName = "Sweeps.state";

// `listed` in reading order: those in `unfinished` first, then the others,
// each group in address order; a clock listed twice is read once.
std::vector<int> SweepOrder(const std::vector<int>& listed, const std::set<int>& unfinished);

class SweepState {
public:
    // The state of the bus `portKey` in `folder`.
    SweepState(std::string folder, std::string portKey);

    // The order to read `listed` in; all of them are unfinished from now on.
    // Raises EInOutError when the state cannot be written.
    std::vector<int> Begin(const std::vector<int>& listed);
    // `clock` was read to its end. Raises EInOutError when the state cannot
    // be written.
    void Finished(int clock);

private:
    std::string m_path, m_portKey;
};

}  // namespace cli
