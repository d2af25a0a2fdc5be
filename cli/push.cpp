#include "push.h"

#include <cstdio>
#include <filesystem>

#include "collect/centraldb.h"
#include "collect/punchstore.h"
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

std::string Records(std::int64_t count)
{
    return std::to_string(count) + (count == 1 ? " record" : " records");
}

// Why a store found away from its home does not push, and what to do.
std::string AwayFromHome(const collect::PunchStore& punches, const std::string& folder)
{
    const collect::StoreHome here = punches.Here();
    const bool otherMachine =
        !punches.Home().machine.empty() && !here.machine.empty() && punches.Home().machine != here.machine;
    const std::string out = folder.find(' ') == std::string::npos ? folder : "\"" + folder + "\"";
    return punches.Path() + ": the punch store of site " + punches.SiteName() + " (" + punches.Identity() +
           ") was made in " + punches.Home().folder + (otherMachine ? " on another computer" : "") +
           ", not here: it is a copy, or it was moved; nothing was pushed. A copy that collects for"
           " another branch needs a site of its own: clockreader-cli site --out " +
           out + " --new-identity --site-name NAME; a store moved here: clockreader-cli site --out " + out +
           " --moved (docs/central.md, \"Setting up a second branch from a copy\")";
}

}  // namespace

int PushStore(const Options& options, const std::string& program, const std::function<int()>& stopSignal,
              RunStatus* report)
{
    RunStatus::Clock entry;
    const std::string masked = collect::MaskPassword(options.central);
    entry.name = "central database " + masked;
    entry.port = masked;
    const auto done = [&](int status, const std::string& result, const std::string& error = "") {
        entry.result = result;
        entry.lastError = error;
        if (report && !options.schemaSql) report->clocks.push_back(entry);
        return status;
    };
    if (options.schemaSql) {
        std::fputs(collect::CentralSchemaSql(), stdout);
        return kExitComplete;
    }
    const std::string store = Utf8FromPath(PathFromUtf8(options.outDirectory) / collect::kStoreFileName);
    try {
        std::error_code missing;
        if (!std::filesystem::exists(PathFromUtf8(store), missing)) {
            const std::string message =
                store + ": no punch store here (download --new makes one); nothing was pushed";
            Say(program + ": " + message);
            return done(kExitBadInput, "bad input", message);
        }
        collect::PunchStore punches(store, collect::PunchStore::Access::Collect);
        if (!punches.AtHome()) {
            const std::string message = AwayFromHome(punches, options.outDirectory);
            Say(program + ": " + message);
            return done(kExitBadInput, "bad input", message);
        }
        if (!options.siteName.empty()) punches.NameSite(options.siteName);
        collect::PushSettings settings;
        settings.connection = options.central;
        settings.answerSeconds = options.answerSeconds;
        settings.goOn = [&](std::int64_t sent, std::int64_t) {
            entry.records = sent;
            return stopSignal() == 0;
        };
        const collect::PushReport pushed = collect::Push(punches, settings);
        entry.records = pushed.sent;
        const std::string site = "site " + punches.SiteName() + " (" + punches.Identity() + ")";
        Say(program + ": " + site + ": " +
            (pushed.sent == 0 ? "nothing new to push to " + pushed.server
                              : Records(pushed.sent) + " pushed to " + pushed.server + ", " +
                                    std::to_string(pushed.added) + " of them new there") +
            (pushed.madeSchema ? "; made the schema clockreader" : ""));
        if (const int signal = stopSignal(); signal != 0) return done(128 + signal, "stopped");
        return done(kExitComplete, pushed.sent == 0 ? "nothing new" : "complete");
    } catch (const collect::CentralError& error) {
        if (error.kind() == collect::CentralError::Conflict) {
            Say(program + ": " + error.what());
            return done(kExitCentralConflict, "central conflict", error.what());
        }
        const bool failed = error.kind() == collect::CentralError::Failed;
        Say(program + ": " + error.what() +
            (failed ? "; the next push goes on from what it acknowledged" : ""));
        return done(failed ? kExitCentralError : kExitBadInput,
                    failed ? "central database error" : "bad input", error.what());
    } catch (const collect::StoreError& error) {
        Say(program + ": " + error.what() + "; nothing was pushed to " + masked);
        const bool bad = StatusOfError(error) == kExitBadInput;
        return done(bad ? kExitBadInput : kExitOtherError, bad ? "bad input" : "error", error.what());
    }
}

}  // namespace cli
