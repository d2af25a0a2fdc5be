// The download run behind Button1.
//
// The run talks to the clock only through the clock link's command set and
// reaches the window only through ClockWindow, reading the window's state at
// the moment each step needs it. It ends in one of four ways, each of which
// leaves the operation buttons enabled and the port closed: all records read,
// the clock not answering its record counter, six unusable record replies in
// a row, or an error that escapes a step (reported to the operator first).
#include "download/download.h"

#include <exception>
#include <string>

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

// Expected length of the record counter reply in the download.
constexpr int kRecordCounterLength = 15;
constexpr int kClockDateAttempts = 4;
// Replies in a row without a usable record that the run tolerates; the next
// one ends it.
constexpr int kMaxFailureRun = 5;
// The record query's collection rules, for collecting an answer without
// asking again.
constexpr int kRecordReplyLength = 50;
constexpr std::uint32_t kReplyTimeLimitMs = 5000;
constexpr std::uint32_t kReplyPauseMs = 2;
constexpr int kEmptyReadsPerMessagePass = 50;

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

class Download {
public:
    explicit Download(ClockWindow& window) : m_window(window) {}

    void Run()
    {
        m_window.SetOperationButtonsEnabled(false);

        // A negative count cannot be shown on the progress bar and makes no
        // sense to the clock: refuse it before anything is sent.
        const std::int32_t count = StrToIntDef(m_window.CountText(), 0);
        if (count < 0) {
            m_window.ShowErrorDialog(kBadCountError);
            m_window.SetOperationButtonsEnabled(true);
            return;
        }

        SetUpPortFromWindow(m_window);

        const std::int32_t recordTotal = QueryRecordCounter(m_window, kRecordCounterLength);
        if (recordTotal == 0) {
            EndWithMessage(kCommunicationError);
            return;
        }
        m_window.SetRecordsReadText("");
        if (Stopped()) return;

        ReadClockDate();
        if (Stopped()) return;

        m_window.SetRecordTotalText(std::to_string(recordTotal));
        m_window.SetStartText(PadLeft(std::to_string(StrToIntDef(m_window.StartText(), 0)), 5, '0'));
        SetUserReadPointerForDownload(m_window, m_window.StartText());

        if (ReadRecords(count)) Finish();
    }

private:
    bool Stopped()
    {
        if (!m_window.StopRequested()) return false;
        Finish();
        return true;
    }

    // Orderly end: the port is closed, then the buttons come back.
    void Finish()
    {
        CloseSharedPort();
        m_window.SetOperationButtonsEnabled(true);
    }

    // The buttons come back before the box so the operator sees a usable
    // window behind it; the port is closed once the box is dismissed.
    void EndWithMessage(const char* text)
    {
        m_window.SetOperationButtonsEnabled(true);
        m_window.ShowMessageBox(text, kErrorCaption);
        CloseSharedPort();
    }

    // The clock's calendar and date decide how four-digit record dates get
    // their year. Whatever the last attempt read is kept even when no attempt
    // gave a usable date: Vireo records carry their own year.
    void ReadClockDate()
    {
        for (int attempt = 0; attempt < kClockDateAttempts; ++attempt) {
            const std::string payload = QueryClockDatePayload(m_window);
            m_run.ClockIsSolar = SubText(payload, 1, 2) <= std::string("19");
            m_run.ClockDateText = SubText(payload, 1, 4) + "/" + SubText(payload, 5, 6) + "/" + SubText(payload, 7, 8);
            if (IsUsableClockDate(payload, m_run.ClockIsSolar)) return;
            if (m_window.StopRequested()) return;
        }
        m_window.ShowErrorDialog(kClockDateError);
    }

