// Which clock answers at a port: known by what it holds, not by how the
// port is spelled.
//
// A port's key is what its name leads to: the device behind a COMn entry
// or a path with every link followed, or a converter's URL with its scheme
// and host in lower case and no trailing "/". Two spellings of one device
// or converter have one key.
//
// Before a saved position is trusted, the last two good records the clock
// held before it are read back and compared with the ones the store
// remembers (flagged records carry no identity). Same bytes: the same
// clock. Other bytes, or a clock that no longer holds those positions: it
// was replaced, cleared or reset, and a new life of it begins, read from its
// ARI; the store keeps the decision only with that life's first commit. A key the store does not know is
// compared with the clocks it knows on the same bus and address: one whose records match is that clock under
// a new name, and goes on from its saved position. Where the pointers show the remembered record was
// overwritten since (ARI moved past the saved position), nothing can be read back, and the clock is taken to
// be the one known; where they show nothing new to read, nothing is read back either (the next run that has
// records to read does).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "punchstore.h"
#include "readplan.h"

namespace collect {

// The key of the port named `port` (see above).
std::string PortKey(const std::string& port);

// What `port` reaches: its key and, for a converter, the addresses and TCP
// port its host resolves to. Two port names that share one of these are one
// port written two ways (COM1 and /dev/ttyS0, a converter's host by name and
// by address).
std::vector<std::string> PortReaches(const std::string& port);

// The clock's record at a ring position: its payload, or the whole answer
// when the clock flags it ("???"); nothing when it could not be read.
using ReadBack = std::function<std::optional<std::string>(std::int32_t position)>;

struct Identity {
    enum Kind {
        FirstSight,  // a clock the store did not know
        Same,        // the clock known under this name
        Moved,       // a clock known under another name, now under this one
        NewLife,     // the clock known here was replaced, cleared or reset
    };
    Kind kind = FirstSight;
    KnownClock clock;
    std::string knownAs;  // Moved: the name it was last collected under
};

// Decides which clock `name` reaches, holding `ring` now, reading back
// records with `readBack`, and records the decision in the store (a new
// clock, a name), but for a new life, which the clock's first commit of
// it stores (KnownClock::lifeBegins). Raises ClockSilent when a record that
// must be compared could not be read, or was answered only as flagged.
Identity IdentifyClock(PunchStore& store, const ClockName& name, const RingState& ring,
                       const ReadBack& readBack);

class ClockSilent : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace collect
