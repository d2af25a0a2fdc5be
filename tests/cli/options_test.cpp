// The command line: window defaults, the port forms, and every refusal naming
// the argument at fault.
#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "options.h"

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

TEST(CliOptions, ValuesInBothForms)
{
    Options o = Parse({"download", "--baud", "57600", "--bus=RS-485", "--clock", "032", "--start=7",
                       "--count", "0", "--vireo", "--out", "/tmp/x"});
    EXPECT_EQ(o.baudRate, "57600");
    EXPECT_FALSE(o.rs232);
    EXPECT_EQ(o.clock, "32");
    EXPECT_EQ(o.start, "7");
    EXPECT_EQ(o.count, "0");
    EXPECT_TRUE(o.vireo);
    EXPECT_EQ(o.outDirectory, "/tmp/x");
    EXPECT_EQ(Parse({"download", "--baud", "4800"}).baudRate, "4800");
    EXPECT_EQ(Parse({"download", "--count", "2147483647"}).count, "2147483647");
    EXPECT_EQ(Parse({"download", "--start", "253578"}).start, "253578");
    EXPECT_EQ(Parse({"download", "--out=--count"}).outDirectory, "--count");
    // Esfand 30 of 1403 (a leap year), written 031230.
    EXPECT_EQ(Parse({"find", "--from", "031230", "--to", "040101"}).fromDate, "031230");
}

TEST(CliOptions, PortNamesAndTheNumberTheDumpCarries)
{
    Options com = Parse({"pointers", "--port", "com12"});
    EXPECT_EQ(com.comText, "12");
    EXPECT_EQ(com.portPath, "");

    Options device = Parse({"pointers", "--port", "\\\\.\\CNCA07"});
    EXPECT_EQ(device.portPath, "\\\\.\\CNCA07");
    EXPECT_EQ(device.comText, "7");

#ifndef _WIN32  // paths name devices on POSIX systems only
    Options usb = Parse({"pointers", "--port", "/dev/ttyUSB0"});
    EXPECT_EQ(usb.portPath, "/dev/ttyUSB0");
    EXPECT_EQ(usb.comText, "0");
    EXPECT_EQ(Parse({"pointers", "--port", "/dev/ttyS007"}).comText, "7");
    EXPECT_EQ(Parse({"pointers", "--port", "/tmp/clock"}).comText, "1");

    // A relative path is opened from where the program was started.
    Options relative = Parse({"pointers", "--port", "ports/COM3"});
    EXPECT_EQ(relative.portPath, (std::filesystem::current_path() / "ports/COM3").string());
    EXPECT_EQ(relative.comText, "3");
#endif
}

TEST(CliOptions, FindUsesTheVireoLayoutAndWritesOnlyWithDownload)
{
    Options o = Parse({"find", "--from", "880102", "--to=880301"});
    EXPECT_TRUE(o.vireo);
    EXPECT_EQ(o.fromDate, "880102");
    EXPECT_EQ(o.toDate, "880301");
    EXPECT_FALSE(Downloads(o));
    // --out may come before --download.
    Options d = Parse({"find", "--out", "/tmp/x", "--download"});
    EXPECT_TRUE(Downloads(d));
    EXPECT_EQ(d.outDirectory, "/tmp/x");
    EXPECT_NE(Refusal({"find", "--out", "/tmp/x"}).find("--out"), std::string::npos);
}

TEST(CliOptions, RefusalsNameTheArgument)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"download", "--clock", "0"}, "--clock"},
        {{"download", "--clock", "33"}, "--clock"},
        {{"download", "--clock", "1x"}, "--clock"},
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
        {{"download", "--colck", "3"}, "--colck"},
        {{"download", "--count"}, "--count"},
        {{"download", "--vireo=yes"}, "--vireo"},
        {{"pointers", "--count", "5"}, "--count"},
        {{"pointers", "--from", "880101"}, "--from"},
        {{"download", "--download"}, "--download"},
        {{"download", "--out", "--count", "5"}, "--out: a value is missing"},
        {{"download", "--start", "253579"}, "--start"},
        {{"find", "--from", "8801011"}, "--from"},
        {{"find", "--from", "881301"}, "--from"},
        {{"find", "--to", "880732"}, "--to"},
        {{"find", "--to", "881231"}, "--to"},                        // Esfand has 30 days at most
        {{"find", "--from", "021230", "--to", "040101"}, "--from"},  // neither 1302 nor 1402 has Esfand 30
        {{"find", "--from", "880502", "--to", "880501"}, "--from"},
        {{"upload"}, "upload"},
        {{"download", "--bus", "rs485", "--clocks", "0-3"}, "--clocks"},
        {{"download", "--bus", "rs485", "--clocks", "1,33"}, "--clocks"},
        {{"download", "--bus", "rs485", "--clocks", "5-2"}, "backwards"},
        {{"download", "--bus", "rs485", "--clocks", "1,,2"}, "--clocks"},
        {{"download", "--bus", "rs485", "--clocks", "1-3,2"}, "clock 2 twice"},
        {{"download", "--bus", "rs485", "--clocks", "1-"}, "--clocks"},
        {{"download", "--clocks", "1-3"}, "--bus rs485"},
        {{"download", "--bus", "rs485", "--clocks", "1-3", "--clock", "2"}, "--clock"},
        {{"download", "--new", "--count", "5"}, "--count"},
        {{"download", "--count", "5", "--new"}, "--count"},
        {{"download", "--new", "--start", "253579"}, "--start"},
        {{"export", "--format", "xml"}, "--format"},
        {{"export", "--from", "050901", "--to", "050801"}, "--from"},
        {{"export", "--new"}, "--new"},
        {{"pointers", "--file", "x"}, "--file"},
        {{"download", "--lock-wait", "5"}, "--lock-wait"},
        {{"pointers", "--new"}, "--new"},
        {{}, "command"},
    };
    for (const auto& [args, name] : cases) {
        std::string text = Refusal(args);
        EXPECT_NE(text.find(name), std::string::npos) << ::testing::PrintToString(args) << " gave: " << text;
    }
}

TEST(CliOptions, ScheduledCollection)
{
    Options o = Parse({"download", "--bus", "rs485", "--clocks", "1,4,9-12,32", "--new", "--start", "253578",
                       "--lock-wait", "0"});
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
    EXPECT_EQ(Parse({"download", "--clock", "99", "--help"}).command, Command::Help);
    EXPECT_EQ(Parse({"pointers", "--version"}).command, Command::Version);
    EXPECT_EQ(VersionText("clockreader-cli").rfind("clockreader-cli ", 0), 0u);
    std::string help = HelpText("clockreader-cli");
    std::vector<std::string> statuses = {"  0 ", "  1 ", "  2 ", "  3 ", "  4 ",
                                         "  5 ", "  6 ", "129",  "130",  "--version"};
#ifndef _WIN32
    statuses.push_back("143");  // SIGTERM, which Windows does not send
#endif
    for (const std::string& status : statuses) EXPECT_NE(help.find(status), std::string::npos) << status;
}
