// What fmutil says about itself outside --help: the man page the build makes
// and the bash completion. Both come from --help, and these tests read them
// as a user gets them (the page through man, the completion through bash
// with bash-completion), against what --help says now.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "TempDir.h"
#include "fmutil_run.h"

namespace fs = std::filesystem;
using fmtest::run;
using fmtest::run_program;
using testing::HasSubstr;

namespace {

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

// Runs of spaces and line breaks as one space, none at the ends: how a line
// of --help and the page's filled text compare.
std::string squeezed(const std::string& s) {
    std::string out;
    for (char c : s) {
        const bool space = c == ' ' || c == '\n' || c == '\t';
        if (space && (out.empty() || out.back() == ' ')) continue;
        out += space ? ' ' : c;
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

// The names `fmutil --help` lists under "commands:".
std::vector<std::string> listed_commands() {
    std::vector<std::string> names;
    bool listing = false;
    for (const std::string& l : lines_of(run({"--help"}).out)) {
        if (l == "commands:") {
            listing = true;
        } else if (listing) {
            if (l.empty()) break;
            names.push_back(squeezed(l).substr(0, squeezed(l).find(' ')));
        }
    }
    return names;
}

std::string find_program(const std::string& name) {
    for (const char* dir : {"/usr/bin", "/bin"}) {
        const std::string p = std::string(dir) + "/" + name;
        if (::access(p.c_str(), X_OK) == 0) return p;
    }
    return "";
}

// The page's sections as man prints them, one line per section: "NAME"...
// and, under COMMANDS, "fmutil info ..." for each subsection.
std::map<std::string, std::string> page_sections(const std::string& rendered,
                                                 std::vector<std::string>* order) {
    std::map<std::string, std::string> sections;
    std::string current;
    bool in_commands = false;
    for (const std::string& l : lines_of(rendered)) {
        const bool heading = !l.empty() && l[0] != ' ';
        const bool subsection = in_commands && l.rfind("   fmutil ", 0) == 0;
        if (heading) in_commands = l == "COMMANDS";
        if (heading || subsection) {
            current = squeezed(l);
            order->push_back(current);
            continue;
        }
        sections[current] += l + "\n";
    }
    for (auto& [name, text] : sections) text = squeezed(text);
    return sections;
}

// Every line of `fmutil COMMAND --help` is in the page, in that command's own
// subsection (its heading the usage, its text the rest), and so are the
// program's usage, description and command list: the page says all --help
// says, where a reader looks for it. man's own warnings are lintian's.
TEST(FmutilCli, ManPageSaysWhatEachHelpSays) {
    const std::string man = find_program("man");
    if (man.empty()) GTEST_SKIP() << "man (man-db) is not installed";
    const std::string env = find_program("env");
    auto rendered =
        run_program(env, {"MANWIDTH=10000", "MAN_KEEP_FORMATTING=", man, "-l", FMUTIL_MAN_PAGE});
    ASSERT_EQ(rendered.status, 0) << rendered.err;
    auto warnings =
        run_program(env, {"LC_ALL=C.UTF-8", "MANROFFSEQ=", "MANWIDTH=80", man, "--warnings", "-E",
                          "UTF-8", "-l", "-Tutf8", "-Z", FMUTIL_MAN_PAGE});
    EXPECT_EQ(warnings.status, 0);
    EXPECT_EQ(warnings.err, "") << "groff warns about the page";

    std::vector<std::string> order;
    auto sections = page_sections(rendered.out, &order);
    const auto main = lines_of(run({"--help"}).out);
    ASSERT_FALSE(main.empty());
    EXPECT_THAT(sections["SYNOPSIS"], HasSubstr(squeezed(main[0].substr(7)))) << "the usage";
    for (std::size_t i = 1; i < main.size() && main[i] != "commands:"; ++i)
        EXPECT_THAT(sections["DESCRIPTION"], HasSubstr(squeezed(main[i])));

    const std::vector<std::string> commands = listed_commands();
    ASSERT_GE(commands.size(), 17U) << "fmutil --help lists its commands";
    std::vector<std::string> subsections;
    for (const std::string& s : order) {
        if (s.rfind("fmutil ", 0) == 0) subsections.push_back(s);
    }
    ASSERT_EQ(subsections.size(), commands.size()) << "one subsection per listed command";
    for (std::size_t k = 0; k < commands.size(); ++k) {
        const std::string& c = commands[k];
        const auto help = lines_of(run({c, "--help"}).out);
        ASSERT_FALSE(help.empty()) << c;
        std::string usage = help[0].substr(7);  // "usage: " off
        std::size_t i = 1;
        for (; i < help.size() && help[i].rfind("       ", 0) == 0; ++i) usage += " " + help[i];
        EXPECT_EQ(subsections[k], squeezed(usage)) << "the subsection of " << c;
        const std::string& text = sections[subsections[k]];
        for (; i < help.size(); ++i) {
            if (help[i].empty() || help[i] == "options:") continue;
            EXPECT_THAT(text, HasSubstr(squeezed(help[i]))) << c << " --help says it";
        }
    }
}

// Completions as bash gives them with bash-completion loaded: COMP_WORDS and
// COMP_CWORD set as the shell sets them for a line typed up to its end.
struct Completion {
    std::string line;                   // what is typed, {} the scratch directory
    std::vector<std::string> expected;  // COMPREPLY, sorted; {} the scratch directory
};

std::string replaced(std::string s, const std::string& dir) {
    for (std::size_t at = s.find("{}"); at != std::string::npos; at = s.find("{}", at))
        s.replace(at, 2, dir);
    return s;
}

TEST(FmutilCli, BashCompletesCommandsOptionsAndPaths) {
    const char* framework = "/usr/share/bash-completion/bash_completion";
    const std::string bash = find_program("bash");
    if (bash.empty() || ::access(framework, R_OK) != 0)
        GTEST_SKIP() << "bash and the bash-completion package are needed";
    const char* src = std::getenv("VANTREL_SOURCE_DIR");
    ASSERT_NE(src, nullptr) << "VANTREL_SOURCE_DIR names the sources";
    const std::string script = std::string(src) + "/tools/fmutil/bash-completion/fmutil";

    vtest::TempDir t("fmcomp");
    const std::string d = t.path().string();
    vtest::write_file(t.path() / "notes.txt", "");
    vtest::write_file(t.path() / "-dash", "");
    fs::create_directory(t.path() / "sub");
    fs::create_directory(t.path() / "sun dial");

    std::vector<std::string> all = listed_commands();
    all.insert(all.end(), {"help", "--help", "--version"});
    std::sort(all.begin(), all.end());
    const std::vector<Completion> table{
        {"fmutil ", all},
        {"fmutil co", {"comment", "convert", "copy-attrs"}},
        {"fmutil help ty", {"type"}},
        {"fmutil help type ", {}},
        {"fmutil rm --",
         {"--contents-only", "--dry-run", "--force", "--help", "--json", "--verbose"}},
        {"fmutil ls -", {"--help", "--json", "--long", "--null", "-0", "-h", "-l"}},
        {"fmutil mv -", {"--help", "--json", "-h"}},
        {"fmutil touch --date ", {"now"}},
        {"fmutil touch --date=n", {"now"}},
        {"fmutil type --type ", {}},  // a code: nothing to offer
        {"fmutil touch --reference {}/no", {"{}/notes.txt"}},
        {"fmutil info {}/", {"{}/-dash", "{}/notes.txt", "{}/sub", "{}/sun dial"}},
        {"fmutil info {}/su", {"{}/sub", "{}/sun dial"}},
        {"fmutil tree {}/", {"{}/sub", "{}/sun dial"}},  // DIR: directories only
        {"fmutil ls {}/n", {}},
        {"fmutil cp {}/notes.txt {}/s", {"{}/sub", "{}/sun dial"}},
        {"fmutil rsrc {}/notes.txt --set {}/n", {"{}/notes.txt"}},
        {"fmutil info -- {}/-", {"{}/-dash"}},
        {"fmutil volumes ", {}},
        {"fmutil nonesuch --", {}},
    };
    for (const Completion& row : table) {
        const std::string line = replaced(row.line, d);
        std::vector<std::string> expected;
        for (const std::string& e : row.expected) expected.push_back(replaced(e, d));
        std::sort(expected.begin(), expected.end());
        // The line is split at spaces as the shell would (the rows quote
        // nothing), and fmutil found on PATH as a user runs it.
        const std::string program =
            "source " + std::string(framework) +
            " && source \"$1\" && PATH=\"$2:$PATH\" &&"
            " COMP_LINE=\"$3\" COMP_POINT=${#3} && read -ra COMP_WORDS <<<\"$3\" &&"
            " { [[ $3 != *' ' ]] || COMP_WORDS+=(''); } && COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) &&"
            " { _fmutil fmutil \"${COMP_WORDS[COMP_CWORD]}\" \"${COMP_WORDS[COMP_CWORD - 1]}\";"
            " printf '%s\\n' \"${COMPREPLY[@]}\"; }";
        auto r = run_program(bash, {"--norc", "--noprofile", "-c", program, "bash", script,
                                    fs::path(FMUTIL_PATH).parent_path().string(), line});
        EXPECT_EQ(r.status, 0) << line << ": " << r.err;
        std::vector<std::string> got;
        for (const std::string& l : lines_of(r.out)) {
            if (!l.empty()) got.push_back(l);
        }
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, expected) << "completing '" << line << "'";
    }
}

}  // namespace
