// The command line: window defaults, the port forms, and every refusal naming
// the argument at fault.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <vector>

#include "options.h"
#include "tempdir.h"

using namespace cli;

namespace {

Options Parse(std::vector<std::string> args) { return ParseOptions(args); }

// The usage error's text for `args`; fails the test when they are accepted.
std::string Refusal(std::vector<std::string> args)
{
    try {
        ParseOptions(args);
    } catch (const UsageError& error) {
        return error.what();
    }
    ADD_FAILURE() << "accepted: " << ::testing::PrintToString(args);
    return {};
}

}  // namespace

TEST(CliOptions, DefaultsAreTheWindowDefaults)
{
    Options o = Parse({"download"});
    EXPECT_EQ(o.command, Command::Download);
    EXPECT_EQ(o.comText, "1");
    EXPECT_EQ(o.portPath, "");
    EXPECT_EQ(o.baudRate, "9600");
    EXPECT_TRUE(o.rs232);
    EXPECT_EQ(o.clock, "1");
    EXPECT_EQ(o.start, "0");
    EXPECT_EQ(o.count, "19500");
    EXPECT_FALSE(o.vireo);
    EXPECT_EQ(o.fromDate, "880101");
    EXPECT_EQ(o.toDate, "880501");
    EXPECT_EQ(o.outDirectory, ".");
    EXPECT_TRUE(Downloads(o));
    EXPECT_FALSE(Downloads(Parse({"pointers"})));
}

