// Test entry point: every test process uses a private access counter, so
// tests never disturb real clients on the machine or each other.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include "sync/SharedCounter.h"
#include "testing/Testing.h"

int main(int argc, char** argv)
{
    const pid_t owner = ::getpid();
    qorvane::sync::UseSharedCounterName(qorvane::testing::CounterName());
    ::testing::InitGoogleTest(&argc, argv);
    const int rc = RUN_ALL_TESTS();
    if (::getpid() == owner) qorvane::sync::RemoveSharedCounter();
    return rc;
}
