// Searches and trims under a double-byte locale: a trail byte equal to an
// ASCII delimiter must never be taken for it.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <string>

#include "format/CharScan.h"
#include "format/Grammar.h"
#include "qorvane/Qorvane.h"

// CI generates the locale, so there a missing one is a failure; elsewhere
// the test is skipped with the command that makes it.
#define REQUIRE_GBK(scope)                                                              \
    do {                                                                                \
        if (!(scope).Ok()) {                                                            \
            if (std::getenv("CI") != nullptr) FAIL() << "zh_CN.GBK locale missing";    \
            GTEST_SKIP() << "generate it: localedef -f GBK -i zh_CN zh_CN.GBK";         \
        }                                                                               \
    } while (0)

namespace {

using qorvane::format::CharScan;

// Switches LC_CTYPE for one test and restores it.
class LocaleScope {
public:
    explicit LocaleScope(const char* name)
    {
        m_old = std::setlocale(LC_CTYPE, nullptr);
        m_ok = std::setlocale(LC_CTYPE, name) != nullptr;
    }
    ~LocaleScope() { std::setlocale(LC_CTYPE, m_old.c_str()); }
    bool Ok() const { return m_ok; }

private:
    std::string m_old;
    bool m_ok;
};

// GBK trail bytes run from 0x40, so '[' (0x5B) and ']' (0x5D) can be the
// second byte of a character, while '=' and ';' cannot.
const std::string kTrailOpen = "\x81[";
const std::string kTrailClose = "\x81]";

TEST(CharScan, FastPathInSingleByteAndUtf8Locales)
{
    {
        LocaleScope c("C");
        EXPECT_TRUE(CharScan::FromLocale().IsFast());
    }
    LocaleScope utf8("C.UTF-8");
    if (utf8.Ok()) {
        EXPECT_TRUE(CharScan::FromLocale().IsFast());
    }
}

TEST(CharScan, GbkTrailBytesAreNotDelimiters)
{
    LocaleScope gbk("zh_CN.GBK");
    REQUIRE_GBK(gbk);
    const CharScan scan = CharScan::FromLocale();
    ASSERT_FALSE(scan.IsFast());

    EXPECT_EQ(scan.Find(kTrailOpen + "[", '['), 2u);
    EXPECT_EQ(scan.Find(kTrailOpen, '['), std::string_view::npos);
    EXPECT_EQ(scan.FindLast("]" + kTrailClose, ']'), 0u);
    // In the C locale the same bytes are found where they stand.
    EXPECT_EQ(CharScan::Bytes().Find(kTrailOpen, '['), 1u);
}

TEST(CharScan, GbkKeyAndItemParsing)
{
    LocaleScope gbk("zh_CN.GBK");
    REQUIRE_GBK(gbk);
    const CharScan scan = CharScan::FromLocale();
    using qorvane::format::KeyMatch;

    // "[" + GBK char ending in ']' + "]": the key is the GBK character.
    std::string_view key;
    const std::string header = "[" + kTrailClose + "]";
    ASSERT_EQ(qorvane::format::ParseKey(scan, header, key), KeyMatch::Key);
    EXPECT_EQ(key, kTrailClose);

    // A line whose only ']' is a trail byte is not a header under GBK.
    const std::string fake = "[" + kTrailClose;
    EXPECT_EQ(qorvane::format::ParseKey(scan, fake, key), KeyMatch::NoKey);
    // ...but is one byte-wise, with the lead byte as its key.
    ASSERT_EQ(qorvane::format::ParseKey(CharScan::Bytes(), fake, key), KeyMatch::Key);
    EXPECT_EQ(key, "\x81");
}

TEST(CharScan, GbkTrimKeepsWholeCharacters)
{
    LocaleScope gbk("zh_CN.GBK");
    REQUIRE_GBK(gbk);
    const CharScan scan = CharScan::FromLocale();
    const std::string text = "  \xb0\xa1 \xb0\xa1  ";
    EXPECT_EQ(scan.Trim(text), "\xb0\xa1 \xb0\xa1");
    // An invalid lead byte at the end counts as one character and is kept.
    EXPECT_EQ(scan.Trim(" a\x81 "), "a\x81");
}

TEST(CharScan, GbkThroughTheObject)
{
    LocaleScope gbk("zh_CN.GBK");
    REQUIRE_GBK(gbk);
    // The catalogue and SetInfPath trim in the process's character set too.
    CQorvane store(("  /tmp/" + kTrailClose + "  ").c_str());
    EXPECT_STREQ(store.GetInfPath(), ("/tmp/" + kTrailClose + "/").c_str());
    EXPECT_EQ(CQorvane::Keys_Name2ID(" PrinterSet "), KEYID_PRINTERSET);
}

}  // namespace
