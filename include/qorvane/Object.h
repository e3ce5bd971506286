// Root class and run-time class records.
//
// Every class that takes part carries one static CRuntimeClass record: its
// name, object size, schema number (0xFFFF: not serialisable), a factory
// for dynamic creation, an accessor for its base class's record, and a link
// to the next class of its module's class list. Objects report their record
// through GetRuntimeClass(), so a caller can test "is this a CQorvane?" or
// create an object from the record alone.
//
// The module (libqorvane.so) registers itself with a process-wide module
// list when it is loaded and deregisters when it is unloaded; FindClass()
// looks a class up by name among the registered modules.
#pragma once

#include "export.h"

class CObject;

struct QORVANE_API CRuntimeClass {
    const char* m_lpszClassName;
    int m_nObjectSize;
    unsigned int m_wSchema;
    CObject* (*m_pfnCreateObject)();
    CRuntimeClass* (*m_pfnGetBaseClass)();
    CRuntimeClass* m_pNextClass;

    // A new object of this class from its default constructor, owned by the
    // caller; null for a class without a factory.
    CObject* CreateObject() const;
    // True if this class is `base` or derives from it.
    bool IsDerivedFrom(const CRuntimeClass* base) const;
};

class QORVANE_API CObject {
public:
    virtual CRuntimeClass* GetRuntimeClass() const;
    virtual ~CObject();

    bool IsKindOf(const CRuntimeClass* cls) const;

    static const CRuntimeClass classCObject;

protected:
    CObject() = default;
    CObject(const CObject&) = default;
    CObject& operator=(const CObject&) = default;
};

namespace qorvane {

// Receives each debug-trace message. The default sink writes to stderr.
using TraceSink = void (*)(const char* message);

// Replaces the process-wide trace sink; null restores the default. Returns
// the sink that was in place. Builds without tracing (NDEBUG) write nothing.
QORVANE_API TraceSink SetTraceSink(TraceSink sink) noexcept;

// True while the library's module record is registered in this process.
QORVANE_API bool IsModuleRegistered() noexcept;

// The run-time class record of a class of a registered module, by exact
// name; null if no registered module has such a class.
QORVANE_API const CRuntimeClass* FindClass(const char* name) noexcept;

}  // namespace qorvane
