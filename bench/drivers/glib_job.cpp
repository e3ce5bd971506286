// GKeyFile driver. Its parser rejects lines that begin with ';', so the
// comparison runs it on a copy of the file whose comment lines begin with
// '#'. Write: load keeping comments, set, g_key_file_save_to_file.
#include <glib.h>

#include "InfGen.h"
#include "JobHarness.h"

int main(int argc, char** argv)
{
    qbench::JobArgs args;
    if (!qbench::ParseJobArgs(argc, argv, args)) return qbench::Usage(argv[0]);
    const bool write = args.mode == "write";
    std::string value;
    return qbench::RunTimed(args, [&](int i) {
        GKeyFile* kf = g_key_file_new();
        GError* error = nullptr;
        const GKeyFileFlags flags =
            write ? GKeyFileFlags(G_KEY_FILE_KEEP_COMMENTS | G_KEY_FILE_KEEP_TRANSLATIONS) : G_KEY_FILE_NONE;
        bool ok = g_key_file_load_from_file(kf, args.path.c_str(), flags, &error);
        if (ok && !write) {
            gchar* v = g_key_file_get_value(kf, qbench::kReadKey, qbench::kReadItem, &error);
            ok = v != nullptr;
            if (ok) value = v;
            g_free(v);
        } else if (ok) {
            value = qbench::WriteValue(i);
            g_key_file_set_value(kf, qbench::kReadKey, qbench::kWriteItem, value.c_str());
            ok = g_key_file_save_to_file(kf, args.path.c_str(), &error);
        }
        if (error != nullptr) {
            std::fprintf(stderr, "glib: %s\n", error->message);
            g_error_free(error);
        }
        g_key_file_free(kf);
        return ok;
    }, value);
}
