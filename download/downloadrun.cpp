// The download run behind Button1.
//
// The run talks to the clock only through the clock link's command set and
// reaches the window only through ClockWindow, reading the window's state at
// the moment each step needs it. It ends in one of four ways, each of which
// leaves the operation buttons enabled and the port closed: all records read,
// the clock not answering its record counter, six unusable record replies in
// a row, or an error that escapes a step (reported to the operator first).
#include "download/download.h"

#include <algorithm>
#include <exception>
#include <string>
#include <utility>

#include "clocklink/clocklink.h"
#include "utils/calendar.h"
#include "utils/errors.h"
#include "utils/text.h"

namespace {

const char* const kErrorCaption = "خطا";
const char* const kCommunicationError = "خطا در ارتباط ";
const char* const kRecordError = "خطا در رکورد";
const char* const kClockDateError = "خطا در خواندن ساعت و تاريخ";
const char* const kBadCountError = "تعداد صحيح نمي باشد";
const char* const kBadStartError = "شروع صحيح نمي باشد";

// Expected length of the record counter reply in the download.
constexpr int kRecordCounterLength = 15;
constexpr int kClockDateAttempts = 4;
// Replies in a row without a usable record that the run tolerates; the next
// one ends it.
constexpr int kMaxFailureRun = 5;

// The clock's date payload starts yyyymmdd. The date is usable when its three
// pieces are numbers and it converts into the other calendar.
bool IsUsableClockDate(std::string_view payload, bool solar)
{
    std::int32_t year = 0, month = 0, day = 0;
    if (!TryStrToInt(SubText(payload, 7, 8), day) || !TryStrToInt(SubText(payload, 5, 6), month) ||
        !TryStrToInt(SubText(payload, 1, 4), year))
        return false;
    try {
        if (solar) {
            SolarToGregorianText(static_cast<std::uint16_t>(year), static_cast<std::uint16_t>(month),
                                 static_cast<std::uint16_t>(day));
            return true;
        }
        if (!IsValidGregorianDate(year, month, day)) return false;
        GregorianToSolarText(static_cast<std::uint16_t>(year), static_cast<std::uint16_t>(month),
                             static_cast<std::uint16_t>(day));
        return true;
    } catch (const EConvertError&) {
        return false;
    }
}

// A usable record payload. The bus's "OK" frame answers "AUR=" and is never
// a record: where a record is expected it is the late answer of a pointer
// command whose own answer was taken as lost.
bool IsRecordPayload(const std::string& payload) { return !payload.empty() && payload != "OK"; }

class Download {
public:
    Download(ClockWindow& window, const RecordRangeChooser& choose, RecordSink* sink)
        : m_window(window), m_choose(choose), m_sink(sink)
    {
    }

    void Run()
    {
        m_window.SetOperationButtonsEnabled(false);

        std::int32_t count = 0, start = 0;
        if (!m_choose) {
            // A negative count cannot be shown on the progress bar and makes
            // no sense to the clock: refuse it before anything is sent.
            count = StrToIntDef(m_window.CountText(), 0);
            if (count < 0) {
                m_window.ShowErrorDialog(kBadCountError);
                m_window.SetOperationButtonsEnabled(true);
                return;
            }
            // Likewise a negative start index: the clock would get
            // "AUR=000-7", ignore it and leave its pointer wherever it was, so
            // the records read would not be the ones asked for. The start is
            // read once, here, so a value typed while the first queries run
            // cannot slip past this check.
            start = StrToIntDef(m_window.StartText(), 0);
            if (start < 0) {
                m_window.ShowErrorDialog(kBadStartError);
                m_window.SetOperationButtonsEnabled(true);
                return;
            }
        }

        // A chosen download goes on in the port session an earlier one of the
        // same sweep left open in order: nothing of that session is still on
        // its way, so the line needs no new quiet wait.
        const bool sessionGoesOn = m_choose && SharedPort() && SharedPort()->Connected();
        if (!sessionGoesOn) SetUpPortFromWindow(m_window);

        const std::int32_t recordTotal = QueryRecordCounter(m_window, kRecordCounterLength);
        // A stop cuts the wait for the answer short; that is no failure of the clock.
        if (Stopped()) return;
        if (recordTotal == 0) {
            EndWithMessage(kCommunicationError);
            return;
        }
        m_window.SetRecordsReadText("");

        if (m_choose) {
            const std::optional<RecordRange> range = m_choose(recordTotal);
            if (!range) {
                Finish();
                return;
            }
            if (Stopped()) return;
            start = range->start;
            count = range->count;
        }

        // In a sweep's port session, a date answered whole at the first
        // attempt leaves nothing on its way: the pointer command needs no
        // quiet wait before it.
        m_lineKnownQuiet = ReadClockDate() && sessionGoesOn;
        if (Stopped()) return;
        if (m_sink) m_sink->ClockDate(m_run.ClockIsSolar, m_run.ClockDateText);

        m_window.SetRecordTotalText(std::to_string(recordTotal));
        m_window.SetStartText(PadLeft(std::to_string(start), 5, '0'));
        if (!m_choose) count = CountHeld(recordTotal, start, count);

        if (ReadRecords(start, count)) Finish();
    }

private:
    // A count beyond what the counter says the clock holds after `start`
    // is cut to the records it holds up to its newest, by the write index:
    // past the newest record the clock has nothing to answer, and the run
    // would end in the record error after reading everything there was.
    // A count within the counter is read as asked, without the extra query.
    std::int32_t CountHeld(std::int32_t recordTotal, std::int32_t start, std::int32_t count)
    {
        if (count <= static_cast<std::int64_t>(recordTotal) - start) return count;
        const std::int64_t held =
            RecordsHeldFrom(recordTotal, start,
                            PointerReplyValue(QueryWriteIndexPointer(m_window), PointerRule::RingPosition,
                                              m_window.IsRs232()));
        m_cutShort = held < count;
        return static_cast<std::int32_t>(std::min<std::int64_t>(count, held));
    }

