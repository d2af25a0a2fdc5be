#include "pointers/pointers.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <string>

#include "clocklink/clocklink.h"
#include "utils/errors.h"
#include "utils/text.h"

namespace {

// Operator texts, UTF-8.
constexpr const char* kCommunicationErrorText = "خطا در ارتباط ";
constexpr const char* kErrorCaption = "خطا";
constexpr const char* kFromDateInvalidText = "تاريخ شروع صحيح نمي باشد";
constexpr const char* kToDateInvalidText = "تاريخ پايان صحيح نمي باشد";
constexpr const char* kSearchDoneLine1 = "اشاره گرها با موفقيت خوانده شد";
constexpr const char* kSearchDoneLine2 = "همچنين فيلدهاي شروع و تعداد بصورت صحيح مقدار داده شد";

// Length the record counter reply is collected to in the pointer query.
constexpr int kCounterReplyLength = 25;

// The label shown while a pointer is unknown.
constexpr const char* kUnknownPointer = "-1";

// Characters 11 to 16 of a Vireo record payload: its date as yymmdd.
constexpr int kRecordDateFirst = 11;
constexpr int kRecordDateLast = 16;

// Error labels of one date search: the clock refused to position at the
// date, and the clock's pointer did not read as a number.
struct DateSearchLabels {
    const char* positionError;
    const char* pointerError;
};
constexpr DateSearchLabels kToDateLabels{"AURD1 Error : ", "Read PEnd Error : "};
constexpr DateSearchLabels kFromDateLabels{"AURD2 Error : ", "Read PBeg Error : "};
constexpr const char* kWriteAurError = "Write AUR Error : ";
// The clock's write index, which bounds a search that counts held records
// only, did not read as a number.
constexpr const char* kReadAwiError = "Read AWI Error : ";

void ReportEscapedError(ClockWindow& window, const std::exception_ptr& error)
{
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        window.ReportError(e);
    } catch (...) {
        window.ReportError(Exception("Unknown error"));
    }
}

// Runs `step`; when it fails, keeps its error in `first` unless an earlier
// step already failed, so that every step of a cleanup runs.
template <class Step>
void RunKeepingFirstError(Step&& step, std::exception_ptr& first)
{
    try {
        step();
    } catch (...) {
        if (!first) first = std::current_exception();
    }
}

// Where one date search ended: the position the clock placed its pointer
// at, and the records read on from there before one of the date or later.
struct DatePosition {
    std::int32_t pointer = 0;
    int passes = 0;
    std::int64_t Position() const { return static_cast<std::int64_t>(pointer) + passes; }
};

// Modulo the ring, always from 0 up.
std::int64_t RingModulo(std::int64_t position) { return ((position % kRingSize) + kRingSize) % kRingSize; }

// The ring position of the first record on or after `date`, or nothing when
// the search ended early: the clock refused a step (the operator has been
// told) or the window is closing.
std::optional<DatePosition> FindDatePosition(ClockWindow& window, const std::string& date,
                                             const DateSearchLabels& labels)
{
    // A stop cuts the waits short: what came then is no answer to judge.
    if (window.StopRequested()) return std::nullopt;
    std::string reply = PositionAtDate(window, date);
    if (window.StopRequested()) return std::nullopt;
    if (!HasOk(reply)) {
        window.ShowErrorDialog(labels.positionError + reply);
        return std::nullopt;
    }

    reply = QueryUserReadPointer(window);
    if (window.StopRequested()) return std::nullopt;
    std::int32_t pointer = 0;
    if (!TryStrToInt(reply, pointer)) {
        window.ShowErrorDialog(labels.pointerError + reply);
        return std::nullopt;
    }

    // Setting the pointer to where the clock already put it makes the reads
    // below start there whatever the clock did after answering "AUR?".
    reply = SetUserReadPointer(window, std::to_string(pointer));
    if (window.StopRequested()) return std::nullopt;
    if (!HasOk(reply)) {
        window.ShowErrorDialog(kWriteAurError + reply);
        return std::nullopt;
    }

    // Every answer moves the clock's pointer on by one, so flagged records
    // and unreadable frames count as positions like earlier-dated records.
    int passes = 0;
    while (passes < kMaxSearchPasses) {
        if (window.StopRequested()) return std::nullopt;
        const std::string record = QueryNextRecord(window);
        if (!IsFlaggedRecord(record)) {
            const std::string recordDate =
                SubText(ExtractReplyPayload(record), kRecordDateFirst, kRecordDateLast);
            if (IsOnOrAfterDate(recordDate, date)) break;
        }
        ++passes;
    }
    return DatePosition{pointer, passes};
}

}  // namespace

bool IsAcceptedDateText(std::string_view trimmedText)
{
    std::int32_t value = 0;
    return TryStrToInt(trimmedText, value) && value != -1;
}

bool IsOnOrAfterDate(std::string_view recordDate, std::string_view date)
{
    // char_traits<char> compares bytes as unsigned char, and a leading part
    // sorts before the longer text.
    return recordDate >= date;
}

std::int64_t RecordsBetween(std::int64_t begin, std::int64_t end)
{
    return end > begin ? end - begin : kRingSize - begin + end;
}

