// qorvane edit [--force]: edit the settings file by hand while applications
// run. The person edits a copy; when the editor exits with 0 the copy is
// checked like `check` does, and then
//   - if the file did not change meanwhile, the copy replaces it whole,
//     under the writer protocol (store/WholeFile.h);
//   - if it did, the person's changes to items of the known keys are merged
//     into the file as it stands now, exactly as CloseKey merges; an edit
//     that changed more than that is not written, and the copy is kept;
//   - unless another process changed an item that the person changed too,
//     to another value (a collision): then nothing is written, each such
//     item is named with its three values, and the person is asked (edit
//     again on the new file with their changes carried over, write theirs
//     anyway, quit); without a terminal the copy is kept and the exit code
//     is the conflict code.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <CLI/CLI.hpp>
#include <qorvane/Qorvane.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <vector>

#include "Command.h"
#include "Expect.h"
#include "FileFormat.h"
#include "Messages.h"
#include "Results.h"
#include "SettingsText.h"
#include "format/CharScan.h"
#include "store/KeyText.h"
#include "store/WholeFile.h"

extern char** environ;

namespace qorvane::tool {

namespace {

struct EditArgs {
    bool force = false;
};

// The copy the person edits: a private file in $TMPDIR (or /tmp), removed
// when done unless Keep() was called, so that no edit is ever lost.
class EditCopy {
public:
    EditCopy() = default;
    ~EditCopy()
    {
        if (!m_path.empty() && !m_keep) ::unlink(m_path.c_str());
    }
    EditCopy(const EditCopy&) = delete;
    EditCopy& operator=(const EditCopy&) = delete;

