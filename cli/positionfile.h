// The position file of "download --new": where each clock's next run begins.
//
// Positions.Txt in the output folder is a plain text file a person can read
// and edit. Blank lines and lines starting with "#" are ignored; the program
// writes its own comment at the top and keeps no other. Fields are separated
// by blanks or tabs; a line may end in LF or CR LF.
//
//   size Dump.Txt 52830
//   size BadRecs.Txt 0
//   COM1 rs232 1 next=1200 ari=0
//   /dev/ttyUSB0 rs485 12 next=253000 ari=100
//
// A "size" line gives the bytes the output file held when the positions were
// saved: every line up to there belongs to records before the positions, so
// anything beyond it was written by a run that did not get to save, and is
// cut off by the next run (its records are read again). A missing size line
// means "nothing to cut". Each clock line names the clock by port (COMn or a
// device path), bus and clock number, then the ring position of the next
// record to read and the clock's read index (ARI) when the line was saved,
// which tells the next run how far the ring has moved on since.
//
// Reading refuses anything else with PositionFileError, naming the file and
// the line, so a damaged or mistyped file stops the run before a clock is
// asked anything.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

inline constexpr const char* kPositionFileName = "Positions.Txt";

// Which clock a position belongs to.
struct ClockKey {
    std::string port;  // "COM1" or a device path, without blanks
    bool rs232 = true;
    int clock = 1;  // 1..32
    bool operator==(const ClockKey&) const = default;
};

struct SavedPosition {
    ClockKey key;
    std::int32_t next = 0;  // ring position of the next record to read
    std::int32_t ari = 0;   // the clock's read index when this was saved
};

struct Positions {
    std::optional<std::uint64_t> dumpSize;
    std::optional<std::uint64_t> badRecordsSize;
    std::vector<SavedPosition> clocks;  // in the order of the file

    const SavedPosition* Find(const ClockKey& key) const;
    // Replaces the clock's line, or adds one at the end.
    void Set(const SavedPosition& position);
};

class PositionFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads the text of a position file; `fileName` names it in errors.
Positions ParsePositions(std::string_view text, const std::string& fileName);

// The text of a position file, with its explanatory comment.
std::string FormatPositions(const Positions& positions);

// The text a clock line starts with: "COM1 rs232 1".
std::string ClockKeyText(const ClockKey& key);

}  // namespace cli
