// The download: reads the clock's record counter and date, points the
// clock's user read pointer at the start index and reads the requested
// records one by one, writing each good record decoded to Dump.Txt and each
// record the clock flags as unreadable raw to BadRecs.Txt.
//
// Everything runs on the window's thread through ClockWindow; the window
// stays responsive because the clock link and the record loop let it process
// its messages.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "clocklink/clockwindow.h"

// A text of at most N characters: a longer assignment keeps the first N.
template <std::size_t N>
class FixedText {
public:
    FixedText& operator=(std::string_view text)
    {
        m_text.assign(text.substr(0, N));
        return *this;
    }
    const std::string& str() const { return m_text; }

private:
    std::string m_text;
};

// One record while it is decoded.
struct TData {
    FixedText<3> ClockNo;
    FixedText<10> CardNo;
    FixedText<10> RawDate;
    FixedText<5> RawTime;
    FixedText<2> TypeLetter;
    FixedText<1> LastChar;
    FixedText<2> TypeCode;
    FixedText<2> ExtraCode;
    std::string PortText;
};

// State of one download run that the decoding reads.
struct DownloadRun {
    bool ClockIsSolar = false;
    std::string ClockDateText;  // yyyy/mm/dd in the clock's own calendar
    TData Data;
};

// Decimal text of `value`, left-padded with "0" to `width` and cut to its
// last `width` characters.
std::string IntToFixedWidth(std::int64_t value, int width);

// The record's date as yyyy/mm/dd in the clock's calendar, from the raw date
// field (yymmdd or mmdd). Raises EConvertError when a piece it must read as a
// number is not one.
std::string FormatRecordDate(const DownloadRun& run, std::string_view rawDate);

// The dump line (without line end) of one record payload. Reads the layout
// (IsVireo), SelectedClock and eCom from the window at this moment.
std::string DecodeRecord(const ClockWindow& window, DownloadRun& run, std::string_view payload);
// The same with the window's three settings given: the clock number, the
// port number the line carries and the layout.
std::string DecodeRecord(const std::string& clockText, const std::string& comText, bool vireo,
                         DownloadRun& run, std::string_view payload);

// Whether a decoded record reads as a date and a time in the layout it was
// decoded with: month 1-12, day 1-31, hour 0-23, minute 0-59. Records of the
// other layout mostly do not: a Vireo card's last digits land in the month,
// a standard record's time in the date.
bool IsPlausibleRecord(const TData& data);
// Whether a download that decoded `decoded` records, `implausible` of them
// not plausible, most likely used the wrong layout: more than half of them
// were implausible. Flagged records are never decoded and do not count, so
// they alone never make a download doubtful, and neither do a few records
// the line garbled past their check byte.
bool LayoutLooksWrong(std::int64_t decoded, std::int64_t implausible);
// The warning for a doubtful download, naming the layout to try instead.
std::string LayoutWarningText(bool vireoChosen, std::int64_t decoded, std::int64_t implausible);

// The whole download behind Button1. Reports every failure to the operator
// itself; when it returns, the operation buttons are enabled and the port is
// closed.
void RunDownload(ClockWindow& window);

// The records a download reads: `count` records from ring position `start`.
struct RecordRange {
    std::int32_t start = 0;
    std::int32_t count = 0;
};
// Picks the records to read once the clock has answered its record counter
// with `recordTotal` (not 0). The port is open, so it may ask the clock
// more. Nothing: the run ends there, in order, having read nothing.
using RecordRangeChooser = std::function<std::optional<RecordRange>(std::int32_t recordTotal)>;

// Where the records of a collection go instead of the window's output files,
// each with its place in the range read (`pass`: 0 for the range's first
// record). Raising an error ends the download like a failing file write.
class RecordSink {
public:
    virtual ~RecordSink() = default;
    // A good record: its payload and its dump line.
    virtual void Good(std::int64_t pass, const std::string& payload, const std::string& line) = 0;
    // A record the clock flags as unreadable: its whole answer.
    virtual void Flagged(std::int64_t pass, const std::string& reply) = 0;
    // A record whose date does not decode (`why`); the download goes on.
    virtual void Undecodable(std::int64_t pass, const std::string& payload, const std::string& why) = 0;
    // The clock's calendar and date (yyyy/mm/dd), read before the first record.
    virtual void ClockDate(bool solar, const std::string& dateText) = 0;
};

// The download with the records `choose` picks instead of eStart and eCount,
// for scheduled collection. It uses the shared port when that is open, and
// leaves it open when it ends in order, so a sweep of a bus talks to all its
// clocks in one port session; after any failure the port is closed as above
// and the next download starts on a quiet line. The caller releases the
// port at the end. With a `sink` the records go there, not to the window's
// files. Otherwise as above.
void RunChosenDownload(ClockWindow& window, const RecordRangeChooser& choose, RecordSink* sink = nullptr);
