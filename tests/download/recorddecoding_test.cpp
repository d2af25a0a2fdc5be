// Record decoding: one payload to one dump line, in both layouts and for
// clocks on either calendar.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <tuple>

#include "download/download.h"
#include "fakewindow.h"
#include "utils/errors.h"

namespace {

const std::string kStx3("\x02\x02\x02");

struct Decoder {
    FakeWindow window;
    DownloadRun run;

    Decoder(bool vireo, bool solar, std::string clockDate)
    {
        window.vireo = vireo;
        run.ClockIsSolar = solar;
        run.ClockDateText = std::move(clockDate);
    }
    std::string Line(const std::string& payload) { return DecodeRecord(window, run, payload); }
    // The line without the three STX characters at its start.
    std::string Body(const std::string& payload)
    {
        const std::string line = Line(payload);
        EXPECT_EQ(line.substr(0, 3), kStx3);
        return line.substr(3);
    }
};

// A standard payload: card, mmdd, hhmm, type field, extra field, last.
std::string Standard(const std::string& card, const std::string& date = "1220",
                     const std::string& type = "01", const std::string& tail = "075")
{
    return card + date + "0815" + type + tail;
}

}  // namespace

TEST(RecordDecoding, WorkedExamples)
{
    Decoder standard(false, false, "2025/01/10");
    EXPECT_EQ(standard.Line("000123451220081501075"), kStx3 + "00100012345X08151220B2451,0107");

    Decoder vireo(true, true, "1403/01/10");
    vireo.window.selectedClock = "12";
    vireo.window.com = "3";
    EXPECT_EQ(vireo.Line("0000054321030214090513117"), kStx3 + "0120000054321X09050214B0373,0311");
}

TEST(RecordDecoding, CardNumbersAreNormalisedToTheLayoutWidth)
{
    Decoder standard(false, false, "2025/03/10");
    EXPECT_EQ(standard.Body(Standard("00000000")).substr(3, 8), "00000000");
    EXPECT_EQ(standard.Body(Standard("        ")).substr(3, 8), "00000000");
    EXPECT_EQ(standard.Body(Standard("0012A456")).substr(3, 8), "00000012");
    EXPECT_EQ(standard.Body(Standard("00012345")).substr(3, 8), "00012345");

    // The same Vireo payload cut by either layout.
    const std::string vireoPayload =
        "0000000123"
        "250110"
        "0905"
        "13"
        "11"
        "7";
    Decoder vireo(true, false, "2025/03/10");
    EXPECT_EQ(vireo.Body(vireoPayload).substr(3, 11), "0000000123X");
    vireo.window.vireo = false;
    EXPECT_EQ(vireo.Body(vireoPayload).substr(3, 9), "00000001X");

    // Ten-digit cards beyond 32 bits keep their digits.
    vireo.window.vireo = true;
    EXPECT_EQ(vireo
                  .Body("9876543210"
                        "250110"
                        "0905"
                        "13"
                        "11"
                        "7")
                  .substr(3, 10),
              "9876543210");
    EXPECT_EQ(vireo
                  .Body("4294967296"
                        "250110"
                        "0905"
                        "13"
                        "11"
                        "7")
                  .substr(3, 10),
              "4294967296");
}

TEST(RecordDecoding, TypeCodeAndLetter)
{
    // Standard layout: both come from the type field's second character.
    const char* const expectedCode[] = {"00", "01", "02", "03", "00", "01", "02", "03", "00", "01"};
    const char expectedLetter[] = {' ', 'B', 'C', ' ', ' ', 'B', 'C', ' ', ' ', 'B'};
    Decoder standard(false, false, "2025/03/10");
    for (char digit = '0'; digit <= '9'; ++digit) {
        SCOPED_TRACE(digit);
        const std::string body = standard.Body(Standard("00000001", "0310", std::string("1") + digit));
        const int i = digit - '0';
        EXPECT_EQ(body.substr(body.size() - 4, 2), expectedCode[i]);
        EXPECT_EQ(body[20], expectedLetter[i]);
    }

    // Vireo layout: the letter comes from position 18, inside the time field,
    // independent of the type code.
    Decoder vireo(true, false, "2025/03/10");
    const struct {
        std::string time, type;
        char letter;
        std::string code;
    } vireoCases[] = {{"0825", "10", ' ', "0000"}, {"0955", "12", 'B', "0200"}, {"0620", "11", 'C', "0100"}};
    for (const auto& c : vireoCases) {
        SCOPED_TRACE(c.time);
        const std::string body = vireo.Body("0000000001250310" + c.time + c.type + "007");
        EXPECT_EQ(body[22], c.letter);
        EXPECT_EQ(body.substr(body.size() - 4), c.code);
    }
}

