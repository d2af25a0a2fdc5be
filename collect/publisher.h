// Publishing committed records to the importer, as whole files that appear
// atomically and never replace a file.
//
// The records of one or more batches of the punch store go out together as
// Dump-<store>-<first>-<last>.Txt (their good records) and, when some are
// flagged, BadRecs-<store>-<first>-<last>.Txt: <store> is the store's short
// identity, so two stores never make the same name, and <first> and <last>
// the first and last record ids, zero-padded, so a store's names sort in
// record order. The lines are those of Dump.Txt and BadRecs.Txt, CR LF
// ended. An importer may move or delete published files at any instant.
//
// A file is published in steps the store keeps track of (outbox style):
//   1. committed: the records are in the store, no file is promised yet;
//   2. each file is written under a temporary name that no importer takes
//      (".Dump-...Txt.part"), flushed to the disk, and the folder flushed;
//   3. the store marks its batches "written" under the files' names: from
//      now on the files exist whole;
//   4. each temporary file is renamed to its final name, the folder flushed;
//   5. the store marks the batches "published".
// After a kill at any step, Recover finishes what was begun: committed
// batches are written again from the store (whatever temporary file was
// left is replaced), written ones get the renames their temporary files
// still wait for. A temporary file that is gone was renamed already, and
// its final file may be with the importer by now, so it is never made
// again: every record reaches exactly one published file.
//
// While the store's publication is off (PunchStore::PublicationOffAfter),
// batches committed since stay committed and get no files; those from
// before still go out. Turning it on again publishes them with the next
// run, or marks them withheld for good, so none is published twice.
//
// The folder also keeps Punches.published: the identity of the store that
// publishes there, the highest record id it published, and the id up to
// which every one of its records was published. A store put back from an
// older copy, or another store, is never let publish again what was
// published (FolderProblem); a store put back from a copy made before its
// last batches went out has Recover mark them published instead of
// publishing them a second time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "punchstore.h"

namespace collect {

inline constexpr const char* kPublishedMarkName = "Punches.published";

// At most this many records go into one file.
inline constexpr std::int64_t kRecordsPerFile = 50000;

// The published file names of records first..last of a store.
std::string FileStem(const std::string& storeIdentity, std::int64_t firstRecord, std::int64_t lastRecord);
std::string DumpFileName(const std::string& fileStem);
std::string BadRecordsFileName(const std::string& fileStem);

// Why the store in `folder` must not publish there, or empty when it may:
// another store published there, or this one published records it no
// longer holds (a restored backup). `store` is null when Punches.db is
// missing.
std::string FolderProblem(const std::string& folder, PunchStore* store);

// Judges the store of `folder` before a collection opens it to write, having
// changed nothing: raises StoreError (NotAStore) when it must not publish
// there (FolderProblem), a missing store included. The files of a store an
// earlier run began to make and never finished, where nothing was ever
// published, are removed so that it is made anew; returns true then.
bool CheckStoreBeforeCollecting(const std::string& folder);

// The store that published in `folder` as `previous` has taken the identity
// `identity` (PunchStore::TakeNewIdentity): the folder's mark follows it, so
// it goes on publishing there. Another store's mark is left as it is.
void FollowNewIdentity(const std::string& folder, const std::string& previous, const std::string& identity);

class Publisher {
public:
    // Publishes into `folder`; one run at a time (the folder's lock).
    Publisher(PunchStore& store, std::string folder);

    // Publishes every batch whose publication an earlier run did not end,
    // except those the folder's mark says went out already, which are
    // marked published. Returns how many files it published. Raises
    // StoreError (NotAStore), having changed nothing, when a batch lies
    // across that mark.
    int Recover();
    // Takes the batches, all committed or all written to one pair of files,
    // through the steps above as one pair of files. Raises EInOutError or
    // StoreError; what was done so far stays done and the next run's
    // Recover finishes it.
    void Publish(std::vector<Batch> batches);

private:
    std::string PathOf(const std::string& name) const;
    // Notes in the folder's mark that records up to `recordId` went out,
    // and how far every record of the store has.
    void NotePublished(std::int64_t recordId);

    // Leaves out the batches publication is off for.
    void LeaveOutWhileOff(std::vector<Batch>& batches) const;

    PunchStore& m_store;
    std::string m_folder;
    std::optional<std::int64_t> m_offAfter;  // publication off: for records after this id
};

}  // namespace collect
