#include "module/Module.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "qorvane/Qorvane.h"

namespace qorvane {
namespace {

void StderrSink(const char* message)
{
    std::fputs(message, stderr);
    std::fflush(stderr);
}

std::atomic<TraceSink> g_sink{&StderrSink};

// The module's registration record: its name and its class list.
struct ModuleRecord {
    const char* name;
    const CRuntimeClass* firstClass;
};

constexpr ModuleRecord kModule{"QORVANE.DLL", &CQorvane::classCQorvane};
std::atomic<const ModuleRecord*> g_registered{nullptr};

}  // namespace

TraceSink SetTraceSink(TraceSink sink) noexcept
{
    return g_sink.exchange(sink != nullptr ? sink : &StderrSink);
}

bool IsModuleRegistered() noexcept
{
    return g_registered.load() != nullptr;
}

const CRuntimeClass* FindClass(const char* name) noexcept
{
    const ModuleRecord* module = g_registered.load();
    if (module == nullptr || name == nullptr) return nullptr;
    for (const CRuntimeClass* cls = module->firstClass; cls != nullptr; cls = cls->m_pNextClass) {
        if (std::strcmp(cls->m_lpszClassName, name) == 0) return cls;
    }
    return nullptr;
}

namespace module {

void Trace(const char* message) noexcept
{
#ifdef NDEBUG
    (void)message;
#else
    g_sink.load()(message);
#endif
}

bool Attach() noexcept
{
    Trace("QORVANE.DLL Initializing!\n");
    g_registered.store(&kModule);
    return true;
}

void Detach() noexcept
{
    Trace("QORVANE.DLL Terminating!\n");
    g_registered.store(nullptr);
}

}  // namespace module
}  // namespace qorvane
