// The machine-wide home of the access counter.
//
// Two kernel objects, found through one name:
//   - the counter object, a file in the shared-memory file system
//     (/dev/shm/qorvane.QorvanD.v3), which every process can name. Its OFD
//     locks are the holder locks of the counter (byte 0), the writer slot
//     (byte 1) and the attach lock (byte 2); its owner, group and mode say
//     who may use the counter; and its first 32 bytes, the record, name the
//     segment that holds the word (read with pread: the object is never
//     mapped);
//   - the counter word, the first 32-bit word of a 260-byte System V
//     shared-memory segment, made without a key (IPC_PRIVATE) and found
//     only through the record, which also holds a random 128-bit cookie
//     that the segment repeats at byte 8.
//
// The segment:
//   bytes  0..3    the counter word (AccessCounter.h)
//   bytes  4..7    free
//   bytes  8..23   the cookie
//   bytes 24..183  the hand-off words (HandOff in AccessCounter.h): the
//                  futex word that leaves bump and wake, the queued
//                  writer's flag, the count of waiting readers and of
//                  those that stopped waiting, the futex word and count of
//                  readers waiting for the settings file's lock, the count
//                  a writer waits for, the writers' line and its marks
//   bytes 184..259 free
// The object's locks: byte 0 the holder locks, byte 1 the writer slot,
// byte 2 the set-up lock, byte 3 the waiters' lock (held shared by each
// process while it counts in HandOff::readersWaiting, so that a writer can
// prove a count stale by taking it exclusively).
//
// Why the word is not a mapping of the object: anyone who may write the
// object may also truncate it, and every process that had it mapped would
// then die of SIGBUS at its next access. A System V segment cannot be
// shrunk, and a removed one stays mapped in every process attached to it,
// so nothing another user does to either object can fault a client.
//
// Why the object names the segment: only a process that may open the
// object read-write can write the record, so nobody else can choose,
// squat or replace the segment that the users of the counter share (a
// segment found under a key anyone can compute could be made first by
// anyone). Segment ids are reused by the kernel, so a record is believed
// only while the segment at its id repeats its cookie, which nobody who
// may not read the object can know.
//
// The record changes only while its writer holds the holder lock
// exclusively, which proves that no live process holds weight in any word:
// every process reads the record while it holds its shared holder lock, so
// all processes inside the counter at any moment count in one word.
//
// Each segment is marked for removal as soon as it is made: it lives as
// long as a process is attached to it and vanishes with the last one, so
// nothing is left behind (a word that nobody is attached to holds no
// weight). The next process finds the record's segment gone and makes a
// new one. A process detaches from a segment once the record names
// another and none of its threads uses the old one.
//
// An object that cannot serve (another user created it with a mode that
// shuts this process out, a wrong kind of file, a group this process is not
// in) or a counter for which no segment can be made (the system's limits of
// System V shared memory are used up) is reported at once as
// CounterState::Wrong, with a message that names the cause; retrying does
// not help.
//
// The object is created (when missing) as an unnamed file that gets its
// mode 0666 before it is linked under the name, so no process ever sees it
// with the creator's umask applied. The library never changes the mode of
// an object it did not create: a machine where an administrator provisions
// the object (root-owned, group qorvane, mode 0660, see the tmpfiles.d
// entry) is used as it is; every process that may open it read-write,
// whether it is in the group through the group database or only through
// its credentials, can use the counter.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Posix.h"
#include "sync/AccessCounter.h"

namespace qorvane::sync {

// The name of the machine-wide object. The layout version is part of it.
inline constexpr const char* kSharedCounterName = "/qorvane.QorvanD.v3";
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
// when the counter cannot be used (tests and tools). The reference holds no
// share: it stays valid only until the object names another segment.
CounterWord& SharedCounterWord();

// Removes the object and its segment (tests, on their private name).
void RemoveSharedCounter();
// The id of the segment the current object's record names, or -1 without
// an object or a record (tests).
int SharedCounterSegmentId();

// The record at the start of the counter object.
struct CounterRecord {
    char magic[8];
    std::int32_t id;  // shmid of the segment
    std::uint32_t reserved;
    unsigned char cookie[16];  // repeated at byte kCookieOffset of the segment
};
static_assert(sizeof(CounterRecord) == 32, "the record's layout is part of the object's format");
inline constexpr std::size_t kCookieOffset = 8;
inline constexpr std::size_t kHandOffOffset = 24;
// The hand-off words of the segment whose counter word is `word`.
HandOff& HandOffOf(CounterWord& word) noexcept;
// Reads and writes the record of the object open as `fd` (tests use them to
// stand in for another process). Read gives false for a missing or
// malformed record.
bool ReadCounterRecord(int fd, CounterRecord& record);
int WriteCounterRecord(int fd, const CounterRecord& record);

// One attachment of this process to a counter segment (SharedCounter.cpp).
struct Attachment;

// The holder lock of one entrant on the counter object: byte 0 holds the
// holder locks, byte 1 the writer slot. Bind takes the shared holder lock
// (it is held while the record is read and the word used) and holds a
// reference to the segment's attachment until Release. Each entrant needs an open file
// description of its own (locks of one description do not conflict with
// each other); each thread keeps one open for its calls, so an entry costs
// no open() and a leave no close(). The descriptors are registered with the
// fork guard, so a forked child never holds a reference to them.
class ShmHolderLock final : public HolderLock {
public:
    ShmHolderLock() = default;
    // With `ownDescriptor`, always binds through a descriptor of its own,
    // leaving the thread's kept one to the entries a waiting call makes.
    explicit ShmHolderLock(bool ownDescriptor) : m_ownOnly(ownDescriptor) {}
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
    bool TryWaitersExclusive() override;
    void DropWaiters() override;
    void Release() override;

