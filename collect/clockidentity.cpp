#include "clockidentity.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "clocklink/clocklink.h"
#include "serial/comport.h"
#include "utils/utf8path.h"

namespace collect {
namespace {

// At most this many known clocks are compared with a new name's records.
constexpr std::size_t kMostCandidates = 8;

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string NormalisedUrl(const std::string& url)
{
    const std::size_t colonSlashes = url.find("://");
    std::string scheme = Lower(url.substr(0, colonSlashes));
    std::string rest = url.substr(colonSlashes + 3);
    while (!rest.empty() && rest.back() == '/') rest.pop_back();
    const std::size_t close = rest.rfind(']');
    const std::size_t colon = rest.rfind(':');
    std::string host = rest, port;
    if (colon != std::string::npos && (close == std::string::npos || colon > close)) {
        host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
        port.erase(0, std::min(port.find_first_not_of('0'), port.size() - 1));
    }
    return scheme + "://" + Lower(host) + (port.empty() ? "" : ":" + port);
}

// What the clock's records at the remembered positions say: the same
// clock, another one, or nothing to go by.
enum class Check { Matches, Differs, Unknown };

// `underItsName`: the clock known under the name it is reached by now, for
// which nothing new means nothing to check yet.
//
// Each of the fingerprint's good records (two, the newest first) that the
// clock still holds is read back; all must match. A flagged answer to a
// read-back is no answer: it names no clock.
Check CheckClock(const KnownClock& clock, const RingState& ring, const ReadBack& readBack, bool underItsName)
{
    if (!clock.position || clock.marks.empty()) return Check::Unknown;
    const std::int64_t next = clock.position->nextSerial;
    // The ring moved past the saved position since: overwritten, unreadable.
    const ReadPlan plan = PlanNewRecords(ring, clock.position, std::nullopt);
    if (plan.overwritten > 0) return Check::Unknown;
    const std::int64_t held = ring.held >= kRingSize ? kRingSize : RingOffset(ring.ari, ring.awi);
    const std::int64_t movedSinceSave = RingOffset(clock.position->ari, ring.ari);
    bool compared = false;
    for (const Mark& mark : clock.marks) {
        // Marks of this life, read before the saved position.
        if (mark.serial >= next || mark.serial < clock.lifeBase || next - mark.serial > kRingSize) continue;
        const std::int64_t position = mark.serial % kRingSize;
        // Overwritten since (ARI passed it): nothing to compare.
        if (RingOffset(clock.position->ari, position) < movedSinceSave) continue;
        // Fewer records than the remembered one: it was cleared or replaced.
        if (RingOffset(ring.ari, position) >= held) return Check::Differs;
        // Nothing new to read: nothing can be read twice or skipped now, and
        // the next run with records to read reads back first.
        if (plan.count == 0 && underItsName) return Check::Unknown;
        const std::optional<std::string> raw = readBack(static_cast<std::int32_t>(position));
        if (!raw)
            throw ClockSilent("the clock did not answer the read-back of its record at position " +
                              std::to_string(position));
        if (IsFlaggedRecord(*raw))
            throw ClockSilent("the clock answers its record at position " + std::to_string(position) +
                              " only as flagged (\"???\"), which tells no clock from another; it was"
                              " good when it was read");
        if (*raw != mark.raw) return Check::Differs;
        compared = true;
    }
    return compared ? Check::Matches : Check::Unknown;
}

}  // namespace

std::string PortKey(const std::string& port)
{
    if (const std::string address = ComPortNetworkAddress(port); address.find("://") != std::string::npos)
        return NormalisedUrl(address);
    const std::string device = ComPortDevice(port);
    if (device.empty()) return port;
    std::error_code error;
    const std::filesystem::path resolved = std::filesystem::canonical(PathFromUtf8(device), error);
    if (error) return device;
#ifdef _WIN32
    return Lower(Utf8FromPath(resolved));
#else
    return Utf8FromPath(resolved);
#endif
}

std::vector<std::string> PortReaches(const std::string& port)
{
    std::vector<std::string> reaches{PortKey(port)};
    if (const std::string address = ComPortNetworkAddress(port); address.find("://") != std::string::npos)
        for (const std::string& endpoint : NetworkEndpoints(address)) reaches.push_back(endpoint);
    return reaches;
}

Identity IdentifyClock(PunchStore& store, const ClockName& name, const RingState& ring,
                       const ReadBack& readBack)
{
    Identity identity;
    const std::optional<KnownClock> known = store.ClockNamed(name);
    if (known) {
        if (CheckClock(*known, ring, readBack, true) != Check::Differs) {
            if (known->lastKey != name.key || known->port != name.port) store.NameClock(name, known->id);
            identity.kind = Identity::Same;
            identity.clock = *known;
            return identity;
        }
    }
    // Another clock the store knows, moved here?
    std::vector<KnownClock> candidates = store.ClockCandidates(name, known ? known->id : 0);
    if (candidates.size() > kMostCandidates) candidates.resize(kMostCandidates);
    for (const KnownClock& candidate : candidates) {
        if (CheckClock(candidate, ring, readBack, false) != Check::Matches) continue;
        store.NameClock(name, candidate.id);
        identity.kind = Identity::Moved;
        identity.clock = candidate;
        identity.knownAs = candidate.port;
        return identity;
    }
    // The clock known here last is another clock now, or the same one
    // cleared or reset; one that was last collected elsewhere left this
    // name to a new clock.
    if (known && known->lastKey == name.key) {
        identity.kind = Identity::NewLife;
        identity.clock = store.NextLife(known->id);
        store.NameClock(name, known->id);
        return identity;
    }
    identity.kind = Identity::FirstSight;
    identity.clock = store.AddClock(name);
    return identity;
}

}  // namespace collect
