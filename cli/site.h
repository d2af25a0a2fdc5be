// site: the punch store's site, and how a store found away from its home
// (collect/punchstore.h) is settled before it pushes again. A copy made to
// collect for another branch takes an identity of its own; a store moved
// on purpose takes its new place as its home.
#pragma once

#include <string>

#include "collect/punchstore.h"
#include "options.h"

namespace cli {

// Shows the site of the store of `options.outDirectory` on standard output,
// after --new-identity, --moved or --site-name changed it; returns the exit
// status.
int ManageSite(const Options& options, const std::string& program);

// The line site and clocks show for a store whose publication of Dump-*.Txt
// files is off; empty while it is on.
std::string PublicationText(collect::PunchStore& punches);

}  // namespace cli
