#include "statusfile.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "collect/durablefile.h"

namespace cli {
namespace {

// The length of the UTF-8 sequence that starts `text` at `i`, or 0 when
// the bytes there are not one (overlong forms, surrogates and values
// beyond U+10FFFF included).
std::size_t Utf8SequenceLength(std::string_view text, std::size_t i)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    if (byte(i + 1) < low || byte(i + 1) > high) return 0;
    for (std::size_t k = 2; k < length; ++k)
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
    return length;
}

}  // namespace

std::string StatusTimeNow()
{
    return StatusTime(std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()));
}

std::string StatusTime(std::int64_t seconds)
{
    const std::time_t time = static_cast<std::time_t>(seconds);
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &time);
#else
    gmtime_r(&time, &utc);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::string JsonString(std::string_view text)
{
    std::string json = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            const std::size_t length = Utf8SequenceLength(text, i);
            if (length == 0) {
                json += "\\ufffd";
                ++i;
            } else {
                json.append(text.substr(i, length));
                i += length;
            }
            continue;
        }
        switch (c) {
        case '"': json += "\\\""; break;
        case '\\': json += "\\\\"; break;
        case '\n': json += "\\n"; break;
        case '\r': json += "\\r"; break;
        case '\t': json += "\\t"; break;
        default:
            if (c < 0x20 || c == 0x7F) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04x", c);
                json += escape;
            } else {
                json.push_back(static_cast<char>(c));
            }
        }
        ++i;
    }
    return json + "\"";
}

std::string StatusJson(const RunStatus& status)
{
    std::string json = "{\n";
    json += "  \"command\": " + JsonString(status.command) + ",\n";
    json += "  \"started\": " + JsonString(status.started) + ",\n";
    json += "  \"ended\": " + JsonString(status.ended) + ",\n";
    const auto orNull = [](const std::string& text) {
        return text.empty() ? std::string("null") : JsonString(text);
    };
    json += "  \"exit_status\": " + std::to_string(status.exitStatus) + ",\n";
    json += "  \"refused\": " + orNull(status.refused) + ",\n";
    json += "  \"clocks\": [";
    for (std::size_t i = 0; i < status.clocks.size(); ++i) {
        const RunStatus::Clock& c = status.clocks[i];
        json += i == 0 ? "\n" : ",\n";
        json += "    {\"name\": " + JsonString(c.name) + ", \"port\": " + JsonString(c.port) +
                ", \"clock\": " + std::to_string(c.clock) + ", \"result\": " + JsonString(c.result) +
                ", \"records\": " + std::to_string(c.records) +
                ", \"flagged\": " + std::to_string(c.flagged) + ", \"last_error\": " + orNull(c.lastError) +
                ", \"identity\": " + orNull(c.identity) +
                (c.lastAsked.empty() ? "" : ", \"last_asked\": " + JsonString(c.lastAsked)) + "}";
    }
    json += status.clocks.empty() ? "]\n}\n" : "\n  ]\n}\n";
    return json;
}

void WriteStatusFile(const std::string& path, const RunStatus& status)
{
    collect::ReplaceFileDurably(path, StatusJson(status));
}

}  // namespace cli
