#include "site.h"

#include <cstdio>
#include <filesystem>
#include <optional>

#include "collect/durablefile.h"
#include "collect/publisher.h"
#include "collect/punchstore.h"
#include "collection.h"
#include "commandlinewindow.h"
#include "process.h"
#include "progress.h"
#include "utils/text.h"
#include "utils/utf8path.h"

namespace cli {
namespace {

void Say(const std::string& text)
{
    std::fprintf(stderr, "%s\n", LogLine(StandardErrorIsTerminal(), text).c_str());
}

}  // namespace

std::string PublicationText(collect::PunchStore& punches)
{
    const std::optional<std::int64_t> after = punches.PublicationOffAfter();
    if (!after) return "";
    return "publication off after record " + std::to_string(*after) + " (no Dump-*.Txt files; " +
           CountOf(punches.RecordsNotPublishedWhileOff(), "record") + " not published)\n";
}

int ManageSite(const Options& options, const std::string& program)
{
    namespace fs = std::filesystem;
    const fs::path folder = PathFromUtf8(options.outDirectory);
    const std::string store = Utf8FromPath(folder / collect::kStoreFileName);
    try {
        std::error_code missing;
        if (!fs::exists(PathFromUtf8(store), missing)) {
            // A site that is to feed only the central database says so
            // before its first collection: its store is made for it, unless
            // another store published in the folder.
            if (options.publication.empty() || !fs::is_directory(folder, missing)) {
                Say(program + ": " + store + ": no punch store here (download --new makes one)");
                return kExitBadInput;
            }
            collect::CheckStoreBeforeCollecting(options.outDirectory);
        }
        // A run collecting into the folder publishes under the store's
        // identity: the identity changes between runs only.
        collect::FolderLock lock;
        if ((options.newIdentity || !options.publication.empty()) &&
            !lock.Acquire(Utf8FromPath(folder / collect::kLockFileName), 60, nullptr)) {
            Say(program + ": " + options.outDirectory + " is in use by another run; nothing was changed");
            return kExitOtherError;
        }
        collect::PunchStore punches(store, collect::PunchStore::Access::Collect);
        const std::string was = punches.SiteName() + " (" + punches.Identity() + ")";
        if (options.newIdentity) {
            const std::string name = options.siteName.empty() ? collect::HostName() : options.siteName;
            const std::string previous = punches.TakeNewIdentity(name.empty() ? "site" : name);
            collect::FollowNewIdentity(options.outDirectory, previous, punches.Identity());
            const std::int64_t after = punches.OwnRecordsAfter();
            Say(program + ": " + punches.Path() + " is a site of its own now" +
                (after > 0
                     ? "; its records up to id " + std::to_string(after) +
                           ", collected before it was copied, stay with site " + was + ", which pushes them"
                     : "") +
                "; the others are pushed as this site");
        } else {
            if (options.moved) {
                punches.MoveHomeHere();
                Say(program + ": site " + was + " now has its home here");
            }
            if (!options.siteName.empty()) punches.NameSite(options.siteName);
        }
        if (options.publication == "off") {
            Say(program + ": " +
                (punches.TurnPublicationOff()
                     ? "publication is off: the records collected from now on stay in " + punches.Path() +
                           " for push and export, and no Dump-*.Txt or BadRecs-*.Txt file is made for them"
                     : std::string("publication was off already")));
        } else if (options.publication == "on") {
            const bool wasOff = punches.PublicationOffAfter().has_value();
            const std::int64_t records = punches.TurnPublicationOn(options.backlog);
            Say(program + ": " +
                (!wasOff ? std::string("publication was on already")
                 : options.backlog
                     ? "publication is on: the " + CountOf(records, "record") +
                           " collected while it was off go out with the next download --new,"
                           " and every record collected from now on"
                     : "publication is on for the records collected from now on; the " +
                           CountOf(records, "record") +
                           " collected while it was off stay in the store only (push, export)"));
        }
        const bool here = punches.AtHome();
        const bool otherMachine =
            !punches.Home().machine.empty() && punches.Home().machine != collect::MachineIdentity();
        std::printf("site %s (%s)\nhome %s%s\n", punches.SiteName().c_str(), punches.Identity().c_str(),
                    punches.Home().folder.c_str(),
                    here           ? " (here)"
                    : otherMachine ? " on another computer (not here: a copy, or moved)"
                                   : " (not here: a copy, or moved)");
        if (punches.OwnRecordsAfter() > 0)
            std::printf("own records after id %lld\n", static_cast<long long>(punches.OwnRecordsAfter()));
        std::fputs(PublicationText(punches).c_str(), stdout);
        return kExitComplete;
    } catch (const collect::StoreError& error) {
        Say(program + ": " + error.what());
        return StatusOfError(error);
    } catch (const std::exception& error) {
        Say(program + ": " + error.what());
        return kExitOtherError;
    }
}

}  // namespace cli