// One row a command line: what it must give, or the refusal it must get
// (every refusal exits with status 2, and its text names the argument at
// fault). A row catches an option that reads a spelling of today otherwise,
// or lets a mistake through to the clock.
TEST(CliOptions, EveryCommandLineGivesItsSettingsOrNamesTheArgumentAtFault)
{
    struct Row {
        std::vector<std::string> args;
        std::string refusal;                                  // empty: accepted
        std::function<bool(const Options&)> gives = nullptr;  // what an accepted one must hold
    };
    const std::string here = std::filesystem::current_path().string();
    const std::vector<Row> rows = {
        // Values in both forms, numbers as written in decimal, the bus in any case.
        {{"download", "--baud", "57600", "--bus=RS-485", "--clock", "032", "--start=7", "--count", "0",
          "--vireo", "--out", "/tmp/x"},
         "",
         [](const Options& o) {
             return o.baudRate == "57600" && !o.rs232 && o.clock == "32" && o.start == "7" &&
                    o.count == "0" && o.countGiven && o.vireo && o.outDirectory == "/tmp/x";
         }},
        {{"download", "--baud", "4800"}, "", [](const Options& o) { return o.baudRate == "4800"; }},
        {{"download", "--count", "2147483647"}, "", [](const Options& o) { return o.count == "2147483647"; }},
        {{"download", "--start", "253578"}, "", [](const Options& o) { return o.start == "253578"; }},
        {{"download", "--out=--count"}, "", [](const Options& o) { return o.outDirectory == "--count"; }},
        {{"download", "--clock", "08"}, "", [](const Options& o) { return o.clock == "8"; }},  // not octal
        {{"download", "--out", "a", "--out", "b"},
         "",
         [](const Options& o) { return o.outDirectory == "b"; }},
        // Esfand 30 of 1403 (a leap year), written 031230.
        {{"find", "--from", "031230", "--to", "040101"},
         "",
         [](const Options& o) { return o.fromDate == "031230"; }},
        {{"find", "--from", "880102", "--to=880301"},
         "",
         [](const Options& o) { return o.vireo && o.toDate == "880301" && !Downloads(o); }},
        {{"find", "--out", "/tmp/x", "--download"},
         "",
         [](const Options& o) { return Downloads(o) && o.outDirectory == "/tmp/x"; }},
        // Port names and the number the dump lines carry.
        {{"pointers", "--port", "com12"},
         "",
         [](const Options& o) { return o.comText == "12" && o.portPath.empty(); }},
        {{"pointers", "--port", "\\\\.\\CNCA07"},
         "",
         [](const Options& o) { return o.portPath == "\\\\.\\CNCA07" && o.comText == "7"; }},
#ifndef _WIN32  // paths name devices on POSIX systems only
        {{"pointers", "--port", "/dev/ttyUSB0"},
         "",
         [](const Options& o) { return o.portPath == "/dev/ttyUSB0" && o.comText == "0"; }},
        {{"pointers", "--port", "/dev/ttyS007"}, "", [](const Options& o) { return o.comText == "7"; }},
        {{"pointers", "--port", "/tmp/clock"}, "", [](const Options& o) { return o.comText == "1"; }},
        // A relative path is opened from where the program was started.
        {{"pointers", "--port", "ports/COM3"},
         "",
         [here](const Options& o) { return o.portPath == here + "/ports/COM3" && o.comText == "3"; }},
#endif
        {{"export", "--port", "COM3", "--from", "050801"},
         "",
         [](const Options& o) {
             return o.selectPort && !o.selectClock && o.exportFrom == "050801" && o.exportTo.empty();
         }},
        {{"export", "--day", "yesterday"},
         "",
         [](const Options& o) { return o.exportSpanFrom.size() == 10 && o.exportSpanTo > o.exportSpanFrom; }},
        // Help wins over mistakes, and shows the command's own.
        {{"download", "--clock", "99", "--help"},
         "",
         [](const Options& o) { return o.command == Command::Help && o.helpTopic == "download"; }},
        {{"help", "export"},
         "",
         [](const Options& o) { return o.command == Command::Help && o.helpTopic == "export"; }},
        {{"pointers", "--version"}, "", [](const Options& o) { return o.command == Command::Version; }},
        // "/?" asks for the help on every system.
        {{"export", "--format", "nope", "/?"},
         "",
         [](const Options& o) { return o.command == Command::Help && o.helpTopic == "export"; }},
        {{"/?"}, "", [](const Options& o) { return o.command == Command::Help && o.helpTopic.empty(); }},
        {{"export", "--format", "daily", "--layout", "vireo"},
         "",
         [](const Options& o) { return o.exportFormat == "daily" && o.exportLayout == "vireo"; }},
#ifndef _WIN32  // a quote may end a file name here
        {{"export", "--format", "xlsx", "--file", "a.xlsx\""},
         "",
         [](const Options& o) { return o.exportFormat == "xlsx" && o.exportFile == "a.xlsx\""; }},
#endif

        {{"push", "--to", "postgresql://db/x", "--timeout", "5", "--site-name", "Tabriz"},
         "",
         [](const Options& o) {
             return o.command == Command::Push && o.central == "postgresql://db/x" && o.answerSeconds == 5 &&
                    o.siteName == "Tabriz";
         }},
        {{"push"}, "--to"},
        // A store is either a copy for a new branch or moved, never both.
        {{"site", "--new-identity", "--moved"}, "--moved"},
        {{"push", "--to", "x", "--schema-sql"}, "--schema-sql"},
        {{"push", "--to", "x", "--timeout", "0"}, "--timeout"},
        {{"download", "--push", "postgresql://db/x"}, "--new"},
        {{"download", "--clock", "0"}, "--clock"},
        {{"download", "--clock", "33"}, "--clock"},
        {{"download", "--clock", "1x"}, "--clock"},
        {{"download", "--clock", "0x1F"}, "--clock: '0x1F'"},
        {{"download", "--clock", "+5"}, "--clock"},
        {{"download", "--clock", " 5"}, "--clock"},
        {{"download", "--baud", "1200"}, "--baud"},
        {{"download", "--baud", "9600 "}, "--baud"},
        {{"download", "--bus", "rs422"}, "--bus"},
        {{"download", "--count", "-1"}, "--count"},
        {{"download", "--count", "2147483648"}, "--count"},
        {{"download", "--count", ""}, "--count"},
        {{"download", "--start", "12a"}, "--start"},
        {{"download", "--port", "COM0"}, "COM0"},
        {{"download", "--port", "COM"}, "--port"},
        {{"download", "--port", "ttyS0"}, "ttyS0"},
        {{"download", "--ports-dir", "/no/such/folder"}, "--ports-dir"},
        {{"download", "--colck", "3"}, "unknown option '--colck'; did you mean --clock?"},
        {{"download", "--count"}, "--count"},
        {{"download", "--vireo=yes"}, "--vireo takes no value"},
        {{"download", "stray"}, "'stray'"},
        {{"pointers", "--count", "5"}, "--count does not apply to 'pointers'"},
        {{"pointers", "--from", "880101"}, "--from"},
        {{"pointers", "--out", "x"}, "--out: 'pointers' writes no files"},
        {{"find", "--out", "/tmp/x"}, "--out: 'find' writes records only with --download"},
        {{"download", "--download"}, "--download"},
        {{"download", "--out", "--count", "5"}, "--out: a value is missing"},
        {{"download", "--out", ""}, "--out: the folder name is empty"},
        {{"download", "--start", "253579"}, "--start"},
        {{"find", "--from", "8801011"}, "--from"},
        {{"find", "--from", "881301"}, "--from"},
        {{"find", "--to", "880732"}, "--to"},
        {{"find", "--to", "881231"}, "--to"},                        // Esfand has 30 days at most
        {{"find", "--from", "021230", "--to", "040101"}, "--from"},  // neither 1302 nor 1402 has Esfand 30
        {{"find", "--from", "880502", "--to", "880501"}, "--from"},
        {{"find", "--from", "880301", "--to", "880301"}, "--from and --to are both 880301"},
        {{"upload"}, "unknown command 'upload'"},
        {{"download", "--bus", "rs485", "--clocks", "0-3"}, "--clocks"},
        {{"download", "--bus", "rs485", "--clocks", "1,33"}, "--clocks"},
        {{"download", "--bus", "rs485", "--clocks", "5-2"}, "backwards"},
        {{"download", "--bus", "rs485", "--clocks", "1,,2"}, "--clocks"},
        {{"download", "--bus", "rs485", "--clocks", "1-3,2"}, "clock 2 twice"},
        {{"download", "--bus", "rs485", "--clocks", "1-"}, "--clocks"},
        {{"download", "--clocks", "1-3"}, "--bus rs485"},
        {{"download", "--bus", "rs485", "--clocks", "1-3", "--clock", "2"},
         "--clocks and --clock do not go together"},
        {{"download", "--new", "--count", "5"}, "--count does not go with --new"},
        {{"download", "--count", "5", "--new"}, "--count does not go with --new"},
        {{"download", "--new", "--start", "253579"}, "--start"},
        {{"download", "--site", "x"}, "--site"},
        {{"download", "--new", "--site", "/no/such/site", "--port", "COM2"}, "--site"},
        {{"export", "--format", "xml"}, "--format"},
        {{"export", "--format", "xlsx"}, "--format xlsx: a workbook cannot go to standard output"},
        {{"export", "--layout", "Vireo2"}, "--layout"},
        {{"export", "--from", "050901", "--to", "050801"}, "--from"},
        {{"export", "--from", "2026-02-30"}, "--from: '2026-02-30' is not a day of the Gregorian calendar"},
        {{"export", "--to", "yesterday"}, "--to"},
        {{"export", "--day", "today", "--from", "050901"}, "does not go with"},
        {{"export", "--month", "last", "--day", "today"}, "does not go with"},
        {{"export", "--month", "1405/13"}, "--month"},
        {{"export", "--site", "Tehran"},
         "--site names a site of the central database: it needs --from-db URI"},
        {{"export", "--from-db", "postgresql://db/x", "--out", "a"}, "--out names a punch store"},
        {{"export", "--from-db", "postgresql://db/x", "--clock", "2"}, "does not go with"},
        {{"export", "--new"}, "--new does not apply to 'export'"},
        {{"pointers", "--file", "x"}, "--file"},
        {{"backup"}, "--file"},
        {{"download", "--lock-wait", "5"}, "--lock-wait applies to --new only"},
        {{"download", "--clocks", "1-3", "--ask-absent"}, "--ask-absent applies to --new only"},
        {{"pointers", "--new"}, "--new"},
        {{}, "no command given"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.args));
        if (row.refusal.empty()) {
            try {
                const Options o = ParseOptions(row.args);
                EXPECT_TRUE(row.gives(o));
            } catch (const UsageError& error) {
                ADD_FAILURE() << "refused: " << error.what();
            }
            continue;
        }
        const std::string text = Refusal(row.args);
        EXPECT_NE(text.find(row.refusal), std::string::npos) << text;
    }
}

