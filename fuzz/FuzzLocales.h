// The character sets both fuzz targets run their inputs under: a byte
// locale, UTF-8 and a double-byte one (GBK), as LC_CTYPE locale objects
// that a target switches to per input with uselocale().
#pragma once

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <locale.h>

enum Charset { kC, kUtf8, kGbk, kCharsets };

inline locale_t g_locales[kCharsets];

inline void InitLocales()
{
    const char* names[kCharsets] = {"C", "C.UTF-8", "zh_CN.GBK"};
    for (int i = 0; i < kCharsets; ++i) {
        g_locales[i] = ::newlocale(LC_CTYPE_MASK, names[i], static_cast<locale_t>(nullptr));
        if (g_locales[i] == static_cast<locale_t>(nullptr)) {
            std::fprintf(stderr, "locale %s is missing (scripts/setup-debian.sh generates it)\n", names[i]);
            std::abort();
        }
    }
}