std::int64_t HeldRecordOffset(std::int64_t awi, std::int64_t held, std::int64_t pointer, std::int64_t passes)
{
    held = std::clamp<std::int64_t>(held, 0, kRingSize);
    const std::int64_t oldest = RingModulo(awi - held);
    const std::int64_t fromPointerToAwi = RingModulo(awi - RingModulo(pointer));
    // Reaching the write index after reading records means the walk ran past
    // the newest record. Standing on it without reading anything is only
    // possible in a full ring, where it is also the oldest record, and that
    // record was already on or after the date.
    if (passes > fromPointerToAwi || (passes == fromPointerToAwi && (passes > 0 || held < kRingSize)))
        return held;
    const std::int64_t offset = RingModulo(pointer + passes - oldest);
    return offset > held ? 0 : offset;
}

void RunPointerQuery(ClockWindow& window)
{
    window.SetOperationButtonsEnabled(false);
    try {
        SetUpPortFromWindow(window);
        const std::int32_t counter = QueryRecordCounter(window, kCounterReplyLength);
        window.SetReadIndexText(kUnknownPointer);
        // A stop cuts the wait for the counter short: no failure to report.
        if (window.StopRequested()) {
            CloseSharedPort();
            window.SetOperationButtonsEnabled(true);
            return;
        }
        if (counter == 0) {
            // No clock, or one without records: asking for pointers would
            // only show two more failures.
            window.SetOperationButtonsEnabled(true);
            window.ShowMessageBox(kCommunicationErrorText, kErrorCaption);
            CloseSharedPort();
            return;
        }

        // Each label shows "-1" while its pointer is being asked for, so a
        // failed query never leaves an old value that looks current.
        window.SetWriteIndexText(kUnknownPointer);
        window.SetReadIndexText(PointerLabelText(QueryReadIndexPointer(window)));
        window.SetWriteIndexText(PointerLabelText(QueryWriteIndexPointer(window)));
        CloseSharedPort();
        window.SetOperationButtonsEnabled(true);
    } catch (...) {
        ReportEscapedError(window, std::current_exception());
        window.SetOperationButtonsEnabled(true);
        try {
            CloseSharedPort();
        } catch (...) {
            // The operator has the error that mattered; a port that also
            // fails to close is replaced by the next operation.
        }
    }
}

void RunDateRangeSearch(ClockWindow& window, SearchCount counting)
{
    // The dates are checked before anything else so that a typing mistake
    // costs no port and no wait.
    const std::string fromDate = Trim(window.FromDateText());
    if (!IsAcceptedDateText(fromDate)) {
        window.ShowErrorDialog(kFromDateInvalidText);
        return;
    }
    const std::string toDate = Trim(window.ToDateText());
    if (!IsAcceptedDateText(toDate)) {
        window.ShowErrorDialog(kToDateInvalidText);
        return;
    }

    window.SetOperationButtonsEnabled(false);

    // From the port setup on, every way out closes and destroys the port,
    // then hides pnlWait, and gives the buttons back. Each step runs even
    // when an earlier one fails; the first failure is raised afterwards.
    bool cleanedUp = false;
    auto cleanup = [&] {
        if (cleanedUp) return;
        cleanedUp = true;
        std::exception_ptr first;
        RunKeepingFirstError([] { CloseSharedPort(); }, first);
        RunKeepingFirstError([] { ReleaseSharedPort(); }, first);
        RunKeepingFirstError([&] { window.SetWaitPanelVisible(false); }, first);
        RunKeepingFirstError([&] { window.SetOperationButtonsEnabled(true); }, first);
        if (first) std::rethrow_exception(first);
    };

    try {
        SetUpPortFromWindow(window);
        // The wait for "AURD=" lets no window message through, so the panel
        // is painted now or not at all.
        window.SetWaitPanelVisible(true);
        ProcessWindowMessages(window);

        const std::optional<DatePosition> end = FindDatePosition(window, toDate, kToDateLabels);
        if (!end) {
            cleanup();
            return;
        }
        const std::optional<DatePosition> begin = FindDatePosition(window, fromDate, kFromDateLabels);
        if (!begin) {
            cleanup();
            return;
        }

        if (counting == SearchCount::RingArithmetic) {
            window.SetStartText(std::to_string(begin->Position()));
            window.SetCountText(std::to_string(RecordsBetween(begin->Position(), end->Position())));
        } else {
            // The walk past the newest record reads positions that hold
            // nothing, so the positions are measured against what the clock
            // holds: its write index and its record counter.
            const std::string awiReply = QueryWriteIndexPointer(window);
            const std::int32_t held = QueryRecordCounter(window, kCounterReplyLength);
            if (window.StopRequested()) {
                cleanup();
                return;
            }
            const std::optional<std::int32_t> awiValue =
                PointerReplyValue(awiReply, PointerRule::RingPosition, window.IsRs232());
            if (!awiValue) {
                window.ShowErrorDialog(kReadAwiError + awiReply);
                cleanup();
                return;
            }
            const std::int32_t awi = *awiValue;
            const std::int64_t first = HeldRecordOffset(awi, held, begin->pointer, begin->passes);
            const std::int64_t last = HeldRecordOffset(awi, held, end->pointer, end->passes);
            window.SetStartText(
                std::to_string(RingModulo(awi - std::clamp<std::int64_t>(held, 0, kRingSize) + first)));
            window.SetCountText(std::to_string(std::max<std::int64_t>(0, last - first)));
        }
        cleanup();
        window.ShowInformationDialog(std::string(kSearchDoneLine1) + "\r\n" + kSearchDoneLine2);
    } catch (...) {
        const std::exception_ptr error = std::current_exception();
        try {
            cleanup();
        } catch (...) {
            // The error that ended the search is the one to report.
        }
        ReportEscapedError(window, error);
    }
}
