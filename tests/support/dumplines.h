// The lines of the files the program writes (Dump.Txt, BadRecs.Txt, the
// published files), each of which ends in CR LF.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// The lines of `text`; `rest`, when given, gets what follows the last CR LF
// (nothing when the text ends with a whole line).
inline std::vector<std::string> CrLfLines(const std::string& text, std::string* rest = nullptr)
{
    std::vector<std::string> lines;
    std::size_t begin = 0;
    for (std::size_t end; (end = text.find("\r\n", begin)) != std::string::npos; begin = end + 2)
        lines.push_back(text.substr(begin, end - begin));
    if (rest) *rest = text.substr(begin);
    return lines;
}

// The dump lines of clock `clock` among `lines`: a line carries its clock
// number, three digits, after its three STX.
inline std::vector<std::string> LinesOfClock(const std::vector<std::string>& lines, int clock)
{
    char number[8];
    std::snprintf(number, sizeof number, "%03d", clock);
    std::vector<std::string> own;
    for (const std::string& line : lines)
        if (line.compare(3, 3, number) == 0) own.push_back(line);
    return own;
}
