// The run-time class and the load hook, against the real shared library.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "qorvane/Qorvane.h"

namespace {

TEST(RuntimeClass, DescribesCQorvane)
{
    const CRuntimeClass& cls = CQorvane::classCQorvane;
    EXPECT_STREQ(cls.m_lpszClassName, "CQorvane");
    EXPECT_EQ(cls.m_nObjectSize, static_cast<int>(sizeof(CQorvane)));
    EXPECT_EQ(cls.m_wSchema, 0xFFFFu);
    EXPECT_EQ(cls.m_pNextClass, nullptr);
    ASSERT_NE(cls.m_pfnGetBaseClass, nullptr);
    EXPECT_EQ(cls.m_pfnGetBaseClass(), &CObject::classCObject);
    EXPECT_TRUE(cls.IsDerivedFrom(&CObject::classCObject));
    EXPECT_FALSE(CObject::classCObject.IsDerivedFrom(&cls));
}

TEST(RuntimeClass, CreatesAnObjectInTheNoKeyState)
{
    std::unique_ptr<CObject> object(CQorvane::classCQorvane.CreateObject());
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(object->GetRuntimeClass(), &CQorvane::classCQorvane);
    EXPECT_TRUE(object->IsKindOf(&CObject::classCObject));
    auto* store = dynamic_cast<CQorvane*>(object.get());
    ASSERT_NE(store, nullptr);
    EXPECT_STREQ(store->GetInfPath(), "");
    EXPECT_STREQ(store->GetKeyName(), "");
    EXPECT_EQ(store->GetKeyID(), 0u);
}

TEST(Module, IsRegisteredWhileLoaded)
{
    EXPECT_TRUE(qorvane::IsModuleRegistered());
    EXPECT_EQ(qorvane::FindClass("CQorvane"), &CQorvane::classCQorvane);
    EXPECT_EQ(qorvane::FindClass("CObject"), nullptr);
    EXPECT_EQ(qorvane::FindClass(nullptr), nullptr);
}

// Runs `body` in a child whose stderr goes to a pipe; returns what it wrote.
template <class Body>
std::string StderrOfChild(Body body)
{
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], 2);
        ::close(fds[0]);
        ::close(fds[1]);
        ::_exit(body());
    }
    ::close(fds[1]);
    std::string out;
    char buf[256];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    return out;
}

// A fresh process that is not linked to the library loads and unloads it.
TEST(Module, LoadAndUnloadWriteTheTwoTraceLines)
{
    const std::string cmd = std::string("'") + QORVANE_MODULE_PROBE + "' '" + QORVANE_LIBRARY_FILE + "' 2>&1";
    FILE* pipe = ::popen(cmd.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string trace;
    char buf[256];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) trace.append(buf, n);
    EXPECT_EQ(::pclose(pipe), 0) << trace;
#ifdef NDEBUG
    EXPECT_EQ(trace, "--loaded--\n");
#else
    EXPECT_EQ(trace, "QORVANE.DLL Initializing!\n--loaded--\nQORVANE.DLL Terminating!\n");
#endif
}

TEST(Module, HostCanReplaceTheTraceSink)
{
    const std::string trace = StderrOfChild([] {
        qorvane::SetTraceSink([](const char* message) {
            const std::string line = std::string("host:") + message;
            [[maybe_unused]] const ssize_t n = ::write(2, line.data(), line.size());
        });
        std::exit(0);  // a normal exit unloads the library
        return 0;
    });
#ifdef NDEBUG
    EXPECT_EQ(trace, "");
#else
    EXPECT_EQ(trace, "host:QORVANE.DLL Terminating!\n");
#endif
}

}  // namespace
