// The machine-wide home of the access counter.
//
// Two kernel objects, found through one name:
//   - the counter object, a file in the shared-memory file system
//     (/dev/shm/qorvane.QorvanD.v2), which every process can name. It holds
//     no data. Its OFD locks are the holder locks of the counter (byte 0)
//     and the writer slot (byte 1), and its owner, group and mode say who
//     may use the counter;
//   - the counter word, the first 32-bit word of a 260-byte System V
//     shared-memory segment whose key is derived from the object's device
//     and inode, created with the object's mode and group.
//
// Why the word is not a mapping of the object: anyone who may write the
// object may also truncate it, and every process that had it mapped would
// then die of SIGBUS at its next access. A System V segment cannot be
// shrunk, and a removed one stays mapped in every process attached to it,
// so nothing another user does to either object can fault a client.
//
// Every entry re-checks both: the name must still lead to the object whose
// locks the thread uses, and the key must still lead to the segment the
// process has attached. A removed or replaced object or segment (the login
// manager removes a user's objects at logout) is noticed at the next entry
// and every process moves to the new one, instead of some processes
// counting in the old word and others in a new one.
//
// An object or segment that cannot serve (another user created it with a
// mode that shuts this process out, a wrong kind of file, a segment too
// small or with other permissions than the object) is reported at once as
// CounterState::Wrong, with a message that names the object and what is
// wrong; retrying does not help.
//
// The object is created (when missing) as an unnamed file that gets its
// mode 0666 before it is linked under the name, so no process ever sees it
// with the creator's umask applied. The library never changes the mode of
// an object it did not create: a machine where an administrator provisions
// the object (root-owned, group qorvane, mode 0660, see the tmpfiles.d
// entry) is used as it is.
#pragma once

#include <string>

#include "platform/Posix.h"
#include "sync/AccessCounter.h"

namespace qorvane::sync {

// The name of the machine-wide object. The layout version is part of it.
inline constexpr const char* kSharedCounterName = "/qorvane.QorvanD.v2";
inline constexpr std::size_t kSharedSectionSize = 260;

// Makes this process use another object (tests use one of their own, so
// that they never disturb real clients or each other). Call it before the
// first OpenKey or CloseKey of the process.
void UseSharedCounterName(std::string name);
// The object's path in the file system.
std::string SharedCounterPath();

enum class CounterState {
    Usable,
    Unavailable,  // cannot be opened right now (descriptor limit, memory)
    Wrong,        // the object or its segment cannot serve; see the message
};

struct CounterProblem {
    CounterState state = CounterState::Usable;
    std::string message;  // one line, empty when usable
};

// Opens (creating when missing) and checks the object and its segment.
CounterProblem CheckSharedCounter();
// Why the calling thread's last entry could not use the counter; Usable
// after an entry that could.
const CounterProblem& LastCounterProblem() noexcept;
// True when the calling thread's last entry failed because the counter
// cannot serve (CounterState::Wrong): a retry will not help.
inline bool CounterIsWrong() noexcept
{
    return LastCounterProblem().state == CounterState::Wrong;
}

// The counter word, bound as an entry binds it. Throws std::system_error
// when the counter cannot be used (tests and tools).
CounterWord& SharedCounterWord();

// Removes the object and its segment (tests, on their private name).
void RemoveSharedCounter();
// The System V key of the current object's segment, or -1 without an
// object (tests).
int SharedCounterKey();

// The holder lock of one entrant on the counter object: byte 0 holds the
// holder locks, byte 1 the writer slot. Each entrant needs an open file
// description of its own (locks of one description do not conflict with
// each other); each thread keeps one open for its calls, so an entry costs
// no open() and a leave no close(). The descriptors are registered with the
// fork guard, so a forked child never holds a reference to them.
class ShmHolderLock final : public HolderLock {
public:
    ShmHolderLock() = default;
    ShmHolderLock(const ShmHolderLock&) = delete;
    ShmHolderLock& operator=(const ShmHolderLock&) = delete;
    ~ShmHolderLock() override { Release(); }

    // Binds the lock to the current object and returns the counter word of
    // that object, or null with `problem` set.
    CounterWord* Bind(CounterProblem& problem);

    bool TryShared() override;
    bool TryExclusive() override;
    void Downgrade() override;
    bool TryWriterSlot() override;
    void Release() override;

private:
    int m_fd = -1;             // the descriptor in use, or -1
    bool m_cached = false;     // m_fd is the thread's kept descriptor
    platform::LockableFd m_own;  // a descriptor of this lock's own
};

// RAII shares of the shared counter: the constructor enters, the destructor
// leaves if the entry succeeded. A counter that cannot be used admits
// nobody: the entry fails like a refused one, at once, and
// LastCounterProblem() says why.
class ReaderShare {
public:
    ReaderShare();
    ~ReaderShare();
    ReaderShare(const ReaderShare&) = delete;
    ReaderShare& operator=(const ReaderShare&) = delete;
    bool In() const noexcept { return m_in; }

private:
    ShmHolderLock m_lock;
    CounterWord* m_word = nullptr;
    bool m_in = false;
};

class WriterShare {
public:
    WriterShare();
    ~WriterShare();
    WriterShare(const WriterShare&) = delete;
    WriterShare& operator=(const WriterShare&) = delete;
    bool In() const noexcept { return m_in; }

private:
    ShmHolderLock m_lock;
    CounterWord* m_word = nullptr;
    bool m_in = false;
};

}  // namespace qorvane::sync