// cmd hands --out "C:\My Records\" over as C:\My Records": a stray quote
// at the end is dropped on Windows, one before the end (the next words
// swallowed) is refused; elsewhere a quote is part of the name.
TEST(CliOptions, AQuoteCmdLeftInAPathIsTakenAsMeantOnWindowsOnly)
{
    const struct {
        bool windows;
        std::string given, taken, refusal;
    } rows[] = {
        {true, "C:\\My Records\"", "C:\\My Records", ""},
        {true, "C:\\Records", "C:\\Records", ""},
        {true, "C:\\My Records\" --count 5", "", "write \"C:\\My Records\" without the last '\\'"},
        {false, "odd\"", "odd\"", ""},
    };
    for (const auto& row : rows) {
        std::string value = row.given;
        const std::string refusal = TakePathArgument(value, row.windows);
        EXPECT_EQ(value, row.refusal.empty() ? row.taken : row.given);
        EXPECT_NE(refusal.find(row.refusal), std::string::npos) << refusal;
        EXPECT_EQ(refusal.empty(), row.refusal.empty()) << row.given;
    }
}

TEST(CliOptions, ScheduledCollection)
{
    Options o = Parse({"download", "--bus", "rs485", "--clocks", "1,4,9-12,32", "--new", "--start", "253578",
                       "--lock-wait", "0", "--absent-interval", "15", "--ask-absent"});
    EXPECT_EQ(o.absentIntervalMinutes, 15);
    EXPECT_TRUE(o.askAbsent);
    EXPECT_EQ(o.clockList, (std::vector<int>{1, 4, 9, 10, 11, 12, 32}));
    EXPECT_TRUE(o.newOnly);
    EXPECT_TRUE(o.startGiven);
    EXPECT_EQ(o.lockWaitSeconds, 0);
    EXPECT_EQ(ParseClockList("1-32").size(), 32u);
    EXPECT_FALSE(Parse({"download"}).newOnly);

    // A site file: a line per port, comments and blank lines left out.
    const std::vector<Options> site = ParseSiteFile(
        "# the site\r\nCOM1 rs485 1-32 57600 standard\n\n  com12 RS232 1 9600 vireo # office\n", "S");
    ASSERT_EQ(site.size(), 2u);
    EXPECT_EQ(site[0].clockList.size(), 32u);
    EXPECT_EQ(site[0].baudRate, "57600");
    EXPECT_TRUE(site[1].rs232 && site[1].vireo);
    EXPECT_EQ(site[1].comText, "12");
    // A site file Notepad saved: UTF-8 with a byte-order mark, or UTF-16
    // with one, reads as plain UTF-8 does (a mark left in makes the first
    // port unreadable; UTF-16 read as bytes, every line).
    TempDir dir;
    const std::string plain = "COM1 rs485 1-32 57600 standard\r\n";
    std::string le = "\xFF\xFE", be = "\xFE\xFF";
    for (char c : plain) {
        le += {c, '\0'};
        be += {'\0', c};
    }
    for (const std::string& bytes : {"\xEF\xBB\xBF" + plain, le, be}) {
        std::ofstream(dir / "site.txt", std::ios::binary | std::ios::trunc) << bytes;
        EXPECT_EQ(ReadSiteFile(dir / "site.txt").at(0).comText, "1");
    }
    std::ofstream(dir / "site.txt", std::ios::binary | std::ios::trunc) << le.substr(0, 5);
    EXPECT_THROW(ReadSiteFile(dir / "site.txt"), UsageError);
    const std::vector<std::pair<std::string, std::string>> refused = {
        {"COM1 rs485 1-32 57600\n", "S line 1: 'COM1 rs485 1-32 57600' is not PORT BUS CLOCKS BAUD LAYOUT"},
        {"# x\nCOM1 rs485 1-32 57600 fancy\n", "S line 2: the layout 'fancy'"},
        {"COM1 rs485 1-40 57600 standard\n", "S line 1: --clocks"},
        {"COM1 rs232 1-2 9600 standard\n", "S line 1: --clock"},
        {"COM1 rs485 1 9600 standard\nCOM1 rs232 1 9600 standard\n",
         "S line 2: the port COM1 is listed twice"},
        {"# nothing\n", "S: names no line"},
    };
    for (const auto& [text, says] : refused) {
        try {
            ParseSiteFile(text, "S");
            ADD_FAILURE() << "accepted: " << text;
        } catch (const UsageError& error) {
            EXPECT_EQ(std::string(error.what()).rfind(says, 0), 0u) << error.what();
        }
    }
}

