#include "copystream.h"

#include <algorithm>
#include <utility>

namespace collect {

ReadAhead::ReadAhead(PunchStore& store, std::int64_t afterId, Read read, Note note, std::size_t depth)
    : m_store(store),
      m_read(std::move(read)),
      m_note(std::move(note)),
      m_depth(std::max<std::size_t>(depth, 1))
{
    m_thread = std::thread(&ReadAhead::Run, this, afterId);
}

ReadAhead::~ReadAhead() { Stop(); }

EncodedBatch ReadAhead::Next()
{
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return m_noteFailure || !m_ready.empty() || m_ended; });
    if (m_noteFailure) std::rethrow_exception(m_noteFailure);
    if (m_ready.empty()) {
        if (m_readFailure) std::rethrow_exception(m_readFailure);
        return {};
    }
    EncodedBatch batch = std::move(m_ready.front());
    m_ready.pop_front();
    m_changed.notify_all();
    return batch;
}

void ReadAhead::Acknowledge(std::int64_t id)
{
    {
        const std::lock_guard lock(m_mutex);
        m_toNote = std::max(m_toNote.value_or(id), id);
    }
    m_changed.notify_all();
}

void ReadAhead::Finish()
{
    Stop();
    if (m_noteFailure) std::rethrow_exception(m_noteFailure);
}

void ReadAhead::Stop()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
    if (m_thread.joinable()) m_thread.join();
}

void ReadAhead::Run(std::int64_t afterId)
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_stop || m_toNote || (!m_ended && m_ready.size() < m_depth); });
        // An acknowledgement goes first, even when stopping: the server
        // committed what it names, and the next push need not send it again.
        if (m_toNote) {
            const std::int64_t id = *m_toNote;
            m_toNote.reset();
            lock.unlock();
            std::exception_ptr failure;
            try {
                m_note(m_store, id);
            } catch (...) {
                failure = std::current_exception();
            }
            lock.lock();
            if (failure && !m_noteFailure) {
                // A store that cannot note what was committed must not
                // be read on: the push stops at once.
                m_noteFailure = failure;
                m_ended = true;
                m_changed.notify_all();
            }
            continue;
        }
        if (m_stop) return;
        lock.unlock();
        EncodedBatch batch;
        std::exception_ptr failure;
        try {
            batch = m_read(m_store, afterId);
        } catch (...) {
            failure = std::current_exception();
        }
        lock.lock();
        if (failure) {
            m_readFailure = failure;
            m_ended = true;
        } else {
            afterId = batch.last;
            m_ended = batch.count == 0;
            m_ready.push_back(std::move(batch));
        }
        m_changed.notify_all();
    }
}

}  // namespace collect
