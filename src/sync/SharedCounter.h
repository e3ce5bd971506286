// The machine-wide home of the access counter: a POSIX shared-memory object
// of 260 bytes whose first word is the counter. Every process maps it once;
// each entrant opens a descriptor of its own for its holder lock.
#pragma once

#include <string>

#include "platform/Posix.h"
#include "sync/AccessCounter.h"

namespace qorvane::sync {

// The name of the machine-wide object. The layout version is part of it.
inline constexpr const char* kSharedCounterName = "/qorvane.QorvanD.v1";
inline constexpr std::size_t kSharedSectionSize = 260;

// Makes this process use another shared-memory object (tests use one of
// their own, so that they never disturb real clients or each other). Must be
// called before the first OpenKey or CloseKey of the process.
void UseSharedCounterName(std::string name);

// The mapped counter word of this process. Throws std::system_error if the
// object cannot be opened or mapped.
CounterWord& SharedCounterWord();

// A holder lock on the shared object: byte 0 holds the holder locks, byte 1
// the writer slot. Each entrant needs an open file description of its own
// (locks of one description do not conflict with each other); each thread
// keeps one open for its calls, so an entry costs no open() and a leave no
// close(). A descriptor inherited across fork() is never used: parent and
// child would share its locks.
class ShmHolderLock final : public HolderLock {
public:
    ShmHolderLock() = default;
    ShmHolderLock(const ShmHolderLock&) = delete;
    ShmHolderLock& operator=(const ShmHolderLock&) = delete;
    ~ShmHolderLock() override { Release(); }

    bool TryShared() override;
    bool TryExclusive() override;
    void Downgrade() override;
    bool TryWriterSlot() override;
    void Release() override;

private:
    bool Acquire();

    int m_fd = -1;           // the descriptor in use, or -1
    bool m_cached = false;   // m_fd is the thread's kept descriptor
    platform::UniqueFd m_own;  // a descriptor of this lock's own
};

// RAII shares of the shared counter: the constructor enters, the destructor
// leaves if the entry succeeded. A counter that cannot be opened or mapped
// (descriptor limit, say) admits nobody: the entry fails like a refused one
// and the next entry tries the mapping again.
class ReaderShare {
public:
    ReaderShare();
    ~ReaderShare();
    ReaderShare(const ReaderShare&) = delete;
    ReaderShare& operator=(const ReaderShare&) = delete;
    bool In() const noexcept { return m_in; }

private:
    CounterWord* m_word;
    ShmHolderLock m_lock;
    bool m_in;
};

class WriterShare {
public:
    WriterShare();
    ~WriterShare();
    WriterShare(const WriterShare&) = delete;
    WriterShare& operator=(const WriterShare&) = delete;
    bool In() const noexcept { return m_in; }

private:
    CounterWord* m_word;
    ShmHolderLock m_lock;
    bool m_in;
};

}  // namespace qorvane::sync
