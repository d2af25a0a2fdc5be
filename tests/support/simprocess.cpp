#include "simprocess.h"

#include <fstream>
#include <sstream>
#include <stdexcept>
#include "utils/utf8path.h"

std::string ReadWholeFile(const std::string& path)
{
    std::ifstream in(PathFromUtf8(path), std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::string SimProcess::ReadWireLog() const { return ReadWholeFile(WireLogPath()); }

namespace {

std::runtime_error Unreadable(const std::string& line)
{
    return std::runtime_error("unreadable expected-dump line: " + line);
}

}  // namespace

std::vector<SimLife> SimProcess::ExpectedLives() const
{
    std::vector<SimLife> lives{SimLife{"start", {}}};
    std::string text = ReadWholeFile(ExpectedDumpPath());
    text.erase(text.rfind('\n') + 1);  // a line still being written
    std::istringstream in(text);
    std::string line;
    std::size_t awaited = 0;  // record lines the last change still owes
    while (std::getline(in, line)) {
        if (line.starts_with('#')) {
            const std::size_t tab = line.find('\t');
            std::size_t used = 0;
            if (tab == std::string::npos) throw Unreadable(line);
            const std::string count = line.substr(tab + 1);
            awaited = std::stoul(count, &used);
            if (used != count.size()) throw Unreadable(line);
            lives.push_back(SimLife{line.substr(1, tab - 1), {}});
            continue;
        }
        std::istringstream fields(line);
        std::string clock, position, status;
        SimRecord record;
        std::getline(fields, clock, '\t');
        std::getline(fields, position, '\t');
        std::getline(fields, status, '\t');
        std::getline(fields, record.payload);
        if (!fields || (status != "good" && status != "flagged")) throw Unreadable(line);
        std::size_t used = 0, positionUsed = 0;
        record.clock = std::stoi(clock, &used);
        record.position = std::stoll(position, &positionUsed);
        if (used != clock.size() || positionUsed != position.size()) throw Unreadable(line);
        record.flagged = status == "flagged";
        lives.back().records.push_back(record);
        if (awaited > 0) --awaited;
    }
    if (awaited > 0) lives.pop_back();
    return lives;
}

std::vector<SimRecord> SimProcess::ExpectedRecords() const { return ExpectedLives().back().records; }

std::vector<SimRecord> SimProcess::ExpectedRecords(int clock) const
{
    std::vector<SimRecord> records;
    for (const SimRecord& record : ExpectedRecords())
        if (record.clock == clock) records.push_back(record);
    return records;
}
