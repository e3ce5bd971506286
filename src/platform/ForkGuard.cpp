#include "platform/ForkGuard.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace qorvane::platform {
namespace {

struct Entry {
    int fd;
    pthread_t thread;
};

struct Registry {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    std::vector<Entry> entries;
    // Opened once, so that the child handler needs no open() that could
    // fail (a child may start with a full descriptor table).
    int null = -1;
};

// Never destroyed: a child handler or a late thread exit may still use it.
Registry& TheRegistry()
{
    static Registry* registry = [] {
        auto* r = new Registry;
        r->entries.reserve(16);
        r->null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        ::pthread_atfork(
            [] { ::pthread_mutex_lock(&TheRegistry().mutex); },
            [] { ::pthread_mutex_unlock(&TheRegistry().mutex); },
            [] {
                // Only the forking thread lives on in the child; it holds the
                // mutex (taken in the prepare handler).
                Registry& reg = TheRegistry();
                const int null = reg.null;
                const pthread_t self = ::pthread_self();
                auto keep = reg.entries.begin();
                for (const Entry& e : reg.entries) {
                    if (::pthread_equal(e.thread, self) != 0 && null >= 0) {
                        ::dup3(null, e.fd, O_CLOEXEC);
                        *keep++ = e;  // its owner will close and unregister it
                    } else {
                        ::close(e.fd);
                    }
                }
                reg.entries.erase(keep, reg.entries.end());
                ::pthread_mutex_unlock(&reg.mutex);
            });
        return r;
    }();
    return *registry;
}

class Held {
public:
    explicit Held(Registry& r) : m_r(r) { ::pthread_mutex_lock(&m_r.mutex); }
    ~Held() { ::pthread_mutex_unlock(&m_r.mutex); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

private:
    Registry& m_r;
};

}  // namespace

int OpenRegistered(const std::function<int()>& open)
{
    Registry& reg = TheRegistry();
    const Held held(reg);
    const int fd = open();
    if (fd >= 0) {
        try {
            reg.entries.push_back(Entry{fd, ::pthread_self()});
        } catch (...) {
            ::close(fd);
            throw;
        }
    }
    return fd;
}

void Unregister(int fd) noexcept
{
    if (fd < 0) return;
    Registry& reg = TheRegistry();
    const Held held(reg);
    auto it = std::find_if(reg.entries.begin(), reg.entries.end(), [fd](const Entry& e) { return e.fd == fd; });
    if (it != reg.entries.end()) reg.entries.erase(it);
}

int RegisteredCount() noexcept
{
    Registry& reg = TheRegistry();
    const Held held(reg);
    return static_cast<int>(reg.entries.size());
}

}  // namespace qorvane::platform