TEST(RecordDecoding, GregorianSixDigitDatesGetACentury)
{
    DownloadRun run;
    run.ClockIsSolar = false;
    run.ClockDateText = "2025/01/10";
    EXPECT_EQ(FormatRecordDate(run, "800101"), "2080/01/01");
    EXPECT_EQ(FormatRecordDate(run, "810101"), "1981/01/01");
    EXPECT_EQ(FormatRecordDate(run, "000229"), "2000/02/29");
    // The year-back rule belongs to four-digit dates only.
    EXPECT_EQ(FormatRecordDate(run, "241220"), "2024/12/20");

    Decoder vireo(true, false, "2025/01/10");
    const std::string body = vireo.Body(
        "0000000001"
        "991231"
        "0815"
        "11"
        "00"
        "7");
    EXPECT_EQ(body.substr(18, 7), "1231 99");  // month, day, letter, year
}

TEST(RecordDecoding, SolarSixDigitDatesAreNeverConverted)
{
    DownloadRun run;
    run.ClockIsSolar = true;
    run.ClockDateText = "1403/01/10";
    EXPECT_EQ(FormatRecordDate(run, "030214"), "1303/02/14");
    EXPECT_EQ(FormatRecordDate(run, "AB0101"), "13AB/01/01");

    run.ClockIsSolar = false;
    try {
        FormatRecordDate(run, "AB0101");
        FAIL() << "a Gregorian year that is not a number must raise";
    } catch (const EConvertError& error) {
        EXPECT_STREQ(error.what(), "'AB' is not a valid integer value");
    }
}

TEST(RecordDecoding, FourDigitDatesTakeTheClockYearAndGoBackAYearEarlyInTheNext)
{
    DownloadRun run;
    run.ClockDateText = "2025/01/10";
    EXPECT_EQ(FormatRecordDate(run, "1220"), "2024/12/20");
    EXPECT_EQ(FormatRecordDate(run, "1105"), "2024/11/05");
    EXPECT_EQ(FormatRecordDate(run, "1020"), "2025/10/20");
    run.ClockDateText = "2025/02/28";
    EXPECT_EQ(FormatRecordDate(run, "1220"), "2024/12/20");
    run.ClockDateText = "2025/03/10";
    EXPECT_EQ(FormatRecordDate(run, "1220"), "2025/12/20");
    run.ClockDateText = "2000/02/01";
    EXPECT_EQ(FormatRecordDate(run, "1105"), "1999/11/05");

    // The same rule on a Solar clock.
    run.ClockIsSolar = true;
    run.ClockDateText = "1403/02/01";
    EXPECT_EQ(FormatRecordDate(run, "1105"), "1402/11/05");

    Decoder standard(false, false, "2000/02/01");
    EXPECT_EQ(standard.Body(Standard("00000001", "1105")).substr(16, 7), "1105B99");
}

TEST(RecordDecoding, UnreadableClockDateFailsFourDigitDatesOnly)
{
    // The date the run keeps when the clock never answered its date command.
    Decoder standard(false, true, "//");
    EXPECT_THROW(standard.Line(Standard("00000001", "1105")), EConvertError);
    Decoder vireo(true, true, "//");
    EXPECT_NO_THROW(
        vireo.Line("0000000001"
                   "030214"
                   "0815"
                   "11"
                   "00"
                   "7"));

    // Year-back with a record month that is not a number.
    DownloadRun run;
    run.ClockDateText = "2025/01/10";
    EXPECT_THROW(FormatRecordDate(run, "1A20"), EConvertError);
    // No conversion of the record month when the clock's month does not ask for it.
    run.ClockDateText = "2025/05/10";
    EXPECT_EQ(FormatRecordDate(run, "1A20"), "2025/1A/20");
}

TEST(RecordDecoding, LineEdgesAndShortPayloads)
{
    // 24 Vireo characters: the last character is the extra field's second.
    Decoder vireo(true, false, "2025/03/10");
    std::string body = vireo.Body(
        "0000000001"
        "250310"
        "0815"
        "11"
        "49");
    EXPECT_EQ(body.substr(body.size() - 9), "2591,0149");

    // Port text trimmed; clock numbers padded.
    Decoder standard(false, false, "2025/03/10");
    standard.window.com = " 12 \t";
    standard.window.selectedClock = "32";
    body = standard.Body(Standard("00000001", "0310", "01", "075"));
    EXPECT_EQ(body.substr(0, 3), "032");
    EXPECT_EQ(body.substr(body.size() - 8), "512,0107");

    // Payloads too short for the type field or position 18 read code 0 there.
    standard.window.com = "1";
    body = standard.Body("00000001031008153");
    EXPECT_EQ(body.substr(body.size() - 5), "31,00");
    EXPECT_EQ(body[20], ' ');
    // A payload of one character still gives a line; a following full
    // record does not inherit anything from it.
    EXPECT_NO_THROW(standard.Line("7"));
    body = standard.Body(Standard("00000001", "0310", "02", "075"));
    EXPECT_EQ(body, "03200000001X08150310C2551,0207");
}

