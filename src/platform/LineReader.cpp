#include "platform/LineReader.h"

#include <cstring>

namespace qorvane::platform {

FileLineReader::FileLineReader(int fd, std::size_t size, std::size_t chunk)
    : m_fd(fd), m_size(size), m_chunk(chunk), m_buf(m_lease.Get())
{
    m_buf.Resize(chunk);
}

bool FileLineReader::Next(std::string_view& line)
{
    for (;;) {
        const char* start = m_buf.Data() + m_pos;
        const std::size_t avail = m_filled - m_pos;
        // A long line arrives in many reads: search only the new bytes.
        const std::size_t from = m_noLf > m_pos ? m_noLf : m_pos;
        if (const void* lf = std::memchr(m_buf.Data() + from, '\n', m_filled - from)) {
            std::size_t len = static_cast<std::size_t>(static_cast<const char*>(lf) - start);
            m_pos += len + 1;
            if (len != 0 && start[len - 1] == '\r') --len;
            line = std::string_view(start, len);
            return true;
        }
        m_noLf = m_filled;
        if (m_atEnd) {
            if (avail == 0) return false;
            line = std::string_view(start, avail);
            m_pos = m_filled;
            return true;
        }
        if (!Fill()) return false;
    }
}

bool FileLineReader::NextHolding(char ch, std::string_view& line)
{
    for (;;) {
        const char* base = m_buf.Data();
        if (const void* found = std::memchr(base + m_pos, ch, m_filled - m_pos)) {
            auto at = static_cast<std::size_t>(static_cast<const char*>(found) - base);
            while (at > m_pos && base[at - 1] != '\n') --at;
            m_pos = at;
            return Next(line);
        }
        // Nothing buffered holds it: keep only the unfinished last line.
        if (const void* lf = ::memrchr(base + m_pos, '\n', m_filled - m_pos)) {
            m_pos = static_cast<std::size_t>(static_cast<const char*>(lf) - base) + 1;
        }
        m_noLf = m_filled;
        if (m_atEnd) {
            m_pos = m_filled;
            return false;
        }
        if (!Fill()) return false;
    }
}

// Moves the unfinished line to the front and reads more after it.
bool FileLineReader::Fill()
{
    const std::size_t keep = m_filled - m_pos;
    if (keep != 0 && m_pos != 0) std::memmove(m_buf.Data(), m_buf.Data() + m_pos, keep);
    m_noLf = keep;  // Fill follows a search that found no LF in what is kept
    m_pos = 0;
    m_filled = keep;
    if (m_buf.Size() - m_filled < m_chunk) m_buf.Resize(m_filled + m_chunk);
    std::size_t got = 0;
    const std::size_t asked = m_buf.Size() - m_filled;
    if (const int err = sys::Read(m_fd, m_buf.Data() + m_filled, asked, got)) {
        m_error = err;
        return false;
    }
    if (got == 0) {
        m_atEnd = true;
        return true;
    }
    m_total += got;
    if (m_total >= m_size && got < asked) m_atEnd = true;  // a short read past the size ends the file
    if (const void* eot = std::memchr(m_buf.Data() + m_filled, '\x1a', got)) {
        got = static_cast<std::size_t>(static_cast<const char*>(eot) - (m_buf.Data() + m_filled));
        m_atEnd = true;
    }
    m_filled += got;
    return true;
}

}  // namespace qorvane::platform