    bool Stopped()
    {
        if (!m_window.StopRequested()) return false;
        Finish();
        return true;
    }

    // Orderly end: the port is closed (a chosen download leaves it open for
    // the next one), then the buttons come back.
    void Finish()
    {
        ReportLayoutVerdict();
        if (!m_choose) CloseSharedPort();
        m_window.SetOperationButtonsEnabled(true);
    }

    // The buttons come back before the box so the operator sees a usable
    // window behind it; the port is closed once the box is dismissed.
    void EndWithMessage(const char* text)
    {
        ReportLayoutVerdict();
        m_window.SetOperationButtonsEnabled(true);
        m_window.ShowMessageBox(text, kErrorCaption);
        CloseSharedPort();
    }

    // The clock's calendar and date decide how four-digit record dates get
    // their year. Whatever the last attempt read is kept even when no attempt
    // gave a usable date: Vireo records carry their own year.
    // Returns true when the first attempt gave a usable date.
    bool ReadClockDate()
    {
        for (int attempt = 0; attempt < kClockDateAttempts; ++attempt) {
            const std::string payload = QueryClockDatePayload(m_window);
            m_run.ClockIsSolar = SubText(payload, 1, 2) <= std::string("19");
            m_run.ClockDateText =
                SubText(payload, 1, 4) + "/" + SubText(payload, 5, 6) + "/" + SubText(payload, 7, 8);
            if (IsUsableClockDate(payload, m_run.ClockIsSolar)) return attempt == 0;
            if (m_window.StopRequested()) return false;
        }
        m_window.ShowErrorDialog(kClockDateError);
        return false;
    }

    // Reads exactly `count` records, the first at ring position `start`.
    // Returns false when the run already ended with the record error.
    //
    // The clock's pointer is set before the first record and confirmed like
    // every later resync, so neither a late answer to the date command nor
    // any other answer still on its way is taken for a record.
    //
    // The clock moves its read pointer on with every answer it sends, so an
    // answer that cannot be used (spoilt, cut off, late) has already cost
    // the record it carried. Before asking again the pointer is put back on
    // the record this pass needs, which also drops whatever is still
    // arriving; so no record is skipped and none is read twice.
    bool ReadRecords(std::int32_t start, std::int32_t count)
    {
        // 64-bit, so start + pass, the position a resync goes back to,
        // cannot overflow.
        std::int64_t pass = 0;
        int failureRun = 0;
        if (!PointAt(start, failureRun)) return false;
        if (m_window.StopRequested()) return true;

        m_window.SetProgressMaximum(count);
        m_window.SetProgressPosition(0);
        // A count cut to nothing (a start past the newest record) still
        // says how many records were read; a count of 0 asked for leaves
        // the field as the window always has.
        if (count == 0 && m_cutShort) m_window.SetRecordsReadText("0");
        while (pass < count) {
            const std::string reply = QueryNextRecord(m_window);
            if (IsFlaggedRecord(reply)) {
                // Flagged records neither reset nor extend the failure run.
                if (m_sink)
                    m_sink->Flagged(pass, reply);
                else
                    m_window.WriteBadRecordLine(reply);
            } else if (const std::string payload = ExtractReplyPayload(reply); IsRecordPayload(payload)) {
                failureRun = 0;
                if (m_sink) {
                    Keep(pass, payload);
                } else {
                    const std::string line = DecodeRecord(m_window, m_run, payload);
                    CountDecoded(IsPlausibleRecord(m_run.Data));
                    m_window.WriteDumpLine(line);
                }
            } else {
                // Ask for the same record again; the window shows nothing new.
                // A stop, which also cuts a wait short, ends the run instead.
                if (m_window.StopRequested()) return true;
                if (!CountFailure(failureRun)) return false;
                if (!PointAt(start + pass, failureRun)) return false;
                if (m_window.StopRequested()) return true;
                continue;
            }
            ++pass;
            m_window.SetRecordsReadText(std::to_string(pass));
            m_window.SetProgressPosition(m_window.ProgressPosition() + 1);
            ProcessWindowMessages(m_window);
            if (m_window.StopRequested()) return true;
        }
        return true;
    }

