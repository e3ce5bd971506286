// Loads and unloads the library given on the command line, marking the
// moment in between on stderr, so that a test sees the load hook's trace
// lines around it.
#include <dlfcn.h>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 2) return 2;
    void* handle = ::dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        std::fprintf(stderr, "dlopen: %s\n", ::dlerror());
        return 3;
    }
    std::fputs("--loaded--\n", stderr);
    return ::dlclose(handle) == 0 ? 0 : 4;
}
