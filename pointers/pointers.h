// The ring-buffer pointers of the clock: the pointer query behind Button2 and
// the date-range search behind btnSearchPointers.
//
// Both run on the window's thread through ClockWindow and report every
// failure to the operator themselves; when they return, the operation
// buttons are enabled and the port is closed.
#pragma once

#include <cstdint>

#include "clocklink/clockwindow.h"

// Record positions in the clock's ring buffer.
inline constexpr std::int32_t kRingSize = 253579;

// Shows ARI and AWI in lARI and lAWI.
void RunPointerQuery(ClockWindow& window);

// Finds the ring positions of the from-date and the to-date and fills eStart
// and eCount with the start and the number of records between them.
void RunDateRangeSearch(ClockWindow& window);
