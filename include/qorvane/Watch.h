// CQorvaneWatch: learn when the items of one key of the settings file change.
//
// A watcher follows one key of "QorRunningSet.Inf" in one settings
// directory and reports when the key's items, as OpenKey would load them
// (names and values, in file order), differ from the ones it reported last.
// A rewrite that leaves them equal (a CloseKey of another key, a close that
// writes the same values, a change of comments or spacing) is not reported.
//
// Calling sequence, blocking:
//   CQorvaneWatch watch;
//   watch.Start("/etc/myapp", "PrinterSet");   // reads the items once
//   ... GetItemCount() / GetItemAt() give them ...
//   while (watch.Wait(-1) == 1) {              // blocks until they change
//       ... GetItemCount() / GetItemAt() give the new items ...
//   }
//
// Calling sequence, in the caller's own event loop (poll, epoll, GLib, Qt):
//   watch.Start(dir, "PrinterSet");
//   add watch.GetFd() to the loop, for reading;
//   when it is readable: switch (watch.Check()) { 1: items changed; 0: no
//   change; -4: the watch has ended }.
//   Check never blocks. The descriptor stays readable until Check has
//   looked at what woke it.
//
// How changes are seen: the watcher asks the kernel (inotify) for events on
// the settings directory, not on the file, so that a file replaced by a
// rename (as CloseKey and many editors do) is followed. It follows a
// symbolic link at the settings name as OpenKey does, through every link of
// a chain, and watches the directory of each link and of the file. It also
// watches each directory on the way to those (links in the path followed),
// for the one name it looks up there: when a link on the way is pointed
// elsewhere or a directory is removed, made again or renamed, it resolves
// the path again and watches what it names now, so that a new link target is
// followed and a target directory made again is seen. Every event on the
// file's name only says "look again": the watcher reads the key and
// compares, so duplicate or coalesced events are harmless, and a burst of
// changes may be reported as fewer changes, the last report always being
// the file's final state. A change is seen when the writer closes the file,
// renames it into place, deletes it or creates it; a program that keeps the
// file open while it writes is seen when it closes it. While nothing
// happens the watcher costs nothing: no timer runs. A name made, removed or
// renamed in a directory on the way (in /tmp, say) wakes the descriptor
// once, and Check returns 0 without reading the file. A file system mounted
// over a directory of the path is not seen: inotify reports no mounts.
//
// Where inotify cannot be used (no inotify instances or watches left, a
// directory on the way that cannot be read, or a network or user-space file
// system that does not report changes made on other machines) the watcher
// checks the file's status every kPollIntervalMs milliseconds instead;
// Start returns 2 (IsPolling() becomes true when it happens later) and
// GetPollingReason() says why.
//
// What a watcher never does: it takes no lock on the file and does not
// enter the machine-wide access counter, so it never makes an OpenKey fail
// and never makes a writer wait. It can do so because the library replaces
// the file atomically: a read sees the old content or the new one, whole. A
// program that rewrites the file in place may be seen half done; its close
// is another event, so the last report is still right. It never creates the
// settings file: a missing file has no items, and its creation is seen.
//
// Threads: a watcher is used by one thread at a time. Any number of
// watchers may watch one key in any number of threads and processes.
//
// Errors are reported through int results (listed per call); bad input never
// crashes or throws. Allocation failure propagates as std::bad_alloc; the
// next Check or Wait then reads the key again. Every descriptor is owned by the object and closed by
// Stop or the destructor.
#pragma once

#include <memory>

#include "String.h"
#include "export.h"

class QORVANE_API CQorvaneWatch {
public:
    // The interval of the status check where inotify cannot be used.
    static constexpr int kPollIntervalMs = 250;

    CQorvaneWatch();
    // Stops the watch.
    ~CQorvaneWatch();

    CQorvaneWatch(const CQorvaneWatch&) = delete;
    CQorvaneWatch& operator=(const CQorvaneWatch&) = delete;

    // Starts watching the key `keyName` of the settings file in `dir`
    // (trimmed, like CQorvane::SetInfPath; null or blank: the current
    // directory), and reads the key's items once: GetItemAt gives them at
    // once. The key name is matched against headers exactly as given, as
    // OpenKey does. A settings file that does not exist yet is not an error:
    // the key has no items until it appears.
    //   1  watching, by inotify events
    //   2  watching by a status check every kPollIntervalMs ms, because
    //      inotify cannot be used here (see GetPollingReason)
    //  -1  already started (Stop first); nothing changes
    //  -2  keyName is null, contains CR, LF or 0x1A, or is not in the key
    //      catalogue; not started
    //  -4  the settings directory does not exist, is not a directory or
    //      cannot be searched, or no descriptor could be made (descriptor
    //      limit); not started
    // An unreadable settings file (no permission, not a regular file) is not
    // a failure either: it counts as having no items until it can be read
    // (GetReadError tells).
    int Start(const char* dir, const char* keyName);

    // Ends the watch and closes its descriptors; the items are dropped.
    // Harmless when not started.
    void Stop() noexcept;

    // The descriptor to poll for reading, valid from Start to Stop; -1 when
    // not started. It belongs to the watcher: never read or close it. It
    // becomes readable when something may have changed (and, when polling,
    // at every check), and stays readable until Check has looked.
    int GetFd() const noexcept;

    // Looks at what happened since the last call, without blocking: drains
    // the events, and if the settings file may have changed, reads the key
    // and compares its items with the ones reported last.
    //   1  the items changed; GetItemAt gives the new ones
    //   0  no change
    //  -1  not started
    //  -4  the watch has ended: the path no longer names the settings
    //      directory that Start found (removed, moved away or replaced,
    //      or a link or directory on the path changed so that it names
    //      another directory); the last items stay readable until Stop,
    //      and every later Check returns -4
    // A read that fails for a passing reason (an I/O error, memory or
    // descriptors short) is retried after a short pause, by a timer that
    // makes the descriptor readable again; it never spins. If the kernel
    // drops the directory's watch while the directory stays, the watcher
    // goes on by the status check (IsPolling becomes true).
    int Check();

    // Blocks until the items change, the watch ends or `timeoutMs`
    // milliseconds pass (a negative timeout waits for ever); a signal does
    // not end the wait early (poll GetFd() with a descriptor of your own
    // for that).
    //   1  the items changed; GetItemAt gives the new ones
    //   0  the time passed with no change
    //  -1  not started
    //  -4  the watch has ended (as for Check)
    int Wait(int timeoutMs);

    // The items as last reported (by Start or a Check or Wait that returned
    // 1), in file order.
    int GetItemCount() const noexcept;
    // 1 and the item at index, or 0 if index is out of range (or not
    // started); name and value are then unchanged.
    int GetItemAt(int index, CString& name, CString& value) const;
    // True if the settings file, when last read, had a section for the key.
    bool HasSection() const noexcept;

    // True if the watcher checks the file's status every kPollIntervalMs ms
    // because inotify cannot be used; false when not started.
    bool IsPolling() const noexcept;
    // Why it polls, as one line of text (empty when it does not).
    CString GetPollingReason() const;

    // 0 if the last read of the settings file worked (a missing file counts
    // as read: it has no items), else the errno of the failure (EACCES: no
    // permission; EINVAL: not a regular file).
    int GetReadError() const noexcept;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};
