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

std::vector<SimRecord> SimProcess::ExpectedRecords() const
{
    std::vector<SimRecord> records;
    std::istringstream in(ReadWholeFile(ExpectedDumpPath()));
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string clock, position, status;
        SimRecord record;
        std::getline(fields, clock, '\t');
        std::getline(fields, position, '\t');
        std::getline(fields, status, '\t');
        std::getline(fields, record.payload);
        if (!fields || (status != "good" && status != "flagged"))
            throw std::runtime_error("unreadable expected-dump line: " + line);
        std::size_t used = 0, positionUsed = 0;
        record.clock = std::stoi(clock, &used);
        record.position = std::stoll(position, &positionUsed);
        if (used != clock.size() || positionUsed != position.size())
            throw std::runtime_error("unreadable expected-dump line: " + line);
        record.flagged = status == "flagged";
        records.push_back(record);
    }
    return records;
}

std::vector<SimRecord> SimProcess::ExpectedRecords(int clock) const
{
    std::vector<SimRecord> records;
    for (const SimRecord& record : ExpectedRecords())
        if (record.clock == clock) records.push_back(record);
    return records;
}