    // Reads exactly `count` records. Returns false when the run already ended
    // (failure path B).
    bool ReadRecords(std::int32_t count)
    {
        m_window.SetProgressMaximum(count);
        m_window.SetProgressPosition(0);

        // 64-bit so that the largest count still ends.
        std::int64_t pass = 0;
        int failureRun = 0;
        while (pass < count) {
            const std::string reply = NextRecordReply();
            if (IsFlaggedRecord(reply)) {
                // Flagged records neither reset nor extend the failure run.
                m_window.WriteBadRecordLine(reply);
            } else {
                const std::string payload = ExtractReplyPayload(reply);
                if (payload.empty()) {
                    if (failureRun == kMaxFailureRun) {
                        EndWithMessage(kRecordError);
                        return false;
                    }
                    // Ask for the same record again; the window shows nothing new.
                    ++failureRun;
                    if (m_window.StopRequested()) return true;
                    continue;
                }
                failureRun = 0;
                m_window.WriteDumpLine(DecodeRecord(m_window, m_run, payload));
            }
            ++pass;
            m_window.SetRecordsReadText(std::to_string(pass));
            m_window.SetProgressPosition(m_window.ProgressPosition() + 1);
            ProcessWindowMessages(m_window);
            if (m_window.StopRequested()) return true;
        }
        return true;
    }

    // The next record reply: the text up to and including its first CR.
    //
    // Nothing is discarded from the port, so a collection can meet bytes
    // that are not the answer to the NAK just sent: on RS-232 the rest of
    // the pointer command's reply ("K" CR after the "O" it collected), or,
    // after a late answer, two answers back to back, of which the
    // collection takes the first and the head of the second. Sending
    // another NAK whenever that happens would leave one answer more in
    // flight each time, and answers that then arrive together would be cut
    // apart and lost. So what follows the first CR is kept as the start of
    // the next reply, and while an answer is known to be on its way it is
    // collected without asking again.
    std::string NextRecordReply()
    {
        std::string text;
        if (m_answerDue) {
            text = std::move(m_carry);
            m_carry.clear();
            if (text.find(CR) == std::string::npos) text += CollectDueAnswer();
        }
        // Nothing came after all: the NAK was lost, ask again.
        if (text.empty()) text = QueryNextRecord(m_window);
        m_answerDue = false;

        const std::size_t end = text.find(CR);
        if (end == std::string::npos) return text;
        if (end + 1 < text.size()) {
            m_carry = text.substr(end + 1);
            text.erase(end + 1);
            m_answerDue = true;
        }
        // A CR-ended text without a frame marker before its CR is a leftover,
        // not the answer to the NAK: that answer is still to come.
        if (text.find_first_of(std::string_view("\x01\x02", 2)) == std::string::npos) m_answerDue = true;
        return text;
    }

    // Collects an answer that was already asked for, by the rules of a
    // record query (up to 50 characters, ends at a CR, 5000 ms without
    // news) but without sending anything. What precedes a start marker is
    // dropped only while no CR has come: after it the bytes belong to the
    // next answer.
    std::string CollectDueAnswer()
    {
        LinkClock& clock = CurrentLinkClock();
        std::string collected;
        int idle = 0;
        const std::uint32_t t0 = clock.TickCount();
        while (static_cast<int>(collected.size()) < kRecordReplyLength) {
            const std::string chunk = ReadPortText(kRecordReplyLength - static_cast<int>(collected.size()));
            if (chunk.empty()) {
                TComPort* port = SharedPort();
                if (!port || static_cast<std::uint32_t>(clock.TickCount() - t0) >= kReplyTimeLimitMs) break;
                clock.PauseForInput(*port, kReplyPauseMs);
                if (++idle == kEmptyReadsPerMessagePass) {
                    ProcessWindowMessages(m_window);
                    idle = 0;
                }
                continue;
            }
            collected += chunk;
            if (collected.find(CR) != std::string::npos) break;
            const std::size_t marker = collected.find(kStartMarker);
            if (marker != std::string::npos) collected.erase(0, marker);
        }
        return collected;
    }

    ClockWindow& m_window;
    DownloadRun m_run;
    // Bytes collected past the end of the last reply, and whether an answer
    // to a NAK already sent is still to be read.
    std::string m_carry;
    bool m_answerDue = false;
};

}  // namespace

void RunDownload(ClockWindow& window)
{
    try {
        Download(window).Run();
    } catch (const std::exception& error) {
        window.ReportError(error);
        window.SetOperationButtonsEnabled(true);
        try {
            CloseSharedPort();
        } catch (const std::exception&) {
            // The port failed already and that failure has been reported.
        }
    }
}
