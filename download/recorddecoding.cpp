// Turning one record payload into one dump line.
//
// The payload's fields stand at fixed positions that depend on the layout the
// window selects; a field that runs past the end of a short payload simply
// gets the characters that exist. The record is dated in the clock's own
// calendar: a six-digit date carries its year, a four-digit one takes the
// year of the clock's current date.
#include "download/download.h"

#include <string>

#include "clocklink/clocklink.h"
#include "utils/text.h"

namespace {

// Field positions (1-based, inclusive) of one record layout.
struct RecordLayout {
    int cardFirst, cardLast;
    int dateFirst, dateLast;
    int timeFirst, timeLast;
    int typeFirst, typeLast;
    int extraFirst, extraLast;
    std::uint8_t cardWidth;
};

constexpr RecordLayout kStandardLayout{1, 8, 9, 12, 13, 16, 17, 18, 19, 20, 8};
constexpr RecordLayout kVireoLayout{1, 10, 11, 16, 17, 20, 21, 22, 23, 24, 10};

// The type letter comes from this payload position in both layouts; in the
// Vireo layout it is therefore a character of the time field.
constexpr int kLetterSourcePosition = 18;

// Character code at 1-based `position`, 0 when the text is shorter: a short
// payload reads as type "00" with a blank letter instead of leftover data.
unsigned CodeAt(std::string_view text, std::size_t position)
{
    return position >= 1 && position <= text.size() ? static_cast<unsigned char>(text[position - 1]) : 0u;
}

// A four-digit record date has no year; it takes the clock's. A record from
// November or December read in January or February of the next year belongs
// to the year before.
std::string ApplyYearBackRule(const std::string& clockDateText, const std::string& recordDate)
{
    const std::int32_t clockMonth = StrToInt(SubText(clockDateText, 6, 7));
    if (clockMonth != 1 && clockMonth != 2) return recordDate;
    const std::int32_t recordMonth = StrToInt(SubText(recordDate, 6, 7));
    if (recordMonth != 11 && recordMonth != 12) return recordDate;
    const std::int32_t year = StrToInt(SubText(recordDate, 1, 4));
    return std::to_string(static_cast<std::int64_t>(year) - 1) + SubText(recordDate, 5, 10);
}

}  // namespace

bool IsPlausibleRecord(const TData& data)
{
    // A six-digit date is yymmdd, a four-digit one mmdd.
    const std::string& date = data.RawDate.str();
    const int monthAt = date.size() == 6 ? 3 : 1;
    const auto inRange = [](std::string_view digits, std::int32_t low, std::int32_t high) {
        std::int32_t value = 0;
        if (digits.size() != 2 || digits[0] < '0' || digits[0] > '9' || digits[1] < '0' || digits[1] > '9')
            return false;
        value = (digits[0] - '0') * 10 + (digits[1] - '0');
        return value >= low && value <= high;
    };
    if (date.size() != 6 && date.size() != 4) return false;
    const std::string& time = data.RawTime.str();
    return inRange(SubText(date, monthAt, monthAt + 1), 1, 12) &&
           inRange(SubText(date, monthAt + 2, monthAt + 3), 1, 31) && inRange(SubText(time, 1, 2), 0, 23) &&
           inRange(SubText(time, 3, 4), 0, 59);
}

bool LayoutLooksWrong(std::int64_t decoded, std::int64_t implausible)
{
    return decoded > 0 && implausible * 2 > decoded;
}

std::string LayoutWarningText(bool vireoChosen, std::int64_t decoded, std::int64_t implausible)
{
    const char* chosen = vireoChosen ? "Vireo" : "standard";
    const char* other = vireoChosen ? "standard" : "Vireo";
    return std::to_string(implausible) + " of " + std::to_string(decoded) +
           " records read have no plausible date and time in the " + chosen +
           " record layout: the clock most likely uses the " + other + " layout";
}

std::string IntToFixedWidth(std::int64_t value, int width)
{
    std::string text = std::to_string(value);
    if (width < 0) width = 0;
    const auto size = static_cast<std::size_t>(width);
    if (text.size() < size) text.insert(0, size - text.size(), '0');
    if (text.size() > size) text.erase(0, text.size() - size);
    return text;
}

std::string FormatRecordDate(const DownloadRun& run, std::string_view rawDate)
{
    if (rawDate.size() == 6) {
        const std::string dayPart =
            SubText(rawDate, 1, 2) + "/" + SubText(rawDate, 3, 4) + "/" + SubText(rawDate, 5, 6);
        // A Solar clock's two-digit year is always 13yy and is never read as a number.
        if (run.ClockIsSolar) return "13" + dayPart;
        // Gregorian: 81..99 are the 1900s, 00..80 the 2000s.
        const std::int32_t yy = StrToInt(SubText(rawDate, 1, 2));
        return (yy > 80 ? "19" : "20") + dayPart;
    }
    const std::string date =
        SubText(run.ClockDateText, 1, 4) + "/" + SubText(rawDate, 1, 2) + "/" + SubText(rawDate, 3, 4);
    return ApplyYearBackRule(run.ClockDateText, date);
}

std::string DecodeRecord(const ClockWindow& window, DownloadRun& run, std::string_view payload)
{
    return DecodeRecord(window.SelectedClockText(), window.ComText(), window.IsVireo(), run, payload);
}

std::string DecodeRecord(const std::string& clockText, const std::string& comText, bool vireo,
                         DownloadRun& run, std::string_view payload)
{
    TData& data = run.Data;
    data.TypeLetter = " ";
    data.ClockNo = PadLeft(clockText, 3, '0');

    const RecordLayout& layout = vireo ? kVireoLayout : kStandardLayout;
    const std::string rawCard = SubText(payload, layout.cardFirst, layout.cardLast);
    data.RawDate = SubText(payload, layout.dateFirst, layout.dateLast);
    data.RawTime = SubText(payload, layout.timeFirst, layout.timeLast);
    data.TypeCode = SubText(payload, layout.typeFirst, layout.typeLast);
    data.ExtraCode = SubText(payload, layout.extraFirst, layout.extraLast);

    // The card keeps the value of its leading digits, normalised to the
    // layout's width: 0012A456 gives 00000012.
    data.CardNo = PadLeft(std::to_string(LenientStrToInt64(rawCard)), layout.cardWidth, '0');

    data.LastChar = payload.empty() ? std::string_view{} : payload.substr(payload.size() - 1);
    data.PortText = Trim(comText);

    data.TypeCode = IntToFixedWidth(CodeAt(data.TypeCode.str(), 2) & 3u, 2);
    switch (CodeAt(payload, kLetterSourcePosition) & 3u) {
    case 1: data.TypeLetter = "B"; break;
    case 2: data.TypeLetter = "C"; break;
    default: break;
    }

    const std::string recordDate = FormatRecordDate(run, data.RawDate.str());

    std::string line(3, STX);
    line += data.ClockNo.str();
    line += data.CardNo.str();
    line += 'X';
    line += data.RawTime.str();
    line += SubText(recordDate, 6, 7);   // month
    line += SubText(recordDate, 9, 10);  // day
    line += data.TypeLetter.str().substr(0, 1);
    line += SubText(recordDate, 3, 4);  // year, last two digits
    line += data.LastChar.str();
    line += data.PortText;
    line += ',';
    line += data.TypeCode.str();
    line += data.ExtraCode.str();
    return line;
}
