#include "sweeporder.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <utility>

#include "collect/durablefile.h"
#include "options.h"
#include "utils/utf8path.h"

namespace cli {
namespace {

// The lines of a site change the file from threads of their own.
std::mutex g_stateLock;

struct SweepLine {
    std::string portKey;
    int clock = 0;
    std::optional<AddressSeen> seen;  // none: the clock is unfinished
};

// A line of the file; nothing when it does not read. A port key may hold
// tabs, so the fields are taken from the end.
std::optional<SweepLine> ParseLine(const std::string& line)
{
    std::vector<std::string> fields;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, '\t');) fields.push_back(field);
    if (fields.size() < 2) return std::nullopt;
    const bool asked = fields.size() >= 4 && (fields.back() == "answered" || fields.back() == "silent");
    const std::size_t keyFields = fields.size() - (asked ? 3 : 1);
    SweepLine parsed;
    for (std::size_t i = 0; i < keyFields; ++i) parsed.portKey += (i ? "\t" : "") + fields[i];
    try {
        parsed.clock = std::stoi(fields[keyFields]);
        if (asked) parsed.seen = AddressSeen{std::stoll(fields[keyFields + 1]), fields.back() == "answered"};
    } catch (const std::exception&) {
        // What it would have given matters less than the sweep.
        return std::nullopt;
    }
    return parsed;
}

std::int64_t SecondsNow()
{
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Reads the file, lets `change` change its lines and writes them back; a
// failure to write is told to `warn`.
void ChangeLines(const std::string& path, const std::function<void(const std::string&)>& warn,
                 const std::function<void(std::vector<SweepLine>&)>& change)
{
    const std::lock_guard<std::mutex> hold(g_stateLock);
    std::vector<SweepLine> lines;
    {
        // Closed before the file is replaced: Windows refuses to replace a
        // file that is open without leave to delete it (access denied).
        std::ifstream in(PathFromUtf8(path), std::ios::binary);
        for (std::string line; std::getline(in, line);)
            if (std::optional<SweepLine> parsed = ParseLine(line)) lines.push_back(std::move(*parsed));
    }
    change(lines);
    std::string text;
    for (const SweepLine& l : lines) {
        text += l.portKey + "\t" + std::to_string(l.clock);
        if (l.seen)
            text += "\t" + std::to_string(l.seen->askedAt) + (l.seen->answered ? "\tanswered" : "\tsilent");
        text += "\n";
    }
    try {
        collect::ReplaceFileDurably(path, text);
    } catch (const std::exception& error) {
        if (warn)
            warn(std::string(error.what()) +
                 "; the next sweep may not begin with the clocks this one leaves unread, nor leave out those "
                 "that"
                 " were silent");
    }
}

}  // namespace

std::vector<int> SweepOrder(const std::vector<int>& listed, const std::set<int>& unfinished)
{
    std::vector<int> order(listed);
    std::sort(order.begin(), order.end());
    order.erase(std::unique(order.begin(), order.end()), order.end());
    std::stable_partition(order.begin(), order.end(), [&](int clock) { return unfinished.count(clock) > 0; });
    return order;
}

SweepPlan PlanSweep(const std::vector<int>& listed, const std::set<int>& unfinished,
                    const std::map<int, AddressSeen>& seen, std::int64_t now, std::int64_t absentInterval)
{
    SweepPlan plan;
    for (int clock : SweepOrder(listed, unfinished)) {
        const auto found = seen.find(clock);
        if (found != seen.end() && !found->second.answered && found->second.askedAt <= now &&
            now - found->second.askedAt < absentInterval)
            plan.notAsked.push_back({clock, found->second.askedAt});
        else
            plan.order.push_back(clock);
    }
    std::sort(plan.notAsked.begin(), plan.notAsked.end(),
              [](const NotAsked& a, const NotAsked& b) { return a.clock < b.clock; });
    return plan;
}

ClockAnswer AnswerOf(int status, bool cutShort, bool heard, bool stopped)
{
    if (status == kExitComplete && !cutShort) return ClockAnswer::Finished;
    if (heard) return ClockAnswer::Answered;
    return status == kExitCommunicationError && !stopped ? ClockAnswer::Silent : ClockAnswer::Unknown;
}

SweepState::SweepState(std::string folder, std::string portKey, std::int64_t absentInterval,
                       std::function<void(const std::string&)> warn)
    : m_path(PathInFolder(folder, kSweepStateFileName)),
      m_portKey(std::move(portKey)),
      m_absentInterval(absentInterval),
      m_warn(std::move(warn))
{
}

SweepPlan SweepState::Begin(const std::vector<int>& listed)
{
    SweepPlan plan;
    plan.order = SweepOrder(listed, {});
    ChangeLines(m_path, m_warn, [&](std::vector<SweepLine>& lines) {
        std::set<int> unfinished;
        std::map<int, AddressSeen> seen;
        for (const SweepLine& l : lines) {
            if (l.portKey != m_portKey) continue;
            if (l.seen)
                seen[l.clock] = *l.seen;
            else
                unfinished.insert(l.clock);
        }
        plan = PlanSweep(listed, unfinished, seen, SecondsNow(), m_absentInterval);
        std::erase_if(lines, [&](const SweepLine& l) { return l.portKey == m_portKey && !l.seen; });
        for (int clock : plan.order) lines.push_back({m_portKey, clock, std::nullopt});
    });
    return plan;
}

void SweepState::Asked(int clock, ClockAnswer answer)
{
    const std::int64_t now = SecondsNow();
    if (answer == ClockAnswer::Unknown) return;
    if (answer == ClockAnswer::Silent && !m_someAnswered) {
        m_silences.emplace_back(clock, now);
        return;
    }
    std::vector<std::pair<int, AddressSeen>> news;
    if (answer != ClockAnswer::Silent) {
        // The line works: the silences before this answer were the addresses'.
        m_someAnswered = true;
        for (const auto& [silent, at] : m_silences) news.push_back({silent, {at, false}});
        m_silences.clear();
    }
    news.push_back({clock, {now, answer != ClockAnswer::Silent}});
    ChangeLines(m_path, m_warn, [&](std::vector<SweepLine>& lines) {
        for (const auto& [number, seen] : news) {
            std::erase_if(lines, [&](const SweepLine& l) {
                return l.portKey == m_portKey && l.clock == number &&
                       (l.seen || (number == clock && answer == ClockAnswer::Finished));
            });
            lines.push_back({m_portKey, number, seen});
        }
    });
}

std::string NotAskedText(const SweepPlan& plan, std::int64_t absentInterval)
{
    if (plan.notAsked.empty()) return "";
    std::string clocks;
    for (const NotAsked& n : plan.notAsked) clocks += (clocks.empty() ? "" : ", ") + std::to_string(n.clock);
    const bool one = plan.notAsked.size() == 1;
    return std::string(one ? "clock " : "clocks ") + clocks + (one ? " was" : " were") +
           " silent when last asked, less than " + std::to_string(absentInterval / 60) +
           " minutes ago: not asked (--ask-absent asks " + (one ? "it" : "them") + " now)";
}

}  // namespace cli
