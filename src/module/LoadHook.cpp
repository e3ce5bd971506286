// The load and unload hook of libqorvane.so. Linked into the shared library
// only: the loader runs these when it maps and unmaps the library.
#include "module/Module.h"

namespace {

[[gnu::constructor]] void QorvaneAttach()
{
    qorvane::module::Attach();
}

[[gnu::destructor]] void QorvaneDetach()
{
    qorvane::module::Detach();
}

}  // namespace
