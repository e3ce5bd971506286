// Module life cycle: the trace sink and the registration record of
// libqorvane in this process.
#pragma once

namespace qorvane::module {

// Writes a message to the trace sink. Builds without tracing (NDEBUG) write
// nothing.
void Trace(const char* message) noexcept;

// Called by the load and unload hook of the shared library.
bool Attach() noexcept;
void Detach() noexcept;

}  // namespace qorvane::module
