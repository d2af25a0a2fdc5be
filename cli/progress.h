// Progress of a download on standard error.
//
// On a terminal a one-line bar is redrawn in place (at most ten times a
// second) with the records read, records per second and the time left; when
// standard error is a file or a pipe, as in a scheduled job's log, a plain line
// is written every few seconds instead, and one at the end. The meter is
// driven by the window calls of the download (progress maximum and position)
// and by its message processing, so it costs nothing between records.
// Text goes out through WriteText (process.h): Persian in a Windows console
// is written as such, not in the console's code page.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace cli {

class ProgressMeter {
public:
    // Seconds from any fixed point; replaceable so tests control time.
    using TimeSource = std::function<double()>;

    static constexpr double kRedrawInterval = 0.1;  // terminal
    static constexpr double kLineInterval = 5.0;    // file or pipe

    ProgressMeter(std::FILE* out, bool terminal, TimeSource now = {});

    // The records phase begins with `maximum` records to read.
    void Start(std::int32_t maximum);
    // `position` records have been read.
    void Update(std::int32_t position);
    // Redraws or writes a line when one is due.
    void Tick();
    // Shows the final state and ends the line; nothing when never started.
    void Finish();
    // Takes the bar off the terminal line so a message can be written; it is
    // drawn again at the next tick.
    void Clear();

    // Whether the meter draws on a terminal.
    bool Terminal() const { return m_terminal; }

    // Line errors the port has counted so far (framing, overrun, parity);
    // shown once there are any.
    void SetLineErrors(std::uint32_t count) { m_lineErrors = count; }
    // Whether the bar is cleared with the terminal's erase escape (true by
    // default on POSIX systems) or by writing blanks over it (Windows
    // consoles, which show escapes literally unless told otherwise).
    void SetEscapes(bool escapes) { m_escapes = escapes; }

    // "1234/19500 (6%), 215.3 records/s, 1:25 left, 2 line errors": the
    // state as one text.
    std::string StatusText() const;
    // Names the line a plain progress line belongs to ("COM1: records ..."),
    // when several lines are read side by side.
    void SetLabel(const std::string& label) { m_label = label; }

private:
    void draw();
    void writeLine();

    std::FILE* m_out;
    std::string m_label;
    bool m_terminal;
    TimeSource m_now;
    bool m_started = false;
    bool m_barShown = false;
    std::int32_t m_maximum = 0;
    std::int32_t m_position = 0;
    double m_startTime = 0;
    double m_lastOutput = 0;
    std::uint32_t m_lineErrors = 0;
#ifdef _WIN32
    bool m_escapes = false;
#else
    bool m_escapes = true;
#endif
    std::size_t m_drawnLength = 0;  // characters of the bar on the line now
};

// The local time now as ISO 8601 with its offset from UTC,
// "2026-12-07T19:30:05+03:30", which starts every line of a job's log, so
// the runs of an hourly job can be told apart.
std::string LogTimestamp();
// `text` as a log line: on a terminal as it is, else each of its lines
// after LogTimestamp() and a blank.
std::string LogLine(bool terminal, const std::string& text);
// Writes `text` to standard error as a log line, and the line end.
void Log(const std::string& text);

// "m:ss", or "h:mm:ss" from one hour on.
std::string FormatDuration(double seconds);

}  // namespace cli
