// CString: the library's string type in its public signatures.
//
// A thin value type over std::string. Strings are byte strings in the
// character set of the calling process's LC_CTYPE locale; every comparison
// is exact and case-sensitive, byte for byte. It converts implicitly to
// const char* so that it can be passed wherever a C string is expected; that
// pointer is valid until the string is next changed or destroyed.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

class CString {
public:
    CString() = default;
    CString(const char* text) : m_str(text != nullptr ? text : "") {}  // NOLINT(google-explicit-constructor)
    CString(std::string text) : m_str(std::move(text)) {}              // NOLINT(google-explicit-constructor)
    CString(std::string_view text) : m_str(text) {}                    // NOLINT(google-explicit-constructor)

    CString& operator=(const char* text)
    {
        m_str.assign(text != nullptr ? text : "");
        return *this;
    }
    CString& operator+=(const CString& other)
    {
        m_str += other.m_str;
        return *this;
    }
    CString& operator+=(const char* text)
    {
        if (text != nullptr) m_str += text;
        return *this;
    }
    CString& operator+=(char ch)
    {
        m_str += ch;
        return *this;
    }

    operator const char*() const noexcept { return m_str.c_str(); }  // NOLINT(google-explicit-constructor)
    const char* c_str() const noexcept { return m_str.c_str(); }
    const std::string& str() const noexcept { return m_str; }
    std::string_view view() const noexcept { return m_str; }

    int GetLength() const noexcept { return static_cast<int>(m_str.size()); }
    bool IsEmpty() const noexcept { return m_str.empty(); }
    void Empty() noexcept { m_str.clear(); }
    char GetAt(int index) const { return m_str.at(static_cast<std::size_t>(index)); }

    friend bool operator==(const CString& a, const CString& b) noexcept { return a.m_str == b.m_str; }
    friend bool operator!=(const CString& a, const CString& b) noexcept { return a.m_str != b.m_str; }
    friend bool operator==(const CString& a, const char* b) noexcept { return b != nullptr && a.m_str == b; }
    friend bool operator!=(const CString& a, const char* b) noexcept { return !(a == b); }
    friend bool operator==(const char* a, const CString& b) noexcept { return b == a; }
    friend bool operator!=(const char* a, const CString& b) noexcept { return !(b == a); }

private:
    std::string m_str;
};
