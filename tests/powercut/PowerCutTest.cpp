// Power cuts: an operation runs on the power-cut file system; then, for
// every prefix of the requests the kernel sent (a cut after each one in
// turn) and every crash state a persistence model allows for it, the disk
// is rebuilt as a reboot would find it and checked:
//   - the settings file exists if it existed before the operation;
//   - its bytes are exactly the content before a step or after it, never
//     empty, partial or mixed; after a step that was acknowledged (returned
//     success before the cut), exactly its new content;
//   - a fresh process can open, change and close it at once, and that close
//     leaves no temporary file behind.
// A cut after request k leaves what the first k requests left, whatever the
// process did next, so the operation runs once and each cut is a prefix of
// its log. The mutations leave out one fsync of the replace and must be
// caught under both models.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "DurabilityLog.h"
#include "PowerCutFs.h"
#include "reliability/Reliability.h"
#include "platform/Seam.h"
#include "qorvane/Qorvane.h"
#include "testing/Testing.h"

namespace {

using namespace qorvane::testing;
using namespace qorvane::powercut;
using qorvane::reliability::kSample;
namespace seam = qorvane::seam;

constexpr const char* kSettingsName = "QorRunningSet.Inf";
constexpr const char* kTempPrefix = ".QorRunningSet.Inf.qvtmp-";

// --- Operations: each step runs in a process of its own on the settings
// directory and says whether it reported success.

using Step = bool (*)(const std::string& dir);

bool InChild(const std::function<int()>& body) { return ExitCodeOf(RunInChild(body)) == 0; }

bool CloseKeyStep(const std::string& dir)
{
    return InChild([&] { return qorvane::reliability::OpenChangeClose(dir, 0) == 1 ? 0 : 1; });
}

bool SecondWriterStep(const std::string& dir)
{
    return InChild([&] {
        CQorvane store(dir.c_str());
        char value[] = "Ctrl+V";
        if (store.OpenKey("HotKeySet") != 1 || store.SetItem(KEYID_HOTKEYSET, "Paste", value) != 2) return 1;
        return store.CloseKey(0) == 1 ? 0 : 2;
    });
}

bool OpenMissingStep(const std::string& dir)
{
    return InChild([&] {
        CQorvane store(dir.c_str());
        return store.OpenKey("PrinterSet") == 0 ? 0 : 1;  // opened, no such section yet
    });
}

bool Tool(const std::string& dir, std::vector<std::string> args)
{
    args.insert(args.begin(), {QORVANE_TOOL_UNDER_TEST, "--counter-name=" + CounterName(), "-d", dir});
    std::string output;
    if (ExitCodeOf(RunProgram(args, &output)) == 0) return true;
    std::fprintf(stderr, "%s %s: %s", args[4].c_str(), dir.c_str(), output.c_str());
    return false;
}

bool ToolSetStep(const std::string& dir) { return Tool(dir, {"set", "PrinterSet", "Port", "LPT7"}); }
bool ToolUnsetStep(const std::string& dir) { return Tool(dir, {"unset", "PrinterSet", "Speed"}); }

bool ToolEditStep(const std::string& dir)
{
    static const TempDir scripts;
    const std::string editor = scripts.File("editor.sh");
    WriteFile(editor, "#!/bin/sh\nsed -i 's/^Port = LPT1;/Port = LPT3;/' \"$1\"\n");
    ::chmod(editor.c_str(), 0755);
    ::setenv("EDITOR", editor.c_str(), 1);
    ::unsetenv("VISUAL");
    return Tool(dir, {"edit"});
}

enum class Start { Sample, Large, Clean, NoFile };

// A file's bytes, or none for no file.
using Content = std::optional<std::string>;

struct Operation {
    const char* name;
    Start start;
    std::vector<Step> steps;
    bool replaces;  // its log must hold a rename, or the run proved nothing
};

// The checked close joins this table as one more row once it exists: a step
// that opens, changes and closes with it.
const std::vector<Operation> kOperations = {
    {"CloseKey", Start::Sample, {CloseKeyStep}, true},
    {"CloseKey_64KiB", Start::Large, {CloseKeyStep}, true},
    {"OpenKey_missing_file", Start::NoFile, {OpenMissingStep}, false},
    {"tool_set", Start::Sample, {ToolSetStep}, true},
    {"tool_unset", Start::Sample, {ToolUnsetStep}, true},
    {"tool_edit", Start::Clean, {ToolEditStep}, true},  // no findings: edit writes it
    {"two_writers", Start::Sample, {CloseKeyStep, SecondWriterStep}, true},
};

Content StartContent(Start start)
{
    if (start == Start::NoFile) return std::nullopt;
    if (start == Start::Large) return qorvane::reliability::LargeSample(64u << 10);
    if (start == Start::Clean) {
        return std::string("[PrinterSet]\r\nPort = LPT1;\r\n\r\n[HotKeySet]\r\nCopy = Ctrl+C;\r\n");
    }
    return std::string(kSample);
}

Content ReadIfThere(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return ReadFile(path);
}

// The settings file before the operation and after each step, from the same
// steps on a plain directory.
std::vector<Content> Contents(const Operation& op)
{
    TempDir scratch;
    std::vector<Content> contents{StartContent(op.start)};
    if (contents[0]) WriteFile(scratch.Settings(), *contents[0]);
    for (const Step step : op.steps) {
        EXPECT_TRUE(step(scratch.Path())) << op.name << " fails without power cuts";
        contents.push_back(ReadIfThere(scratch.Settings()));
    }
    return contents;
}

// --- The cut, the reboot and the check.

enum class Path { Unnamed, Named };

struct Outcome {
    std::string replacePath;  // what the log shows the replace used
    bool renamed = false;
    std::size_t cuts = 0;
    std::size_t states[2] = {0, 0};
    std::size_t violations[2] = {0, 0};
    bool sampled = false;
    std::vector<std::string> firstViolations;
};

// The backing directory as the disk shows it after the reboot.
void Rebuild(const std::string& backing, const DiskState& state)
{
    if (DIR* dir = ::opendir(backing.c_str())) {
        while (const dirent* d = ::readdir(dir)) {
            if (std::strcmp(d->d_name, ".") == 0 || std::strcmp(d->d_name, "..") == 0) continue;
            ::unlinkat(::dirfd(dir), d->d_name, 0);
        }
        ::closedir(dir);
    }
    for (const auto& [name, bytes] : state) WriteFile(backing + "/" + name, bytes);
}

// What a fresh process finds after the reboot: it opens, changes and closes
// at the first attempt, and no temporary file is left after that close.
std::string RecoverFresh(const std::string& backing)
{
    const bool closed = InChild([&] {
        CQorvane store(backing.c_str());
        char value[] = "after-cut";
        if (store.OpenKey("HotKeySet") < 0) return 1;
        store.SetItem(KEYID_HOTKEYSET, "Recovered", value);
        return store.CloseKey(0) == 1 ? 0 : 2;
    });
    if (!closed) return "a fresh process could not open, change and close";
    std::string rest;
    if (DIR* dir = ::opendir(backing.c_str())) {
        while (const dirent* d = ::readdir(dir)) {
            if (std::strcmp(d->d_name, ".") == 0 || std::strcmp(d->d_name, "..") == 0) continue;
            rest += std::string(d->d_name) + "\n";
        }
        ::closedir(dir);
    }
    return rest == std::string(kSettingsName) + "\n" ? "" : "left after the next close: " + rest;
}

// Runs `steps` on the power-cut file system, cuts, and checks every crash
// state of every cut under both models against `contents`.
Outcome RunUnderPowerCuts(const Operation& op, const std::vector<Step>& steps,
                          const std::vector<Content>& contents, Path path)
{
    Outcome out;
    IsolateMounts();
    TempDir work;
    const std::string backing = work.File("disk");
    const std::string mnt = work.File("mnt");
    const std::string logPath = work.File("log");
    ::mkdir(backing.c_str(), 0755);
    ::mkdir(mnt.c_str(), 0755);
    if (contents[0]) WriteFile(backing + "/" + kSettingsName, *contents[0]);
    {
        PowerCutMount mount(backing, mnt, logPath, path == Path::Unnamed);
        if (!mount.Ok()) {
            ADD_FAILURE() << mount.Error();
            return out;
        }
        for (const Step step : steps) {
            const bool acknowledged = step(mnt);
            EXPECT_TRUE(acknowledged) << op.name << ": a step failed on the power-cut file system";
            if (acknowledged) mount.Mark();
        }
        mount.Cut();
    }

    const std::vector<Record> log = ReadLog(logPath);
    bool tmpfile = false;
    std::size_t first = 0;  // records before it were on the disk at mount time
    for (const Record& r : log) {
        tmpfile = tmpfile || r.kind == Kind::Tmpfile;
        out.renamed = out.renamed || r.kind == Kind::Rename;
        if (r.kind == Kind::Initial) ++first;
    }
    out.replacePath = !out.renamed ? "no replace" : tmpfile ? "unnamed (O_TMPFILE + linkat)" : "named temporary file";
    out.cuts = log.size() - first + 1;

    // A file that did not exist before reads as an empty one: OpenKey makes
    // it again, and it holds nothing to lose.
    const auto Normal = [&](Content c) { return !contents[0] && c && c->empty() ? Content() : c; };
    std::vector<Content> expected;
    for (const Content& c : contents) expected.push_back(Normal(c));
    std::set<std::pair<Content, std::vector<std::string>>> recovered;
    for (const Model model : {Model::Strict, Model::Reordering}) {
        const int m = model == Model::Strict ? 0 : 1;
        std::size_t acked = 0;
        for (std::size_t cut = first; cut <= log.size(); ++cut) {
            if (cut > first && log[cut - 1].kind == Kind::Marker) ++acked;
            auto violation = [&](const std::string& what) {
                ++out.violations[m];
                if (out.firstViolations.size() < 6) {
                    out.firstViolations.push_back(std::string(ModelName(model)) + ", cut after request " +
                                                  std::to_string(cut - first) + ": " + what);
                }
            };
            bool sampled = false;
            out.states[m] += ForEachCrashState(log, cut, model, [&](const DiskState& state) {
                const auto file = state.find(kSettingsName);
                const Content bytes = Normal(file == state.end() ? Content() : Content(file->second));
                const auto is = [&](std::size_t i) { return i < expected.size() && expected[i] == bytes; };
                std::vector<std::string> names;
                for (const auto& entry : state) {
                    if (entry.first != kSettingsName && entry.first.rfind(kTempPrefix, 0) != 0) {
                        violation("stray name " + entry.first);
                        return;
                    }
                    names.push_back(entry.first);
                }
                if (contents[0] && !bytes) return violation("the settings file is gone");
                if (!is(acked) && !(acked + 1 < contents.size() && is(acked + 1))) {
                    return violation(!bytes ? "no settings file"
                                     : bytes->empty()
                                         ? "empty settings file"
                                         : "settings file of " + std::to_string(bytes->size()) + " bytes that is " +
                                               (acked > 0 ? "not the acknowledged content" : "neither old nor new"));
                }
                if (!recovered.emplace(bytes, names).second) return;
                Rebuild(backing, state);
                if (const std::string why = RecoverFresh(backing); !why.empty()) violation(why);
            }, sampled);
            out.sampled = out.sampled || sampled;
        }
    }
    return out;
}

std::string Describe(const Outcome& o)
{
    char line[256];
    std::snprintf(line, sizeof line,
                  "%zu cut points, strict %zu states / %zu violations, reordering %zu states%s / %zu violations; %s",
                  o.cuts, o.states[0], o.violations[0], o.states[1], o.sampled ? " (partly sampled)" : "",
                  o.violations[1], o.replacePath.c_str());
    return line;
}

std::vector<std::string> g_figures;

// --- The operations.

class PowerCutTest : public ::testing::TestWithParam<std::tuple<std::size_t, Path>> {};

TEST_P(PowerCutTest, NothingAcknowledgedIsLost)
{
    if (const std::string why = FuseUnavailableReason(); !why.empty()) GTEST_SKIP() << why;
    const auto [index, path] = GetParam();
    const Operation& op = kOperations[index];
    const Outcome o = RunUnderPowerCuts(op, op.steps, Contents(op), path);
    EXPECT_EQ(o.renamed, op.replaces) << "the log does not show the operation's replace";
    if (op.replaces) {
        EXPECT_EQ(o.replacePath, path == Path::Unnamed ? "unnamed (O_TMPFILE + linkat)" : "named temporary file");
    }
    EXPECT_EQ(o.violations[0] + o.violations[1], 0u);
    for (const std::string& v : o.firstViolations) ADD_FAILURE() << v;
    g_figures.push_back(std::string("power cut: ") + op.name + ": " + Describe(o));
}

std::string CaseName(const ::testing::TestParamInfo<PowerCutTest::ParamType>& info)
{
    const auto [index, path] = info.param;
    return std::string(kOperations[index].name) + (path == Path::Unnamed ? "_unnamed" : "_named");
}

INSTANTIATE_TEST_SUITE_P(EveryOperation, PowerCutTest,
                         ::testing::Combine(::testing::Range<std::size_t>(0, kOperations.size()),
                                            ::testing::Values(Path::Unnamed, Path::Named)),
                         CaseName);

// --- The mutations: CloseKey with the replace's first fsync (the file's)
// or second (the directory's) left out must be caught under both models.

class PowerCutMutationTest : public ::testing::TestWithParam<std::tuple<int, Path>> {};

TEST_P(PowerCutMutationTest, HarnessCatchesAMissingFsync)
{
    if (const std::string why = FuseUnavailableReason(); !why.empty()) GTEST_SKIP() << why;
    static int s_skip = 0;
    s_skip = std::get<0>(GetParam());
    const Step mutated = [](const std::string& dir) {
        return InChild([&] {
            CQorvane store(dir.c_str());
            if (store.OpenKey("PrinterSet") != 1 || qorvane::reliability::ApplyChange(store) != 0) return 1;
            seam::Reset();
            seam::FailNth(seam::Op::Fsync, s_skip, seam::kSkipCall);
            if (store.CloseKey(0) != 1) return 2;
            return seam::Calls(seam::Op::Fsync) == 2 ? 0 : 3;  // the file's, then the directory's
        });
    };
    const Operation& op = kOperations[0];
    const Outcome o = RunUnderPowerCuts(op, {mutated}, Contents(op), std::get<1>(GetParam()));
    EXPECT_GT(o.violations[0], 0u) << "strict model missed it";
    EXPECT_GT(o.violations[1], 0u) << "reordering model missed it";
    g_figures.push_back(std::string("power cut mutation: no ") + (s_skip == 1 ? "file" : "directory") +
                        " fsync: " + Describe(o) +
                        (o.violations[0] > 0 && o.violations[1] > 0 ? ", caught" : ", MISSED"));
}

INSTANTIATE_TEST_SUITE_P(OneFsyncLeftOut, PowerCutMutationTest,
                         ::testing::Combine(::testing::Values(1, 2), ::testing::Values(Path::Unnamed, Path::Named)),
                         [](const ::testing::TestParamInfo<PowerCutMutationTest::ParamType>& info) {
                             return std::string(std::get<0>(info.param) == 1 ? "file_fsync" : "directory_fsync") +
                                    (std::get<1>(info.param) == Path::Unnamed ? "_unnamed" : "_named");
                         });

// Prints the figures of this run for the reliability report.
class FiguresReport : public ::testing::Environment {
public:
    void TearDown() override
    {
        for (const std::string& line : g_figures) std::printf("%s\n", line.c_str());
    }
};
const auto* const kReport = ::testing::AddGlobalTestEnvironment(new FiguresReport);

}  // namespace
