#include "relayout.h"

#include <cstdio>
#include <filesystem>

#include "collect/centraldb.h"
#include "collect/durablefile.h"
#include "collect/punchstore.h"
#include "collect/relayout.h"
#include "commandlinewindow.h"
#include "process.h"
#include "progress.h"
#include "utils/utf8path.h"

namespace cli {

int RelayoutStore(const Options& options, const std::string& program)
{
    const auto say = [&](const std::string& text) {
        std::fprintf(stderr, "%s\n", LogLine(StandardErrorIsTerminal(), program + ": " + text).c_str());
    };
    const std::filesystem::path folder = PathFromUtf8(options.outDirectory);
    const std::string store = Utf8FromPath(folder / collect::kStoreFileName);
    const std::string port = options.portPath.empty() ? "COM" + options.comText : options.portPath;
    try {
        std::error_code missing;
        if (!std::filesystem::exists(folder / collect::kStoreFileName, missing)) {
            say(store + ": no punch store here; nothing was changed");
            return kExitBadInput;
        }
        // A collection of the folder would write the clock meanwhile.
        collect::FolderLock lock;
        if (!lock.Acquire(Utf8FromPath(folder / "Punches.lock"), options.lockWaitSeconds,
                          [] { return false; })) {
            say(options.outDirectory + " is in use by another run; nothing was changed");
            return kExitOtherError;
        }
        collect::PunchStore punches(store, collect::PunchStore::Access::Collect);
        const bool vireo = options.exportLayout == "vireo";
        const collect::RelayoutResult result =
            collect::Relayout(punches, {port, std::stoi(options.clock), 0, -1}, vireo);
        if (result.clockIds.empty()) {
            say(store + ": no records of clock " + options.clock + " at " + port +
                " (clockreader-cli clocks lists the clocks and their names); nothing was changed");
            return kExitBadInput;
        }
        say(store + ": clock " + options.clock + " at " + port + ": " + std::to_string(result.records) +
            " records of its current life decoded again in the " + options.exportLayout + " layout, " +
            std::to_string(result.good) + " of them with a date and time; the layout is remembered from now" +
            " on, and the change is logged in the store (table layout_change)");
        if (options.central.empty()) return kExitComplete;
        collect::PushSettings settings;
        settings.connection = options.central;
        settings.answerSeconds = options.answerSeconds;
        const std::int64_t corrected = collect::CorrectCentral(punches, settings, result.clockIds);
        say("central database " + collect::MaskPassword(options.central) + ": " + std::to_string(corrected) +
            " rows corrected");
        return kExitComplete;
    } catch (const collect::CentralError& error) {
        say(std::string(error.what()) +
            "; the store was changed: run relayout again with --push to correct"
            " the central rows");
        return error.kind() == collect::CentralError::Failed ? kExitCentralError : kExitBadInput;
    } catch (const collect::StoreError& error) {
        say(std::string(error.what()) + "; nothing was changed");
        return StatusOfError(error);
    }
}

}  // namespace cli
