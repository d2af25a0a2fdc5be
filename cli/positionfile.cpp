#include "positionfile.h"

#include <algorithm>

#include "clocklink/clocklink.h"

namespace cli {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::vector<std::string_view> Fields(std::string_view line)
{
    std::vector<std::string_view> fields;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && IsBlank(line[i])) ++i;
        const std::size_t begin = i;
        while (i < line.size() && !IsBlank(line[i])) ++i;
        if (i > begin) fields.push_back(line.substr(begin, i - begin));
    }
    return fields;
}

// Plain decimal digits, at most 18 of them, within [0, limit].
std::optional<std::int64_t> Number(std::string_view text, std::int64_t limit)
{
    if (text.empty() || text.size() > 18) return std::nullopt;
    std::int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value > limit) return std::nullopt;
    return value;
}

class Reader {
public:
    explicit Reader(const std::string& fileName) : m_fileName(fileName) {}

    Positions Read(std::string_view text)
    {
        while (!text.empty()) {
            const std::size_t end = text.find('\n');
            std::string_view line = text.substr(0, end);
            text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
            ++m_lineNumber;
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            ReadLine(line);
        }
        return m_positions;
    }

private:
    [[noreturn]] void Fail(const std::string& why) const
    {
        throw PositionFileError(m_fileName + " line " + std::to_string(m_lineNumber) + ": " + why);
    }

    void ReadLine(std::string_view line)
    {
        // A power cut on a file system that does not keep the rename's
        // promise can leave zeros; no hand edit puts control characters here.
        if (std::any_of(line.begin(), line.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20 && !IsBlank(c); }))
            Fail("the line holds control characters; the file is damaged");
        const std::vector<std::string_view> fields = Fields(line);
        if (fields.empty() || fields[0].front() == '#') return;
        if (fields[0] == "size")
            ReadSize(fields);
        else
            ReadClock(fields);
    }

    void ReadSize(const std::vector<std::string_view>& fields)
    {
        if (fields.size() != 3) Fail("expected \"size Dump.Txt BYTES\" or \"size BadRecs.Txt BYTES\"");
        std::optional<std::uint64_t>* size = fields[1] == "Dump.Txt"      ? &m_positions.dumpSize
                                             : fields[1] == "BadRecs.Txt" ? &m_positions.badRecordsSize
                                                                          : nullptr;
        if (!size) Fail("'" + std::string(fields[1]) + "' is neither Dump.Txt nor BadRecs.Txt");
        if (*size) Fail("a second size of " + std::string(fields[1]));
        const std::optional<std::int64_t> bytes = Number(fields[2], 999999999999999999);
        if (!bytes) Fail("'" + std::string(fields[2]) + "' is not a number of bytes");
        *size = static_cast<std::uint64_t>(*bytes);
    }

    void ReadClock(const std::vector<std::string_view>& fields)
    {
        if (fields.size() != 5)
            Fail("expected \"PORT BUS CLOCK next=POSITION ari=POSITION\", found " +
                 std::to_string(fields.size()) + " fields");
        SavedPosition position;
        position.key.port = std::string(fields[0]);
        if (fields[1] == "rs232")
            position.key.rs232 = true;
        else if (fields[1] == "rs485")
            position.key.rs232 = false;
        else
            Fail("'" + std::string(fields[1]) + "' is neither rs232 nor rs485");
        const std::optional<std::int64_t> clock = Number(fields[2], 32);
        if (!clock || *clock < 1) Fail("'" + std::string(fields[2]) + "' is not a clock number from 1 to 32");
        position.key.clock = static_cast<int>(*clock);
        position.next = RingPosition(fields[3], "next=");
        position.ari = RingPosition(fields[4], "ari=");
        if (m_positions.Find(position.key)) Fail("a second line for " + ClockKeyText(position.key));
        m_positions.clocks.push_back(position);
    }

    std::int32_t RingPosition(std::string_view field, std::string_view name) const
    {
        if (field.substr(0, name.size()) != name)
            Fail("expected " + std::string(name) + "POSITION, found '" + std::string(field) + "'");
        const std::optional<std::int64_t> value = Number(field.substr(name.size()), kRingSize - 1);
        if (!value)
            Fail("'" + std::string(field) + "' is not a ring position from 0 to " +
                 std::to_string(kRingSize - 1));
        return static_cast<std::int32_t>(*value);
    }

    const std::string& m_fileName;
    int m_lineNumber = 0;
    Positions m_positions;
};

}  // namespace

const SavedPosition* Positions::Find(const ClockKey& key) const
{
    for (const SavedPosition& position : clocks)
        if (position.key == key) return &position;
    return nullptr;
}

void Positions::Set(const SavedPosition& position)
{
    for (SavedPosition& existing : clocks)
        if (existing.key == position.key) {
            existing = position;
            return;
        }
    clocks.push_back(position);
}

Positions ParsePositions(std::string_view text, const std::string& fileName)
{
    return Reader(fileName).Read(text);
}

std::string ClockKeyText(const ClockKey& key)
{
    return key.port + (key.rs232 ? " rs232 " : " rs485 ") + std::to_string(key.clock);
}

std::string FormatPositions(const Positions& positions)
{
    std::string text =
        "# Where \"clockreader-cli download --new\" begins next time, for each clock.\n"
        "# size FILE BYTES: the output file's size when this was saved; a run cuts off what lies beyond.\n"
        "# PORT BUS CLOCK next=POSITION ari=POSITION: the next record's ring position, and the clock's\n"
        "# read index then. Edit only while no run is going; see the README.\n";
    if (positions.dumpSize) text += "size Dump.Txt " + std::to_string(*positions.dumpSize) + "\n";
    if (positions.badRecordsSize)
        text += "size BadRecs.Txt " + std::to_string(*positions.badRecordsSize) + "\n";
    for (const SavedPosition& position : positions.clocks)
        text += ClockKeyText(position.key) + " next=" + std::to_string(position.next) +
                " ari=" + std::to_string(position.ari) + "\n";
    return text;
}

}  // namespace cli