TEST(CliOptions, HelpWinsAndListsTheExitStatuses)
{
    EXPECT_EQ(VersionText("clockreader-cli").rfind("clockreader-cli ", 0), 0u);
    std::string help = HelpText("clockreader-cli");
    std::vector<std::string> statuses = {"  0 ", "  1 ", "  2 ", "  3 ", "  4 ", "  5 ",
                                         "  6 ", "  7 ", "  8 ", "129",  "130",  "--version"};
#ifndef _WIN32
    statuses.push_back("143");  // SIGTERM, which Windows does not send
#endif
    for (const std::string& status : statuses) EXPECT_NE(help.find(status), std::string::npos) << status;
    // A command's help shows its own options, not another command's.
    for (const char* command :
         {"download", "pointers", "find", "export", "clocks", "verify", "backup", "push", "site"})
        EXPECT_NE(help.find(std::string("  ") + command + " "), std::string::npos) << command;
    const std::string download = HelpText("clockreader-cli", "download");
    EXPECT_NE(download.find("clockreader-cli download"), std::string::npos) << download;
    EXPECT_NE(download.find("--count N"), std::string::npos) << download;
    EXPECT_EQ(download.find("--format"), std::string::npos) << download;
    EXPECT_NE(HelpText("clockreader-cli", "export").find("--format FORMAT"), std::string::npos);
}
