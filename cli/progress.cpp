#include "progress.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>

#include "process.h"

namespace cli {
namespace {

double SteadySeconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

constexpr int kBarWidth = 30;

}  // namespace

std::string FormatDuration(double seconds)
{
    long total = seconds > 0 ? std::lround(seconds) : 0;
    char text[32];
    if (total >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
    return text;
}

ProgressMeter::ProgressMeter(std::FILE* out, bool terminal, TimeSource now)
    : m_out(out), m_terminal(terminal), m_now(now ? std::move(now) : TimeSource(SteadySeconds))
{
}

void ProgressMeter::Start(std::int32_t maximum)
{
    m_started = true;
    m_maximum = std::max<std::int32_t>(maximum, 0);
    m_position = 0;
    m_startTime = m_lastOutput = m_now();
    if (m_terminal) draw();
}

void ProgressMeter::Update(std::int32_t position) { m_position = position; }

void ProgressMeter::Tick()
{
    if (!m_started) return;
    double now = m_now();
    if (m_terminal) {
        if (!m_barShown || now - m_lastOutput >= kRedrawInterval) draw();
    } else if (now - m_lastOutput >= kLineInterval) {
        writeLine();
    }
}

void ProgressMeter::Finish()
{
    if (!m_started) return;
    if (m_terminal) {
        draw();
        std::fputc('\n', m_out);
        m_barShown = false;
    } else {
        writeLine();
    }
    std::fflush(m_out);
    m_started = false;
}

void ProgressMeter::Clear()
{
    if (!m_barShown) return;
    if (m_escapes)
        std::fputs("\r\x1b[K", m_out);
    else
        std::fputs(("\r" + std::string(m_drawnLength, ' ') + "\r").c_str(), m_out);
    m_barShown = false;
}

std::string ProgressMeter::StatusText() const
{
    double elapsed = m_now() - m_startTime;
    int percent = m_maximum > 0 ? static_cast<int>(100.0 * std::min(m_position, m_maximum) / m_maximum) : 100;
    std::string text =
        std::to_string(m_position) + "/" + std::to_string(m_maximum) + " (" + std::to_string(percent) + "%)";
    // A rate needs a record and some time; before that nothing useful can be said.
    if (m_position > 0 && elapsed > 0) {
        double rate = m_position / elapsed;
        char rateText[32];
        std::snprintf(rateText, sizeof rateText, "%.1f", rate);
        text += std::string(", ") + rateText + " records/s";
        if (m_position < m_maximum) text += ", " + FormatDuration((m_maximum - m_position) / rate) + " left";
    }
    if (m_lineErrors > 0)
        text += ", " + std::to_string(m_lineErrors) + (m_lineErrors == 1 ? " line error" : " line errors");
    return text;
}

void ProgressMeter::draw()
{
    int filled = m_maximum > 0 ? static_cast<int>(static_cast<std::int64_t>(kBarWidth) *
                                                  std::min(m_position, m_maximum) / m_maximum)
                               : kBarWidth;
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.resize(kBarWidth, '.');
    const std::string line = "[" + bar + "] " + StatusText();
    if (m_escapes) {
        WriteText(m_out, "\r" + line + "\x1b[K");
    } else {
        // Blanks cover what a longer bar before left on the line.
        const std::size_t blanks = m_drawnLength > line.size() ? m_drawnLength - line.size() : 0;
        WriteText(m_out, "\r" + line + std::string(blanks, ' '));
    }
    m_drawnLength = line.size();
    std::fflush(m_out);
    m_barShown = true;
    m_lastOutput = m_now();
}

void ProgressMeter::writeLine()
{
    WriteText(m_out,
              LogLine(false, (m_label.empty() ? "" : m_label + ": ") + "records " + StatusText()) + "\n");
    std::fflush(m_out);
    m_lastOutput = m_now();
}

std::string LogTimestamp()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{}, utc{};
#ifdef _WIN32
    // The Windows C library keeps these results per thread.
    local = *std::localtime(&now);
    utc = *std::gmtime(&now);
#else
    localtime_r(&now, &local);
    gmtime_r(&now, &utc);
#endif
    // The offset from UTC in minutes, from the two broken-down times (the
    // C library's %z is not an offset on every system). They lie at most a
    // day apart.
    int dayShift = local.tm_yday - utc.tm_yday;
    if (local.tm_year != utc.tm_year) dayShift = local.tm_year > utc.tm_year ? 1 : -1;
    const int offset = dayShift * 24 * 60 + (local.tm_hour - utc.tm_hour) * 60 + (local.tm_min - utc.tm_min);
    char text[48];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    const int magnitude = offset < 0 ? -offset : offset;
    char zone[16];
    std::snprintf(zone, sizeof zone, "%c%02d:%02d", offset < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
    return std::string(text) + zone;
}

std::string LogLine(bool terminal, const std::string& text)
{
    if (terminal) return text;
    // Each line of a message of several starts with the time too: a log is
    // read, and searched, a line at a time.
    const std::string stamp = LogTimestamp() + " ";
    std::string lines = stamp;
    for (std::size_t i = 0; i < text.size(); ++i) {
        lines += text[i];
        if (text[i] == '\n' && i + 1 < text.size()) lines += stamp;
    }
    return lines;
}

void Log(const std::string& text)
{
    WriteText(stderr, LogLine(StandardErrorIsTerminal(), text) + "\n");
    std::fflush(stderr);
}

}  // namespace cli
