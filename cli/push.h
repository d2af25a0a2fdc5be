// push and download --push: the punch store of --out sent to the central
// database (collect/centraldb.h), with what it says on standard error.
#pragma once

#include <functional>
#include <string>

#include "options.h"
#include "statusfile.h"

namespace cli {

// Pushes the store of `options.outDirectory` to `options.central` and
// returns the exit status. `stopSignal` gives the number of a signal that
// asked to stop, or 0; the push then ends after the transaction it is in.
// The push is added to `report`, when given, as an entry of its own named
// after the central database.
int PushStore(const Options& options, const std::string& program, const std::function<int()>& stopSignal,
              RunStatus* report = nullptr);

}  // namespace cli