    // A collection keeps a record whose date does not decode, flagged, and
    // goes on: one such record must not stop every later run at it.
    void Keep(std::int64_t pass, const std::string& payload)
    {
        std::string line;
        try {
            line = DecodeRecord(m_window, m_run, payload);
        } catch (const EConvertError& error) {
            CountDecoded(false);
            m_sink->Undecodable(pass, payload, error.what());
            return;
        }
        CountDecoded(IsPlausibleRecord(m_run.Data));
        m_sink->Good(pass, payload, line);
    }

    // One more record decoded for the layout verdict.
    void CountDecoded(bool plausible)
    {
        ++m_decoded;
        if (!plausible) ++m_implausible;
    }

    // Sets the clock's pointer on `position`. Until the clock confirms it,
    // its next answer could be any record: each attempt without "OK" counts
    // as one more failure in the run and is tried again. Returns false when
    // the run ended with the record error; true once the pointer is set or
    // the window asks to stop.
    bool PointAt(std::int64_t position, int& failureRun)
    {
        while (!ResyncUserReadPointer(m_window, position, m_pendingPointerAnswers,
                                      std::exchange(m_lineKnownQuiet, false))) {
            if (m_window.StopRequested()) return true;
            if (!CountFailure(failureRun)) return false;
        }
        return true;
    }

    // One more reply in a row without a usable record. The sixth ends the
    // run with the record error; returns false then.
    //
    // Whether the clock said anything after the first failure of the run
    // tells a clock that went silent from one that answers badly: the
    // first failure may be an answer cut off part-way as the clock stopped.
    bool CountFailure(int& failureRun)
    {
        if (failureRun == 0) m_heardAtFirstFailure = CharactersReceived();
        if (failureRun == kMaxFailureRun) {
            if (CharactersReceived() == m_heardAtFirstFailure) m_window.ClockStoppedAnswering();
            EndWithMessage(kRecordError);
            return false;
        }
        ++failureRun;
        return true;
    }

public:
    // Tells the window, once, when the records read so far mostly did not
    // fit the layout chosen. Every end of the run comes here before its
    // final message, an escaped error included.
    void ReportLayoutVerdict()
    {
        if (m_verdictGiven) return;
        m_verdictGiven = true;
        if (LayoutLooksWrong(m_decoded, m_implausible))
            m_window.RecordLayoutDoubtful(LayoutWarningText(m_window.IsVireo(), m_decoded, m_implausible));
    }

private:
    ClockWindow& m_window;
    const RecordRangeChooser& m_choose;
    RecordSink* m_sink;
    std::int64_t m_decoded = 0, m_implausible = 0;
    bool m_verdictGiven = false;
    DownloadRun m_run;
    PendingPointerAnswers m_pendingPointerAnswers;
    std::uint64_t m_heardAtFirstFailure = 0;
    bool m_cutShort = false;        // the count asked for was cut to the records held
    bool m_lineKnownQuiet = false;  // the next resync needs no quiet wait
};

}  // namespace

std::int64_t RecordsHeldFrom(std::int32_t held, std::int32_t start, std::optional<std::int32_t> awi)
{
    if (!awi) return std::max<std::int64_t>(0, static_cast<std::int64_t>(held) - start);
    const std::int64_t heldInRing = std::min<std::int64_t>(held, kRingSize);
    const std::int64_t oldest = ((*awi - heldInRing) % kRingSize + kRingSize) % kRingSize;
    const std::int64_t offset = ((start - oldest) % kRingSize + kRingSize) % kRingSize;
    return offset < heldInRing ? heldInRing - offset : 0;
}

void RunDownload(ClockWindow& window) { RunChosenDownload(window, nullptr); }

void RunChosenDownload(ClockWindow& window, const RecordRangeChooser& choose, RecordSink* sink)
{
    Download download(window, choose, sink);
    try {
        download.Run();
    } catch (const std::exception& error) {
        try {
            download.ReportLayoutVerdict();
        } catch (const std::exception&) {
            // The error that ended the run is the one to report.
        }
        window.ReportError(error);
        window.SetOperationButtonsEnabled(true);
        try {
            CloseSharedPort();
        } catch (const std::exception&) {
            // The port failed already and that failure has been reported.
        }
    }
}
