#include <cstddef>

#include "qorvane/Object.h"
#include "qorvane/Qorvane.h"

CObject* CRuntimeClass::CreateObject() const
{
    return m_pfnCreateObject != nullptr ? m_pfnCreateObject() : nullptr;
}

bool CRuntimeClass::IsDerivedFrom(const CRuntimeClass* base) const
{
    for (const CRuntimeClass* cls = this; cls != nullptr;
         cls = cls->m_pfnGetBaseClass != nullptr ? cls->m_pfnGetBaseClass() : nullptr) {
        if (cls == base) return true;
    }
    return false;
}

const CRuntimeClass CObject::classCObject{"CObject", sizeof(CObject), 0xFFFF, nullptr, nullptr, nullptr};

CRuntimeClass* CObject::GetRuntimeClass() const
{
    return const_cast<CRuntimeClass*>(&classCObject);
}

CObject::~CObject() = default;

bool CObject::IsKindOf(const CRuntimeClass* cls) const
{
    return GetRuntimeClass()->IsDerivedFrom(cls);
}

const CRuntimeClass CQorvane::classCQorvane{"CQorvane",  sizeof(CQorvane),
                                            0xFFFF,      &CQorvane::CreateObject,
                                            &CQorvane::_GetBaseClass, nullptr};

CObject* CQorvane::CreateObject()
{
    return new CQorvane;
}

CRuntimeClass* CQorvane::GetRuntimeClass() const
{
    return const_cast<CRuntimeClass*>(&classCQorvane);
}

CRuntimeClass* CQorvane::_GetBaseClass()
{
    return const_cast<CRuntimeClass*>(&CObject::classCObject);
}
