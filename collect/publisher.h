// Publishing committed records to the importer, as whole files that appear
// atomically.
//
// Each batch of the punch store goes out as Dump-<first>-<last>.Txt (its good
// records) and, when it has flagged ones, BadRecs-<first>-<last>.Txt, named by
// the batch's first and last record ids, zero-padded so the names sort in
// record order. The lines are those of Dump.Txt and BadRecs.Txt, CR LF ended.
// An importer may move or delete published files at any instant.
//
// A batch is published in steps the store keeps track of (outbox style):
//   1. committed: the records are in the store, no file is promised yet;
//   2. each file is written under a temporary name that no importer takes
//      (".Dump-...Txt.part"), flushed to the disk, and the folder flushed;
//   3. the store marks the batch "written": from now on its files exist whole;
//   4. each temporary file is renamed to its final name, the folder flushed;
//   5. the store marks the batch "published".
// After a kill at any step, Recover finishes what was begun: a committed
// batch is written again from the store (whatever temporary file was left
// is replaced), a written one gets the renames its temporary files still
// wait for. A temporary file that is gone was renamed already, and its
// final file may be with the importer by now, so it is never made again:
// every record reaches exactly one published file.
#pragma once

#include <string>

#include "punchstore.h"

namespace collect {

// The published file names of a batch.
std::string DumpFileName(const Batch& batch);
std::string BadRecordsFileName(const Batch& batch);

class Publisher {
public:
    // Publishes into `folder`; one run at a time (the folder's lock).
    Publisher(PunchStore& store, std::string folder);

    // Publishes every batch whose publication an earlier run did not end.
    // Returns how many batches it finished.
    int Recover();
    // Takes the batch through the steps above from wherever it stands.
    // Raises EInOutError or StoreError; what was done so far stays done and
    // the next run's Recover finishes it.
    void Publish(Batch batch);

private:
    std::string PathOf(const std::string& name) const;

    PunchStore& m_store;
    std::string m_folder;
};

}  // namespace collect