TEST(RecordDecoding, IntToFixedWidthPadsAndCuts)
{
    EXPECT_EQ(IntToFixedWidth(3, 2), "03");
    EXPECT_EQ(IntToFixedWidth(123, 2), "23");
    EXPECT_EQ(IntToFixedWidth(0, 0), "");
    EXPECT_EQ(IntToFixedWidth(-5, 3), "0-5");
    EXPECT_EQ(IntToFixedWidth(9876543210LL, 12), "009876543210");
}

// A record is plausible when its month, day, hour and minute are; most
// records of the other layout are not. The layout looks wrong only when
// more than half of the records decoded were implausible.
TEST(RecordDecoding, PlausibleDatesAndTheLayoutVerdict)
{
    // {Vireo layout, payload, plausible}
    const std::tuple<bool, std::string, bool> cases[] = {
        {false, Standard("00012345", "1231"), true},
        {false, Standard("00012345", "1301"), false},  // month 13
        {false, Standard("00012345", "0100"), false},  // day 0
        {false, "000123451220246101075", false},       // 24:61
        {false, "000123451220235901075", true},
        {true, "0000054321030214090513117", true},
        // Read in the other layout: a Vireo card's last digits are the month,
        // a standard record's hour is.
        {false, "1946452986030214090513117", false},
        {true, "000123451220143501075", false},
        {true, "00001", false},  // no date at all
    };
    for (const auto& [vireo, payload, plausible] : cases) {
        Decoder decoder(vireo, true, "1403/12/20");
        decoder.Line(payload);
        EXPECT_EQ(IsPlausibleRecord(decoder.run.Data), plausible) << payload;
    }
    EXPECT_FALSE(LayoutLooksWrong(0, 0));
    EXPECT_FALSE(LayoutLooksWrong(100, 50));
    EXPECT_TRUE(LayoutLooksWrong(100, 51));
    EXPECT_TRUE(LayoutLooksWrong(1, 1));
    EXPECT_EQ(
        LayoutWarningText(false, 10, 9),
        "9 of 10 records read have no plausible date and time in the standard record layout: the clock most "
        "likely uses the Vireo layout");
}

// docs/format.md shows importer writers records and the lines made of them;
// each of its "record" blocks must decode to the line it shows.
TEST(RecordDecoding, FormatDocumentExamplesDecodeAsShown)
{
#ifndef CLOCKREADER_FORMAT_DOC
    GTEST_SKIP() << "the document's path is given to the Linux build only";
#else
    std::ifstream doc(CLOCKREADER_FORMAT_DOC);
    ASSERT_TRUE(doc) << CLOCKREADER_FORMAT_DOC;
    const auto bytes = [](std::string text) {
        for (std::string::size_type at; (at = text.find("<STX>")) != std::string::npos;)
            text.replace(at, 5, 1, '\x02');
        return text;
    };
    int examples = 0;
    std::map<std::string, std::string> block;
    bool inside = false;
    for (std::string text; std::getline(doc, text);) {
        if (!inside) {
            inside = text == "```record";
            block.clear();
            continue;
        }
        if (text != "```") {
            const auto colon = text.find(": ");
            ASSERT_NE(colon, std::string::npos) << text;
            block[text.substr(0, colon)] = text.substr(colon + 2);
            continue;
        }
        inside = false;
        // "clock: CALENDAR DATE, clock N, port TEXT"
        std::istringstream clock(block["clock"]);
        std::string calendar, date, word;
        clock >> calendar >> date;
        Decoder decoder(block["layout"] == "vireo", calendar == "solar", date.substr(0, date.size() - 1));
        clock >> word >> decoder.window.selectedClock >> word >> decoder.window.com;
        decoder.window.selectedClock.pop_back();
        EXPECT_EQ(decoder.Line(block["payload"]), bytes(block["line"])) << block["payload"];
        ++examples;
    }
    EXPECT_GE(examples, 5);
#endif
}
