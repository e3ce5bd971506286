// The floor of `qorvane show` as it is built: a text as long as the output
// is filled while the file is read, and written only after the file is let
// go (a slow reader of the output must never keep the file held). This
// program does that and nothing else: it reads the file in 64 KiB pieces,
// copies 22 of every 27 bytes (the share of "name = value;" CR LF that
// "name = value" LF keeps) into a text reserved for the whole file, closes
// the file and writes the text to standard output. No parse, no lock.
//
//   show_floor FILE > /dev/null
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: show_floor FILE\n");
        return 2;
    }
    const int fd = ::open(argv[1], O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 1;
    const off_t size = ::lseek(fd, 0, SEEK_END);
    if (size < 0 || ::lseek(fd, 0, SEEK_SET) != 0) return 1;
    std::string out;
    out.reserve(static_cast<std::size_t>(size));
    static char piece[65536];
    ssize_t got = 0;
    while ((got = ::read(fd, piece, sizeof piece)) > 0) out.append(piece, static_cast<std::size_t>(got) * 22 / 27);
    ::close(fd);
    if (got < 0) return 1;
    for (std::size_t done = 0; done < out.size();) {
        const ssize_t wrote = ::write(1, out.data() + done, out.size() - done);
        if (wrote <= 0) return 1;
        done += static_cast<std::size_t>(wrote);
    }
    return 0;
}
