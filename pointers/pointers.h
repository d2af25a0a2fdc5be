// The ring-buffer pointers of the clock: the pointer query behind Button2 and
// the date-range search behind btnSearchPointers.
//
// Both run on the window's thread through ClockWindow and report every
// failure to the operator themselves; when they return, the operation
// buttons are enabled and the port is closed.
//
// The pointer query asks the record counter first, so a clock that does not
// answer gets one clear message instead of two unreadable pointers. The
// search has the clock place its user read pointer at a date ("AURD="), which
// the clock only promises to do to within 100 records before the first record
// of that date; it then reads records forward until it meets that date. Both
// dates are searched that way and the positions give eStart and eCount for
// the next download. The search takes the whole port for itself: it sets one
// up, and closes and destroys it on every way out.
#pragma once

#include <cstdint>
#include <string_view>

#include "clocklink/clocklink.h"

// Records read forward from where the clock placed its pointer before the
// search gives up and takes that position plus this many.
inline constexpr int kMaxSearchPasses = 100;

// Shows ARI and AWI in lARI and lAWI.
void RunPointerQuery(ClockWindow& window);

// How the search turns the two positions it found into eStart and eCount.
enum class SearchCount {
    // The window's arithmetic, which its operator sees and may edit: from
    // the begin position up to the end position, across the end of the ring
    // when the end is not above the begin (equal positions: the whole ring).
    RingArithmetic,
    // Both positions kept within the records the clock holds, which the
    // search then asks for (record counter and AWI): the count is what the
    // clock holds in the range, never more, and 0 for a range that holds
    // none. For the command line, whose count is read without a look.
    HeldRecords,
};

// Finds the ring positions of the from-date and the to-date and fills eStart
// and eCount with the start and the number of records between them.
void RunDateRangeSearch(ClockWindow& window, SearchCount counting = SearchCount::RingArithmetic);

// --- pieces of the search, on values only -----------------------------------

// A date field's trimmed text is accepted when it is a 32-bit integer (strict
// conversion) other than -1. It is then sent and compared as typed.
bool IsAcceptedDateText(std::string_view trimmedText);

// True when the record date `recordDate` is on or after `date`: the texts
// compared byte by byte as unsigned characters, a text that is a leading part
// of the other sorting first.
bool IsOnOrAfterDate(std::string_view recordDate, std::string_view date);

// Records from position `begin` up to, not including, position `end`; when
// `end` is not above `begin` the range runs across the end of the ring (equal
// positions mean the whole ring).
std::int64_t RecordsBetween(std::int64_t begin, std::int64_t end);

// Where a date search ended, counted from the oldest record the clock holds:
// 0 for the oldest, `held` for the end of the newest. The clock placed its
// pointer at `pointer` and the search read `passes` records on from there;
// the clock's write index is `awi` and it holds `held` records. A walk that
// reached or passed the write index ends at `held`, and a position in the
// part of the ring that holds no records at 0.
std::int64_t HeldRecordOffset(std::int64_t awi, std::int64_t held, std::int64_t pointer, std::int64_t passes);
