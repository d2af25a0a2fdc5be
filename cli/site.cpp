#include "site.h"

#include <cstdio>
#include <filesystem>

#include "collect/durablefile.h"
#include "collect/publisher.h"
#include "collect/punchstore.h"
#include "collection.h"
#include "commandlinewindow.h"
#include "process.h"
#include "progress.h"
#include "utils/utf8path.h"

namespace cli {
namespace {

void Say(const std::string& text)
{
    std::fprintf(stderr, "%s\n", LogLine(StandardErrorIsTerminal(), text).c_str());
}

}  // namespace

int ManageSite(const Options& options, const std::string& program)
{
    namespace fs = std::filesystem;
    const fs::path folder = PathFromUtf8(options.outDirectory);
    const std::string store = Utf8FromPath(folder / collect::kStoreFileName);
    try {
        std::error_code missing;
        if (!fs::exists(PathFromUtf8(store), missing)) {
            Say(program + ": " + store + ": no punch store here (download --new makes one)");
            return kExitBadInput;
        }
        // A run collecting into the folder publishes under the store's
        // identity: the identity changes between runs only.
        collect::FolderLock lock;
        if (options.newIdentity &&
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
