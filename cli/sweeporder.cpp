#include "sweeporder.h"

#include <algorithm>
#include <fstream>
#include <mutex>
#include <sstream>
#include <utility>

#include "collect/durablefile.h"
#include "utils/utf8path.h"

namespace cli {
namespace {

// The lines of a site change the file from threads of their own.
std::mutex g_stateLock;

struct Entry {
    std::string portKey;
    int clock = 0;
};

std::vector<Entry> ReadEntries(const std::string& path)
{
    std::vector<Entry> entries;
    std::ifstream in(PathFromUtf8(path), std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        const std::string::size_type tab = line.rfind('\t');
        if (tab == std::string::npos) continue;
        try {
            entries.push_back({line.substr(0, tab), std::stoi(line.substr(tab + 1))});
        } catch (const std::exception&) {
            // A line that does not read is dropped; the order it would have
            // given matters less than the sweep.
        }
    }
    return entries;
}

void WriteEntries(const std::string& path, const std::vector<Entry>& entries)
{
    std::string text;
    for (const Entry& e : entries) text += e.portKey + "\t" + std::to_string(e.clock) + "\n";
    collect::ReplaceFileDurably(path, text);
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

SweepState::SweepState(std::string folder, std::string portKey)
    : m_path(PathInFolder(folder, kSweepStateFileName)), m_portKey(std::move(portKey))
{
}

std::vector<int> SweepState::Begin(const std::vector<int>& listed)
{
    const std::lock_guard<std::mutex> hold(g_stateLock);
    std::vector<Entry> entries = ReadEntries(m_path);
    std::set<int> unfinished;
    for (const Entry& e : entries)
        if (e.portKey == m_portKey) unfinished.insert(e.clock);
    const std::vector<int> order = SweepOrder(listed, unfinished);
    std::erase_if(entries, [&](const Entry& e) { return e.portKey == m_portKey; });
    for (int clock : order) entries.push_back({m_portKey, clock});
    WriteEntries(m_path, entries);
    return order;
}

void SweepState::Finished(int clock)
{
    const std::lock_guard<std::mutex> hold(g_stateLock);
    std::vector<Entry> entries = ReadEntries(m_path);
    std::erase_if(entries, [&](const Entry& e) { return e.portKey == m_portKey && e.clock == clock; });
    WriteEntries(m_path, entries);
}

}  // namespace cli
