// Reading a push's batches ahead: a thread of its own reads the store's next
// records and encodes them while the caller's thread streams the batch before
// to the server, so the client's work overlaps the server's instead of
// alternating with it.
//
// The store's connection is handed to the thread for the whole life of a
// ReadAhead: from its construction until Finish() (or its destruction) the
// caller must not use the store, except for what it read at opening and
// keeps (its identity and name). The thread is therefore also the one that
// notes what the central database acknowledged (Acknowledge()): the caller
// hands it each id after the server's COMMIT, and it is written before the
// thread reads on, and at the latest by Finish(). At most `depth` encoded
// batches wait for the caller, besides the one the thread is encoding and
// the one the caller sends, so memory stays bounded whatever the store holds.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "punchstore.h"

namespace collect {

struct EncodedBatch {
    std::string bytes;       // the batch as it is sent
    std::int64_t last = 0;   // the id of its last record
    std::int64_t count = 0;  // its records; 0: no more records
};

class ReadAhead {
public:
    // The batch of records after `afterId` (count 0 when there are none).
    using Read = std::function<EncodedBatch(PunchStore& store, std::int64_t afterId)>;
    // Notes `id` as acknowledged in the store.
    using Note = std::function<void(PunchStore& store, std::int64_t id)>;

    // Starts the thread reading the records after `afterId`. Both functions
    // run on the thread only.
    ReadAhead(PunchStore& store, std::int64_t afterId, Read read, Note note, std::size_t depth = 2);
    // As Finish(), but a failure is dropped: the caller is failing already.
    ~ReadAhead();
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // The next batch, once read; count 0 after the last. Raises what the
    // thread raised reading (after the batches read before it), or noting
    // an acknowledgement (at once).
    EncodedBatch Next();
    // Has the thread note `id`, before it reads on. Only the highest id
    // waiting is noted: the store keeps the highest anyway.
    void Acknowledge(std::int64_t id);
    // Stops reading, notes what waits to be noted and gives the store back.
    // Raises what noting raised; a batch read ahead and never taken is
    // dropped with whatever its reading raised.
    void Finish();

private:
    void Run(std::int64_t afterId);
    void Stop();

    PunchStore& m_store;
    const Read m_read;
    const Note m_note;
    const std::size_t m_depth;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<EncodedBatch> m_ready;      // read, not taken yet
    std::optional<std::int64_t> m_toNote;  // acknowledged, not noted yet
    bool m_ended = false;                  // the batch of count 0 is read, or reading failed
    bool m_stop = false;
    std::exception_ptr m_readFailure, m_noteFailure;
    std::thread m_thread;
};

}  // namespace collect
