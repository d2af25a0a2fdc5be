// relayout: a clock's record layout changed on purpose in the punch store
// of --out (collect/relayout.h), and with --push in the central database.
#pragma once

#include <string>

#include "options.h"

namespace cli {

// Returns the exit status.
int RelayoutStore(const Options& options, const std::string& program);

}  // namespace cli
