// Reads a file line by line through the thread's reusable buffer, with the line rules
// of the settings file: a line ends at LF, a CR before the LF belongs to the
// line end, the last line needs no terminator, and a 0x1A byte ends the
// text. Lines have no length limit (the buffer grows to the longest line);
// the memory used does not depend on the file's size.
#pragma once

#include <string_view>

#include "platform/Posix.h"

namespace qorvane::platform {

class FileLineReader {
public:
    // Reads from the descriptor's current position (the start of a freshly
    // opened file). `size` is the file's size as fstat reported it: a short
    // read after that many bytes ends the file without another read().
    FileLineReader(int fd, std::size_t size, std::size_t chunk = kDefaultChunk);
    FileLineReader(const FileLineReader&) = delete;
    FileLineReader& operator=(const FileLineReader&) = delete;

    static constexpr std::size_t kDefaultChunk = std::size_t{64} << 10;

    // The next line, valid until the next call; false at the end of the
    // text or on a read error (see Error()).
    bool Next(std::string_view& line);
    // The next line that holds the byte `ch`; the lines before it are
    // skipped without being split. False at the end of the text or on a
    // read error.
    bool NextHolding(char ch, std::string_view& line);
    // The errno of a failed read, or 0.
    int Error() const noexcept { return m_error; }

private:
    bool Fill();

    int m_fd;
    std::size_t m_size;
    std::size_t m_chunk;
    std::size_t m_total = 0;   // bytes read so far
    BufferLease m_lease;
    ByteBuffer& m_buf;
    std::size_t m_pos = 0;     // start of the unread text in m_buf
    std::size_t m_filled = 0;  // end of the text read so far
    std::size_t m_noLf = 0;    // m_buf holds no LF in [m_pos, m_noLf)
    bool m_atEnd = false;      // no more text beyond m_filled
    int m_error = 0;
};

}  // namespace qorvane::platform
