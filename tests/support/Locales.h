// Locales for the tests, built with localedef: a machine may carry no
// compiled locale but C, the string library's folding rules differ exactly in
// the locales people use (Turkish dotted and dotless i, Latin-1 accents), and
// the File Manager's name conversions follow the process's locale.
//
//   std::string why;
//   locale_t tr = vtest::load_locale("tr_TR", "UTF-8", &why);
//   if (tr == nullptr) GTEST_SKIP() << why;
//   vtest::UseLocale use(tr);          // this thread folds the Turkish way
//
// Compiled locales are kept in <build dir>/test-locales/glibc-<version> (or a
// directory under TMPDIR when the tests run outside CTest), so each is built
// once (a compiled locale is read only by the C library that made it); parallel
// test processes build into scratch directories and rename, and the first
// rename wins.
#pragma once

#include <gnu/libc-version.h>
#include <locale.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

// LeakSanitizer's switches, when its runtime is in the process (also in a
// program built without instrumentation that links it).
extern "C" {
void __lsan_disable() __attribute__((weak));
void __lsan_enable() __attribute__((weak));
}

namespace vtest {

namespace locale_fs = std::filesystem;

inline std::string locale_cache_dir() {
    static const std::string dir = [] {
        std::string d;
        if (const char* b = std::getenv("VANTREL_BUILD_DIR"); b != nullptr && *b != '\0') {
            d = std::string(b) + "/test-locales";
        } else {
            const char* t = std::getenv("TMPDIR");
            d = std::string(t != nullptr && *t != '\0' ? t : "/tmp") + "/vantrel-test-locales-" +
                std::to_string(::getuid());
        }
        d += std::string("/glibc-") + gnu_get_libc_version();
        std::error_code ec;
        locale_fs::create_directories(d, ec);
        return d;
    }();
    return dir;
}

// Runs localedef for `source` (a path, or a name under the system's locale
// sources) and `charmap` into <cache>/<out>; true when the locale is there.
inline bool compile_locale(const std::string& source, const std::string& charmap,
                           const std::string& out, std::string* why) {
    const std::string root = locale_cache_dir();
    const std::string dest = root + "/" + out;
    std::error_code ec;
    if (locale_fs::exists(dest + "/LC_CTYPE", ec)) return true;
    std::string scratch = root + "/.build.XXXXXX";
    if (::mkdtemp(scratch.data()) == nullptr) {
        *why = "cannot make a scratch directory in " + root;
        return false;
    }
    // -c: the system's sources draw warnings that do not concern the tables.
    const std::string cmd = "localedef -c -i '" + source + "' -f '" + charmap + "' '" + scratch +
                            "/" + out + "' >/dev/null 2>&1";
    const int rc = std::system(cmd.c_str());
    bool ok = locale_fs::exists(scratch + "/" + out + "/LC_CTYPE", ec);
    if (ok) {
        // Another test process may have been first; either copy will do.
        if (::rename((scratch + "/" + out).c_str(), dest.c_str()) != 0)
            ok = locale_fs::exists(dest + "/LC_CTYPE", ec);
    } else {
        *why = "localedef could not build " + out + " from " + source + " (status " +
               std::to_string(rc) + "; the i18n sources come with the Debian package locales)";
    }
    locale_fs::remove_all(scratch, ec);
    return ok;
}

// Loads a compiled locale from the cache, for LC_CTYPE only (the category
// whose tables the string library reads).
inline locale_t open_cached_locale(const std::string& name, std::string* why) {
    ::setenv("LOCPATH", locale_cache_dir().c_str(), 1);
    // The C library keeps the parsed LOCPATH of each load for good.
    if (__lsan_disable != nullptr) __lsan_disable();
    locale_t loc = newlocale(LC_CTYPE_MASK, name.c_str(), nullptr);
    if (__lsan_enable != nullptr) __lsan_enable();
    if (loc == nullptr) *why = "newlocale(" + name + ") failed after building it";
    return loc;
}

// tr_TR.UTF-8 / de_DE.ISO-8859-1 style: builds (once) and loads
// <source>.<charmap>.
inline locale_t load_locale(const std::string& source, const std::string& charmap,
                            std::string* why) {
    const std::string name = source + "." + charmap;
    if (!compile_locale(source, charmap, name, why)) return nullptr;
    return open_cached_locale(name, why);
}

// The Turkish locale with its two special case pairs made plain (i <-> I):
// the same tables, entry for entry and byte for byte in size, so that one
// freed and the other loaded next land at the same address. Null (and `why`
// set) when the system's tr_TR source does not have the expected lines.
inline locale_t load_plain_turkish_twin(const std::string& charmap, std::string* why) {
    const std::string name = "trplain." + charmap;
    const std::string source = locale_cache_dir() + "/trplain.src";
    std::error_code ec;
    if (!locale_fs::exists(source, ec)) {
        std::ifstream in("/usr/share/i18n/locales/tr_TR");
        std::stringstream all;
        all << in.rdbuf();
        std::string text = all.str();
        const std::string pairs[2][2] = {{"(<U0069>,<U0130>)", "(<U0069>,<U0049>)"},
                                         {"(<U0049>,<U0131>)", "(<U0049>,<U0069>)"}};
        for (const auto& p : pairs) {
            std::size_t at = text.find(p[0]);
            if (at == std::string::npos) {
                *why = "tr_TR source without the mapping " + p[0];
                return nullptr;
            }
            text.replace(at, p[0].size(), p[1]);
        }
        std::string tmp = source + ".XXXXXX";
        int fd = ::mkstemp(tmp.data());
        if (fd < 0) {
            *why = "cannot write " + tmp;
            return nullptr;
        }
        ::close(fd);
        std::ofstream(tmp) << text;
        ::rename(tmp.c_str(), source.c_str());
    }
    if (!compile_locale(source, charmap, name, why)) return nullptr;
    return open_cached_locale(name, why);
}

// Makes `loc` the calling thread's locale for the scope.
class UseLocale {
  public:
    explicit UseLocale(locale_t loc) : old_(uselocale(loc)) {}
    ~UseLocale() { uselocale(old_); }
    UseLocale(const UseLocale&) = delete;
    UseLocale& operator=(const UseLocale&) = delete;

  private:
    locale_t old_;
};

}  // namespace vtest
