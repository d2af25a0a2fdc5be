// The order in which a sweep of a bus reads its clocks, and the addresses it
// leaves out.
//
// A scheduled run may be cut short (a scheduler's time-out, a shutdown)
// before it reaches its last clocks. So that those never starve, the next
// sweep of the same bus begins with the clocks the last one did not finish,
// then reads the rest in address order.
//
// An address where no clock answered costs a sweep a whole wait (5 s) at
// every run. So an address that stayed silent when it was last asked is
// left out until an interval has passed since (an hour by default), then
// asked once more, with the same whole wait, so that a slow clock is never
// taken for an absent one; a clock connected there meanwhile keeps its
// punches in its ring and is collected then. Silence counts only on a bus
// where some clock of the same sweep answered: when none does, the line
// itself is down, and its clocks are asked again at the next run.
//
// What is kept lies in a small file beside the punch store, replaced as a
// whole at every change (written beside, flushed, renamed), so a kill
// leaves the last state or the one before it. A line per clock a sweep did
// not finish, "PORT-KEY TAB CLOCK", and a line per address asked,
// "PORT-KEY TAB CLOCK TAB SECONDS TAB answered|silent", SECONDS being when it
// was last asked (since 1970-01-01 UTC). A sweep marks all the clocks it
// asks unfinished when it begins and each one finished once its records are
// committed; a clock committed just before a kill may be read first once
// more, which costs nothing but its order. The lines of a site, each a
// thread of its own, share the file.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace cli {

inline constexpr const char* kSweepStateFileName = "Sweeps.state";

// `listed` in reading order: those in `unfinished` first, then the others,
// each group in address order; a clock listed twice is read once.
std::vector<int> SweepOrder(const std::vector<int>& listed, const std::set<int>& unfinished);

// An address as it was found when last asked.
struct AddressSeen {
    std::int64_t askedAt = 0;  // seconds since 1970-01-01 UTC
    bool answered = true;
};

// A clock that was silent when last asked, left out until its interval ends.
struct NotAsked {
    int clock = 0;
    std::int64_t lastAsked = 0;  // seconds since 1970-01-01 UTC
};

struct SweepPlan {
    std::vector<int> order;          // the clocks to ask, in reading order
    std::vector<NotAsked> notAsked;  // in address order
};

// The plan for `listed` at `now`: SweepOrder, leaving out each clock silent
// when last asked less than `absentInterval` seconds before `now` (0: none).
// A last asking later than `now` (the computer's clock was set back) leaves
// nothing out.
SweepPlan PlanSweep(const std::vector<int>& listed, const std::set<int>& unfinished,
                    const std::map<int, AddressSeen>& seen, std::int64_t now, std::int64_t absentInterval);

// How the asking of one clock went.
enum class ClockAnswer {
    Finished,  // read to its end
    Answered,  // it said something, but was not read to its end
    Silent,    // a whole wait passed without a character
    Unknown,   // nothing to tell: a stop cut the wait short, or the port failed
};
// The answer of a clock whose collection ended with exit status `status`;
// `heard`: characters came while it was asked; `stopped`: a stop came.
ClockAnswer AnswerOf(int status, bool cutShort, bool heard, bool stopped);

class SweepState {
public:
    // The state of the bus `portKey` in `folder`; a silent clock is left out
    // for `absentInterval` seconds (0: never). A state that cannot be
    // written is told to `warn` (a sentence without the program's name), and
    // the sweep goes on: order and absence are a matter of time, not of the
    // records.
    SweepState(std::string folder, std::string portKey, std::int64_t absentInterval,
               std::function<void(const std::string&)> warn);

    // The plan for `listed` now; the clocks to ask are unfinished from now on.
    SweepPlan Begin(const std::vector<int>& listed);
    // `clock` was asked just now and answered so.
    void Asked(int clock, ClockAnswer answer);

private:
    std::string m_path, m_portKey;
    std::int64_t m_absentInterval;
    std::function<void(const std::string&)> m_warn;
    // Silences kept back until a clock of this sweep answers.
    std::vector<std::pair<int, std::int64_t>> m_silences;
    bool m_someAnswered = false;
};

// The status of a clock left out, as the table and the status file give it.
inline constexpr const char* kNotAskedWord = "absent, not asked";
// What a sweep says about the clocks it leaves out (empty: none).
std::string NotAskedText(const SweepPlan& plan, std::int64_t absentInterval);

}  // namespace cli
