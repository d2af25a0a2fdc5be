// DecodeRecord on arbitrary payloads, both layouts and both clock calendars:
// it either yields a line that starts with three STX characters or raises
// the conversion error; nothing else.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "download/download.h"
#include "fakewindow.h"
#include "utils/errors.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2) return 0;
    const std::uint8_t mode = data[0];
    const std::string payload(reinterpret_cast<const char*>(data + 1), size - 1);
    FakeWindow window;
    window.vireo = (mode & 1) != 0;
    window.selectedClock = std::to_string(1 + (mode >> 3) % 32);
    DownloadRun run;
    run.ClockIsSolar = (mode & 2) != 0;
    run.ClockDateText = (mode & 4) != 0 ? "2025/01/10" : "1403/02/01";
    try {
        const std::string line = DecodeRecord(window, run, payload);
        if (line.compare(0, 3, "\x02\x02\x02") != 0) std::abort();
    } catch (const EConvertError&) {
    }
    return 0;
}
