#include "Expect.h"

#include <CLI/CLI.hpp>
#include <qorvane/Qorvane.h>

#include "Messages.h"

namespace qorvane::tool {

void AddExpectOptions(CLI::App& app, ExpectOptions& options, bool withAbsent)
{
    options.expect = app.add_option("--expect", options.values,
                                    withAbsent ? "Write only if the item has this value (one per ITEM VALUE pair)"
                                               : "Remove only if the item has this value (one per ITEM)")
                         ->type_name("OLD")
                         ->allow_extra_args(false);
    if (withAbsent) {
        options.absent = app.add_flag("--expect-absent", "Write only if the item does not exist yet (in place of "
                                                         "an --expect of its pair)");
    }
}

std::vector<Expected> ExpectationsInOrder(const CLI::App& app, const ExpectOptions& options)
{
    std::vector<Expected> out;
    std::size_t nextValue = 0;
    for (const CLI::Option* opt : app.parse_order()) {
        if (opt == options.expect && nextValue < options.values.size()) {
            out.push_back(Expected{false, options.values[nextValue++]});
        } else if (opt != nullptr && opt == options.absent) {
            out.push_back(Expected{true, {}});
        }
    }
    return out;
}

std::optional<std::string> CurrentValue(const CQorvane& store, const std::string& name)
{
    CString itemName;
    CString value;
    for (int i = 0; store.GetItemAt(i, itemName, value) == 1; ++i) {
        if (itemName == name.c_str()) return value.str();
    }
    return std::nullopt;
}

std::string Mismatch(const std::string& key, const std::string& name, const std::optional<std::string>& now,
                     const Expected& expected)
{
    std::string text = "item " + Quote(name) + " in key " + Quote(key) +
                        (now ? " has the value " + Quote(*now) : std::string(" does not exist"));
    return text + (expected.absent ? " (expected none)" : " (expected " + Quote(expected.value) + ")");
}

std::optional<Outcome> CheckExpectations(const CQorvane* store, const std::string& key,
                                         const std::vector<std::string>& names, const std::vector<Expected>& expected)
{
    std::string mismatches;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const std::optional<std::string> now = store != nullptr ? CurrentValue(*store, names[i]) : std::nullopt;
        if (Matches(now, expected[i])) continue;
        mismatches += (mismatches.empty() ? "" : "; ") + Mismatch(key, names[i], now, expected[i]);
    }
    if (mismatches.empty()) return std::nullopt;
    return Failure(kExitConflict, mismatches + "; nothing written");
}

Outcome ConflictOutcome(const CQorvane& store, const std::string& key, const std::vector<std::string>& names,
                        const std::vector<Expected>& expected)
{
    std::string text;
    KeyConflict c;
    for (int i = 0; store.GetConflictAt(i, c) == 1; ++i) {
        std::size_t at = 0;
        while (at < names.size() && names[at] != c.strName.str()) ++at;
        if (at == names.size()) continue;
        const std::optional<std::string> now = c.bFile != 0 ? std::optional<std::string>(c.strFile.str()) : std::nullopt;
        text += (text.empty() ? "" : "; ") + Mismatch(key, names[at], now, expected[at]);
    }
    return Failure(kExitConflict, text + "; nothing written");
}

}  // namespace qorvane::tool