    // Creates the copy holding `content`; an error line, or empty.
    std::string Create(std::string_view content)
    {
        const char* tmp = std::getenv("TMPDIR");
        std::string path = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/qorvane-edit-XXXXXX.Inf";
        const Fd fd(::mkstemps(path.data(), 4));
        if (!fd) return "cannot create a copy to edit in " + Quote(path.substr(0, path.rfind('/'))) + ": " + ErrnoText(errno);
        m_path = path;
        return WriteAll(fd.Get(), content);
    }
    // Replaces what the copy holds; an error line, or empty.
    std::string Rewrite(std::string_view content)
    {
        const Fd fd(::open(m_path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
        if (!fd) return "cannot write the copy " + Quote(m_path) + ": " + ErrnoText(errno);
        return WriteAll(fd.Get(), content);
    }
    const std::string& Path() const noexcept { return m_path; }
    void Keep() noexcept { m_keep = true; }

private:
    std::string WriteAll(int fd, std::string_view content) const
    {
        std::string_view rest = content;
        while (!rest.empty()) {
            const ssize_t n = ::write(fd, rest.data(), rest.size());
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return "cannot write the copy " + Quote(m_path) + ": " + ErrnoText(errno);
            rest.remove_prefix(static_cast<std::size_t>(n));
        }
        return {};
    }

    std::string m_path;
    bool m_keep = false;
};

// While the editor runs, Ctrl-C and Ctrl-\ are the editor's: the tool
// ignores them, so that it is there to clean up or keep the copy afterwards.
class IgnoreTerminalSignals {
public:
    IgnoreTerminalSignals()
    {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        ::sigaction(SIGINT, &ignore, &m_int);
        ::sigaction(SIGQUIT, &ignore, &m_quit);
    }
    ~IgnoreTerminalSignals()
    {
        ::sigaction(SIGINT, &m_int, nullptr);
        ::sigaction(SIGQUIT, &m_quit, nullptr);
    }
    IgnoreTerminalSignals(const IgnoreTerminalSignals&) = delete;
    IgnoreTerminalSignals& operator=(const IgnoreTerminalSignals&) = delete;

private:
    struct sigaction m_int {};
    struct sigaction m_quit {};
};

// Runs $VISUAL, else $EDITOR, else vi on the file through the shell (so
// that EDITOR="code --wait" works) and waits for it. Returns its exit code,
// 128 + the signal that ended it, or -1 with `error` set.
int RunEditor(const std::string& file, std::string& error)
{
    const char* editor = std::getenv("VISUAL");
    if (editor == nullptr || *editor == '\0') editor = std::getenv("EDITOR");
    if (editor == nullptr || *editor == '\0') editor = "vi";
    const std::string script = std::string(editor) + " \"$@\"";
    std::vector<std::string> args = {"/bin/sh", "-c", script, "qorvane-editor", file};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    // The editor gets the default dispositions back.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGQUIT);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    const IgnoreTerminalSignals ignore;
    pid_t pid = -1;
    const int err = ::posix_spawn(&pid, argv[0], nullptr, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    if (err != 0) {
        error = "cannot start the editor " + Quote(editor) + ": " + ErrnoText(err);
        return -1;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            error = "cannot wait for the editor: " + ErrnoText(errno);
            return -1;
        }
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

// Asks on the terminal; 'e' (edit again), 'w' (write anyway) or 'q'.
char Ask()
{
    for (;;) {
        std::fputs("qorvane: (e)dit again, (w)rite anyway or (q)uit? ", stderr);
        std::fflush(stderr);
        std::string answer;
        char c = 0;
        ssize_t n = 0;
        while ((n = ::read(STDIN_FILENO, &c, 1)) == 1 && c != '\n') answer += c;
        if (n <= 0 && answer.empty()) return 'q';
        if (answer == "e" || answer == "w" || answer == "q") return answer[0];
    }
}

// Applies the person's item changes to the file as it stands now, one
// OpenKey / CloseKey per key.
// A failure after an earlier key was written says so: the file then holds
// part of the person's changes.
std::optional<Outcome> MergeChanges(const CommonOptions& common, const std::vector<KeyChanges>& plan)
{
    std::string written;
    const auto failed = [&](Outcome out) {
        if (!written.empty()) out.error += "; the changes to " + written + " were written already";
        return std::optional<Outcome>(std::move(out));
    };
    for (const KeyChanges& changes : plan) {
        CString key;
        CQorvane::Keys_ID2Name(kKeyIDs[changes.keyIndex], key);
        CQorvane store(LibraryDir(common.dir).c_str());
        if (std::optional<Outcome> bad = OpenChecked(common, key.str(), store)) return failed(*bad);
        for (const auto& [name, value] : changes.sets) {
            std::string v = value;  // SetItem takes a mutable buffer
            const int rc = store.SetItem(key.c_str(), name.c_str(), v.data());
            const Step step = Interpret(Call::SetItem, rc, Context{common, key.str(), name});
            if (step.kind != Step::kDone) return failed(step.outcome);
        }
        for (const std::string& name : changes.removes) store.RemoveItem(key.c_str(), name.c_str());
        const Step step = Waited(Context{common, key.str(), {}}, Call::CloseKey,
                                 [&](int waitMs) { return store.CloseKeyWait(0, waitMs); });
        if (step.kind != Step::kDone) return failed(step.outcome);
        written += (written.empty() ? "key " : ", key ") + Quote(key.str());
    }
    return std::nullopt;
}

std::string KeyNameOf(const KeyChanges& changes)
{
    CString key;
    CQorvane::Keys_ID2Name(kKeyIDs[changes.keyIndex], key);
    return key.str();
}

// An item that the person changed and another process changed too, to
// another value, while the editor ran.
struct Collision {
    std::string key;
    std::string name;
    std::optional<std::string> before;
    std::optional<std::string> theirs;
    std::optional<std::string> yours;
};

std::string Shown(const std::optional<std::string>& value)
{
    return value ? Quote(*value) : std::string("(none)");
}

std::string CollisionLine(const Collision& c)
{
    return "item " + Quote(c.name) + " in key " + Quote(c.key) + " changed meanwhile: before " + Shown(c.before) +
           ", theirs " + Shown(c.theirs) + ", yours " + Shown(c.yours) + "\n";
}

// What the file's readers see as the first item `name` of the key in `text`.
std::optional<std::string> FirstItem(const SettingsText& text, int keyIndex, const std::string& name)
{
    for (const TextLine& line : text.lines) {
        if (IsItemOf(line, keyIndex) && line.number != text.headerLine[keyIndex] && line.name == name) {
            return line.value;
        }
    }
    return std::nullopt;
}

// The person's changes of one key that collide with the key as `store`
// read it.
void FindCollisions(const SettingsText& before, const KeyChanges& changes, const CQorvane& store,
                    std::vector<Collision>& out)
{
    const std::string key = KeyNameOf(changes);
    auto check = [&](const std::string& name, const std::optional<std::string>& yours) {
        Collision c{key, name, FirstItem(before, changes.keyIndex, name), CurrentValue(store, name), yours};
        if (c.theirs != c.before && c.theirs != c.yours) out.push_back(std::move(c));
    };
    for (const auto& [name, value] : changes.sets) check(name, value);
    for (const std::string& name : changes.removes) check(name, std::nullopt);
}

void Apply(const KeyChanges& changes, CQorvane& store)
{
    const std::string key = KeyNameOf(changes);
    for (const auto& [name, value] : changes.sets) {
        std::string v = value;  // SetItem takes a mutable buffer; the plan holds only storable values
        store.SetItem(key.c_str(), name.c_str(), v.data());
    }
    for (const std::string& name : changes.removes) store.RemoveItem(key.c_str(), name.c_str());
}

// Merges the person's changes into the file unless one collides: every key
// is opened and compared with `original` before any is written, and each
// close is checked, so a change that comes between the open and the
// close is found too (then that key is read again and compared again).
// Returns the collisions (nothing written unless a later key's check
// found them after an earlier key was written: `written` names those), or
// a failure.
std::optional<Outcome> MergeUnlessCollision(const CommonOptions& common, std::string_view original,
                                            const std::vector<KeyChanges>& plan, std::vector<Collision>& collisions,
                                            std::string& written)
{
    const SettingsText before = ReadSettingsText(original);
    std::vector<std::unique_ptr<CQorvane>> stores;
    for (const KeyChanges& changes : plan) {
        stores.push_back(std::make_unique<CQorvane>(LibraryDir(common.dir).c_str()));
        if (std::optional<Outcome> bad = OpenChecked(common, KeyNameOf(changes), *stores.back())) return bad;
        FindCollisions(before, changes, *stores.back(), collisions);
    }
    if (!collisions.empty()) return std::nullopt;
    for (std::size_t k = 0; k < plan.size(); ++k) {
        const std::string key = KeyNameOf(plan[k]);
        CQorvane& store = *stores[k];
        for (int tries = 0;; ++tries) {
            Apply(plan[k], store);
            const Step step = Waited(Context{common, key, {}}, Call::CloseKey,
                                     [&](int waitMs) { return store.CloseKeyCheckedWait(1, waitMs); });
            if (step.kind == Step::kDone) break;
            if (step.outcome.exit != kExitConflict || tries == 10) return step.outcome;
            if (std::optional<Outcome> bad = OpenChecked(common, key, store)) return bad;
            FindCollisions(before, plan[k], store, collisions);
            if (!collisions.empty()) return std::nullopt;
        }
        written += (written.empty() ? "key " : ", key ") + Quote(key);
    }
    return std::nullopt;
}

// The file as it stands now with the person's changes merged in, as the
// library would write it.
std::string CarriedOver(std::string current, const std::vector<KeyChanges>& plan)
{
    const format::CharScan scan = format::CharScan::FromLocale();
    for (const KeyChanges& changes : plan) {
        std::vector<KeyItem> items;
        for (const auto& [name, value] : changes.sets) items.push_back(KeyItem{name, value});
        std::vector<CString> removes(changes.removes.begin(), changes.removes.end());
        const std::vector<std::uint16_t> states(items.size(), 1);
        current = store::MergeKey(scan, current, KeyNameOf(changes), items, states, removes).Flatten();
    }
    return current;
}

// Runs the editor on the copy until the person leaves it with a text to
// write (in `edited`; nothing returned), or the command ends (its outcome).
std::optional<Outcome> EditUntilAccepted(const EditArgs& args, EditCopy& copy, const std::string& original,
                                         std::string& edited, const std::string& kept)
{
    for (;;) {
        std::string error;
        const int status = RunEditor(copy.Path(), error);
        if (status < 0) return Failure(kExitFileError, error);
        if (status != 0) {
            return Failure(kExitNotFound, "the editor exited with status " + std::to_string(status) +
                                              "; nothing written");
        }
        edited.clear();
        {
            const Fd fd(::open(copy.Path().c_str(), O_RDONLY | O_CLOEXEC));
            if (!fd) return Failure(kExitFileError, "cannot read the edited copy " + Quote(copy.Path()));
            char buffer[65536];
            ssize_t n = 0;
            while ((n = ::read(fd.Get(), buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)) {
                if (n > 0) edited.append(buffer, static_cast<std::size_t>(n));
            }
            if (n < 0) return Failure(kExitFileError, "cannot read the edited copy " + Quote(copy.Path()));
        }
        if (edited == original) {
            Outcome out;
            out.note = "no changes; nothing written";
            return out;
        }
        const std::vector<Finding> findings = CheckSettingsText(edited);
        if (findings.empty()) return std::nullopt;
        const std::string text = FormatFindings(copy.Path(), findings, false);
        std::fputs(text.c_str(), stderr);
        if (args.force) return std::nullopt;
        if (!::isatty(STDIN_FILENO) || !::isatty(STDERR_FILENO)) {
            copy.Keep();
            return Failure(kExitNotFound, "the edited text has findings (see above); nothing written (--force "
                                          "writes anyway)" + kept);
        }
        const char answer = Ask();
        if (answer == 'w') return std::nullopt;
        if (answer == 'q') {
            copy.Keep();
            return Failure(kExitNotFound, "nothing written" + kept);
        }
    }
}

Outcome RunEdit(const CommonOptions& common, const EditArgs& args)
{
    const std::string path = SettingsPath(common.dir);
    std::string original;
    if (std::optional<Outcome> bad = ReadSettingsFile(common.dir, original)) return *bad;
    EditCopy copy;
    if (std::string error = copy.Create(original); !error.empty()) return Failure(kExitFileError, error);
    const std::string kept = "; your text is kept in " + Quote(copy.Path());

    std::string edited;
    for (;;) {  // until written or given up; again after "edit again"
        if (std::optional<Outcome> done = EditUntilAccepted(args, copy, original, edited, kept)) return *done;

        std::string current;
        const int rc = store::ReplaceWholeFileWait(path, original, edited, current, WaitMs(common));
        if (rc == 1) return Outcome{};
        if (rc != 0) {
            copy.Keep();
            Step step = Interpret(Call::CloseKey, rc, Context{common, "", {}});
            if (rc == -3) step.outcome = Failure(kExitFileError, "writing settings file " + Quote(path) + " failed");
            step.outcome.error += kept;
            return step.outcome;
        }
        // The file changed while the person edited it.
        std::vector<KeyChanges> plan;
        if (!PlanItemChanges(original, edited, plan)) {
            copy.Keep();
            return Failure(kExitBusy, "settings file " + Quote(path) +
                                          " changed while you edited it, and your edit changes more than items of "
                                          "the known keys; nothing written" + kept);
        }
        std::vector<Collision> collisions;
        std::string written;
        if (std::optional<Outcome> bad = MergeUnlessCollision(common, original, plan, collisions, written)) {
            copy.Keep();
            if (!written.empty()) bad->error += "; the changes to " + written + " were written already";
            bad->error += kept;
            return *bad;
        }
        if (collisions.empty()) {
            Outcome out;
            out.note =
                "settings file " + Quote(path) + " changed while you edited it; your item changes were merged into it";
            return out;
        }
        for (const Collision& c : collisions) std::fputs(("qorvane: " + CollisionLine(c)).c_str(), stderr);
        const std::string what = "settings file " + Quote(path) + " changed while you edited it, and another process "
                                 "changed " + (collisions.size() == 1 ? "an item" : "items") + " that you changed too";
        const std::string already = written.empty() ? "" : "; the changes to " + written + " were written already";
        if (!::isatty(STDIN_FILENO) || !::isatty(STDERR_FILENO)) {
            copy.Keep();
            return Failure(kExitConflict, what + "; nothing written" + already + kept);
        }
        std::fputs(("qorvane: " + what + "; edit again on the new file with your changes, write yours anyway, "
                    "or quit\n").c_str(), stderr);
        const char answer = Ask();
        if (answer == 'q') {
            copy.Keep();
            return Failure(kExitConflict, "nothing written" + already + kept);
        }
        if (answer == 'w') {
            if (std::optional<Outcome> bad = MergeChanges(common, plan)) {
                copy.Keep();
                bad->error += kept;
                return *bad;
            }
            return Outcome{};
        }
        // Edit again: the copy becomes the file as it is now with the person's
        // changes carried over, and is compared with that from now on.
        if (std::optional<Outcome> bad = ReadSettingsFile(common.dir, original)) {
            copy.Keep();
            bad->error += kept;
            return *bad;
        }
        if (std::string error = copy.Rewrite(CarriedOver(original, plan)); !error.empty()) {
            copy.Keep();
            return Failure(kExitFileError, error + kept);
        }
    }
}

}  // namespace

Command AddEditCommand(CLI::App& parent, const CommonOptions& common)
{
    auto args = std::make_shared<EditArgs>();
    CLI::App* app = parent.add_subcommand("edit", "Edit the settings file in $VISUAL, $EDITOR or vi");
    app->add_flag("--force", args->force, "Write even if the edited text has findings (without a terminal)");
    return Command{app, [&common, args] { return RunEdit(common, *args); }};
}

}  // namespace qorvane::tool
