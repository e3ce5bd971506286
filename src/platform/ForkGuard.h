// Keeps the library's lock-carrying descriptors out of forked children.
//
// An OFD lock belongs to the open file description, and fork() gives the
// child a reference to every description the parent has open. A child that
// does not exec keeps them (and with them every lock on them) alive for as
// long as it lives, even after the parent died or dropped its descriptor:
// the settings file would stay locked (every OpenKey -4) and a dead holder's
// weight in the counter could never be recovered. O_CLOEXEC does not help
// without exec, and Linux has no close-on-fork flag.
//
// So every descriptor of the library that may carry a lock is registered
// here for as long as it is open, and a pthread_atfork child handler drops
// the child's references: descriptors of threads that do not exist in the
// child are closed, those of the forking thread are pointed at /dev/null
// (dup2), so that their owner objects in the child close a harmless
// descriptor later instead of a number that may have been reused.
//
// Opening and registering happen under the registry's mutex, which the
// prepare handler takes too, so a fork() never falls between the two.
#pragma once

#include <functional>

namespace qorvane::platform {

// Runs `open` (which returns a descriptor or -1) and registers what it
// returns, atomically with respect to fork(). Returns that descriptor.
int OpenRegistered(const std::function<int()>& open);

// Forgets a registered descriptor. Call it before closing the descriptor:
// a number closed first could be reused by another open of the process and
// then be closed in a child by mistake.
void Unregister(int fd) noexcept;

// Number of registered descriptors (tests).
int RegisteredCount() noexcept;

}  // namespace qorvane::platform