    // Drops the shared holder lock but keeps the segment attached until
    // Release: for a waiter, which must not count as a holder.
    void LeaveHolders();
    // Takes the waiters' lock shared; false while a writer holds it.
    bool TryWaitersShared();
    // True when a writer holds the writer slot right now.
    bool WriterSlotTaken() override;

private:
    CounterWord* BindWord(const struct stat& object, CounterProblem& problem);

    bool m_ownOnly = false;
    int m_fd = -1;             // the descriptor in use, or -1
    bool m_cached = false;     // m_fd is the thread's kept descriptor
    bool m_shared = false;     // the shared holder lock is held
    Attachment* m_attachment = nullptr;  // referenced while bound
    platform::LockableFd m_own;  // a descriptor of this lock's own
};

// Marks the calling thread's reader entries, while it lives, as the tries
// of a waiting call: such an entry holds off (is refused like a reader that
// meets a writer, without touching the counter) while a writer has queued,
// so that the writer finds the counter empty. A plain entry never does.
class WaitingReaderScope {
public:
    WaitingReaderScope() noexcept;
    ~WaitingReaderScope();
    WaitingReaderScope(const WaitingReaderScope&) = delete;
    WaitingReaderScope& operator=(const WaitingReaderScope&) = delete;

private:
    bool m_outer;
};

// Keeps one place in the writers' line (WriterTicket) for the calling
// thread's writer entries while it lives: the tries of one waiting call.
class WaitingWriterScope {
public:
    // `until`: when the waiting call gives up.
    explicit WaitingWriterScope(std::chrono::steady_clock::time_point until) noexcept;
    ~WaitingWriterScope();
    WaitingWriterScope(const WaitingWriterScope&) = delete;
    WaitingWriterScope& operator=(const WaitingWriterScope&) = delete;

private:
    WriterTicket m_ticket;
    WriterTicket* m_outer;
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
    // Says that this reader took the settings file's lock: its leave (after
    // the lock was dropped) wakes one reader waiting for that lock.
    void HeldFile() noexcept { m_heldFile = true; }

private:
    ShmHolderLock m_lock;
    CounterWord* m_word = nullptr;
    bool m_in = false;
    bool m_heldFile = false;
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
    WriterTicket* m_ticket = nullptr;  // the waiting call's place in the line; none for a plain entry
    bool m_in = false;
};

// Where a waiting call (OpenKeyWait, CloseKeyWait) sleeps between its
// tries: the hand-off words of the counter's segment, held attached without
// any holder lock. Make it once a try was turned away, and let it go once a
// try got in or the wait is over. A reader that has waited kReaderPatience
// counts as waiting (CountAsWaiting), so that the next writer lets it in
// first. Without a usable counter it only naps.
//
//   LeaveWaiter waiter(LeaveWaiter::Role::Reader);
//   for (;;) {
//       waiter.ArmForLock();
//       if (waiter.HoldOff()) { waiter.SleepForWriter(d); continue; }
//       try; done unless busy
//       the file's lock was in the way ? waiter.SleepForLock(d) : waiter.SleepForWriter(d);
//   }
class LeaveWaiter {
public:
    enum class Role { Reader, Writer };
    explicit LeaveWaiter(Role role);
    ~LeaveWaiter();
    LeaveWaiter(const LeaveWaiter&) = delete;
    LeaveWaiter& operator=(const LeaveWaiter&) = delete;

    // Call before a try that may meet the file's lock.
    void ArmForLock() noexcept;
    // Counts this reader in HandOff::readersWaiting from now until it goes,
    // so that the next writer lets it in first (once it has waited
    // kReaderPatience).
    void CountAsWaiting() noexcept;
    // True while a reader should not try: a writer holds the writer slot
    // and has queued (or is in). A flag left by a writer that died is
    // cleared here.
    bool HoldOff();
    // Sleeps until the reader that holds the settings file's lock leaves
    // (it wakes one such waiter), at most `d`.
    void SleepForLock(std::chrono::nanoseconds d);
    // Sleeps until a leave while a writer is announced or queued (a
    // reader) or anyone holds weight (a writer), at most `d`; returns at
    // once when that is already over.
    void SleepForWriter(std::chrono::nanoseconds d);
    // Naps `d`: for a lock held outside the library, whose release wakes
    // nobody.
    static void Nap(std::chrono::nanoseconds d);

private:
    ShmHolderLock m_lock{true};
    CounterWord* m_word = nullptr;
    HandOff* m_handOff = nullptr;
    Role m_role;
    bool m_counted = false;  // holds the waiters' lock, counts in lockWaiters
    bool m_waiting = false;  // counts in readersWaiting
    std::uint32_t m_seenLock = 0;
};

}  // namespace qorvane::sync
