#include "push.h"

#include <cstdio>
#include <filesystem>

#include "collect/centraldb.h"
#include "collect/punchstore.h"
#include "process.h"
#include "progress.h"
#include "utils/utf8path.h"

namespace cli {
namespace {

void Say(const std::string& text)
{
    std::fprintf(stderr, "%s\n", LogLine(StandardErrorIsTerminal(), text).c_str());
}

std::string Records(std::int64_t count)
{
    return std::to_string(count) + (count == 1 ? " record" : " records");
}

}  // namespace

int PushStore(const Options& options, const std::string& program, const std::function<int()>& stopSignal)
{
    if (options.schemaSql) {
        std::fputs(collect::CentralSchemaSql(), stdout);
        return kExitComplete;
    }
    const std::string store = Utf8FromPath(PathFromUtf8(options.outDirectory) / collect::kStoreFileName);
    const std::string masked = collect::MaskPassword(options.central);
    try {
        std::error_code missing;
        if (!std::filesystem::exists(PathFromUtf8(store), missing)) {
            Say(program + ": " + store +
                ": no punch store here (download --new makes one); nothing was pushed");
            return kExitBadInput;
        }
        collect::PunchStore punches(store, collect::PunchStore::Access::Collect);
        if (!options.siteName.empty()) punches.NameSite(options.siteName);
        collect::PushSettings settings;
        settings.connection = options.central;
        settings.answerSeconds = options.answerSeconds;
        settings.goOn = [&](std::int64_t, std::int64_t) { return stopSignal() == 0; };
        const collect::PushReport report = collect::Push(punches, settings);
        const std::string site = "site " + punches.SiteName() + " (" + punches.Identity() + ")";
        Say(program + ": " + site + ": " +
            (report.sent == 0 ? "nothing new to push to " + report.server
                              : Records(report.sent) + " pushed to " + report.server + ", " +
                                    std::to_string(report.added) + " of them new there") +
            (report.madeSchema ? "; made the schema clockreader" : ""));
        if (const int signal = stopSignal(); signal != 0) return 128 + signal;
        return kExitComplete;
    } catch (const collect::CentralError& error) {
        const bool failed = error.kind() == collect::CentralError::Failed;
        Say(program + ": " + error.what() +
            (failed ? "; the next push goes on from what it acknowledged" : ""));
        return failed ? kExitCentralError : kExitBadInput;
    } catch (const collect::StoreError& error) {
        Say(program + ": " + error.what() + "; nothing was pushed to " + masked);
        return error.kind() == collect::StoreError::NotAStore || error.kind() == collect::StoreError::Damaged
                   ? kExitBadInput
                   : kExitOtherError;
    }
}

}  // namespace cli
