// mkman: writes fmutil's man page from what `fmutil --help` and each
// `fmutil COMMAND --help` print, and from the prose of docs/fmutil.1.in, as
// help2man makes coreutils' pages from their --help. The command list, each
// command's synopsis, description and options come from the program itself
// (its command table), so the page cannot say other than --help says.
//
//   mkman FMUTIL PROSE OUT
//
// PROSE is roff. These lines in it stand for what fmutil prints:
//
//   @SYNOPSIS      the usage line of `fmutil --help`
//   @DESCRIPTION   the paragraphs of `fmutil --help` between its usage line
//                  and its command list
//   @COMMANDS      a subsection per command, in the order --help lists them:
//                  its synopsis, summary and details, its prose (below), and
//                  its options
//   @command NAME  starts the prose of command NAME, which runs up to the
//                  next @command or the end of the file
//
// and "@VERSION@" anywhere is the version `fmutil --version` prints. Prose
// for a command fmutil does not have, a command's prose given twice, an
// unknown @ line, or a --help laid out otherwise than expected is an error,
// and the build stops.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

extern char** environ;

namespace {

[[noreturn]] void fail(const std::string& message) {
    throw std::runtime_error(message);
}

// Runs `program args...` and returns what it writes to standard output; a
// status other than 0 is an error.
std::string run(const std::string& program, const std::vector<std::string>& args) {
    int fds[2];
    if (::pipe(fds) != 0) fail(std::string("pipe: ") + std::strerror(errno));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    std::vector<std::string> words{program};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (spawned != 0) {
        ::close(fds[0]);
        fail("cannot run " + program + ": " + std::strerror(spawned));
    }
    std::string out;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n > 0) {
            out.append(buf, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(fds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    std::string line = program;
    for (const std::string& a : args) line += " " + a;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) fail(line + " did not exit with 0");
    return out;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

bool starts_with(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

// Text as roff prints it: backslashes, hyphens (minus signs, so that an
// option can be copied from the page), quotes, and a control character at
// the start of a line escaped.
std::string esc(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '\\':
                out += "\\e";
                break;
            case '-':
                out += "\\-";
                break;
            case '\'':
                out += "\\(aq";
                break;
            case '`':
                out += "\\(ga";
                break;
            case '"':
                out += "\\(dq";
                break;
            default:
                out += c;
        }
    }
    if (!out.empty() && out[0] == '.') out.insert(0, "\\&");
    return out;
}

bool is_upper(char c) {
    return c >= 'A' && c <= 'Z';
}
bool is_word(char c) {
    return (c >= 'a' && c <= 'z') || is_upper(c) || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

// A synopsis or an option as a man page sets it: options bold, the words
// that stand for something (PATH, XXXX, FILE1) italic, the rest in the
// surrounding font (each change returns to it with \fP).
std::string styled(std::string_view text) {
    std::string out;
    std::size_t i = 0;
    while (i < text.size()) {
        const bool wordStart = i == 0 || !is_word(text[i - 1]);
        std::size_t j = i;
        if (wordStart && text[i] == '-' && i + 1 < text.size() &&
            (is_word(text[i + 1]) && text[i + 1] != '-')) {
            j = i + 1;  // -R
            while (j < text.size() && is_word(text[j])) ++j;
        } else if (wordStart && starts_with(text.substr(i), "--") && i + 2 < text.size() &&
                   is_word(text[i + 2])) {
            j = i + 2;  // --long
            while (j < text.size() && is_word(text[j])) ++j;
        }
        if (j > i) {
            out += "\\fB" + esc(text.substr(i, j - i)) + "\\fP";
            i = j;
            continue;
        }
        if (wordStart && is_upper(text[i])) {
            j = i;
            while (j < text.size() && (is_upper(text[j]) || (text[j] >= '0' && text[j] <= '9')))
                ++j;
            if (j == text.size() || !is_word(text[j])) {
                out += "\\fI" + esc(text.substr(i, j - i)) + "\\fP";
                i = j;
                continue;
            }
        }
        out += esc(text.substr(i, 1));
        ++i;
    }
    return out;
}

struct Option {
    std::string names;        // "-R, --recursive" or "--date WHEN"
    std::string description;  // "also every item below a directory"
};

struct Command {
    std::string name;
    std::string summary;                  // from the command list
    std::string synopsis;                 // the arguments after the name
    std::vector<std::string> paragraphs;  // the summary, then the details
    std::vector<Option> options;
};

// "  -l, --long PLACEHOLDER   what it does": the option's forms, at most one
// value placeholder, then the description.
Option parse_option(const std::string& line) {
    if (!starts_with(line, "  -")) fail("not an option line in --help: '" + line + "'");
    std::size_t i = 2;
    for (;;) {
        const std::size_t dashes = starts_with(std::string_view(line).substr(i), "--") ? 2 : 1;
        std::size_t j = i + dashes;
        while (j < line.size() && is_word(line[j])) ++j;
        if (j == i + dashes) fail("an option without a name in --help: '" + line + "'");
        i = j;
        if (line.compare(i, 3, ", -") != 0) break;
        i += 2;
    }
    if (i + 1 < line.size() && line[i] == ' ' && is_upper(line[i + 1])) {
        std::size_t j = i + 1;
        while (j < line.size() && (is_upper(line[j]) || (line[j] >= '0' && line[j] <= '9'))) ++j;
        if (j == line.size() || line[j] == ' ') i = j;
    }
    Option o{line.substr(2, i - 2), {}};
    const std::size_t d = line.find_first_not_of(' ', i);
    if (d == std::string::npos || d == i) fail("an option without a description: '" + line + "'");
    o.description = line.substr(d);
    return o;
}

// Paragraphs of `lines` from `*at` up to the line `end` (or the end), with
// blank lines between paragraphs; `*at` is left at `end`.
std::vector<std::string> paragraphs_until(const std::vector<std::string>& lines, std::size_t* at,
                                          std::string_view end) {
    std::vector<std::string> out;
    std::string current;
    for (; *at < lines.size() && lines[*at] != end; ++*at) {
        if (lines[*at].empty()) {
            if (!current.empty()) out.push_back(current);
            current.clear();
        } else {
            current += (current.empty() ? "" : "\n") + lines[*at];
        }
    }
    if (!current.empty()) out.push_back(current);
    return out;
}

struct Help {
    std::string version;
    std::string synopsis;
    std::vector<std::string> description;
    std::vector<Command> commands;
};

Help read_help(const std::string& fmutil) {
    Help h;
    const std::string version = run(fmutil, {"--version"});
    if (!starts_with(version, "fmutil ")) fail("fmutil --version said '" + version + "'");
    h.version = version.substr(7, version.find('\n') - 7);

    const std::vector<std::string> main = lines_of(run(fmutil, {"--help"}));
    if (main.empty() || !starts_with(main[0], "usage: fmutil "))
        fail("fmutil --help does not start with its usage");
    h.synopsis = main[0].substr(14);
    std::size_t at = 1;
    h.description = paragraphs_until(main, &at, "commands:");
    if (at == main.size()) fail("fmutil --help lists no commands");
    for (++at; at < main.size() && !main[at].empty(); ++at) {
        const std::string& l = main[at];
        const std::size_t end = l.find(' ', 2);
        const std::size_t summary = l.find_first_not_of(' ', end);
        if (!starts_with(l, "  ") || end == std::string::npos || summary == std::string::npos)
            fail("not a command line in fmutil --help: '" + l + "'");
        h.commands.push_back({l.substr(2, end - 2), l.substr(summary), {}, {}, {}});
    }

    for (Command& c : h.commands) {
        const std::vector<std::string> lines = lines_of(run(fmutil, {c.name, "--help"}));
        const std::string usage = "usage: fmutil " + c.name + " ";
        if (lines.empty() || !starts_with(lines[0], usage))
            fail("fmutil " + c.name + " --help does not start with '" + usage + "'");
        c.synopsis = lines[0].substr(usage.size());
        std::size_t i = 1;
        for (; i < lines.size() && starts_with(lines[i], "       "); ++i)
            c.synopsis += " " + lines[i].substr(lines[i].find_first_not_of(' '));
        c.paragraphs = paragraphs_until(lines, &i, "options:");
        if (c.paragraphs.empty() || c.paragraphs[0] != c.summary)
            fail("fmutil " + c.name + " --help does not begin with the summary the list shows");
        for (++i; i < lines.size(); ++i) c.options.push_back(parse_option(lines[i]));
        if (c.options.empty()) fail("fmutil " + c.name + " --help lists no options");
    }
    return h;
}

void write_paragraphs(std::ostream& out, const std::vector<std::string>& paragraphs) {
    for (std::size_t p = 0; p < paragraphs.size(); ++p) {
        if (p != 0) out << ".PP\n";
        for (const std::string& l : lines_of(paragraphs[p])) out << esc(l) << "\n";
    }
}

void write_command(std::ostream& out, const Command& c, const std::string& prose) {
    // A subsection's heading is bold, so the name needs no font of its own.
    out << ".SS \"fmutil " << esc(c.name) << (c.synopsis.empty() ? "" : " ") << styled(c.synopsis)
        << "\"\n";
    write_paragraphs(out, c.paragraphs);
    if (!prose.empty()) out << ".PP\n" << prose;
    for (const Option& o : c.options)
        out << ".TP\n" << styled(o.names) << "\n" << esc(o.description) << "\n";
}

std::string replace_all(std::string s, std::string_view from, std::string_view to) {
    for (std::size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
    return s;
}

void write_page(const Help& h, const std::vector<std::string>& prose, std::ostream& out) {
    // The prose of each command, and the page around the commands.
    std::map<std::string, std::string> own;
    std::vector<std::string> page;
    std::string* block = nullptr;
    for (const std::string& l : prose) {
        if (starts_with(l, "@command ")) {
            const std::string name = l.substr(9);
            bool known = false;
            for (const Command& c : h.commands) known = known || c.name == name;
            if (!known)
                fail("the prose describes '" + name + "', which fmutil --help does not list");
            if (own.count(name) != 0) fail("the prose describes '" + name + "' twice");
            block = &own[name];
        } else if (block != nullptr) {
            *block += replace_all(l, "@VERSION@", h.version) + "\n";
        } else {
            page.push_back(replace_all(l, "@VERSION@", h.version));
        }
    }
    out << ".\\\" Made by tools/fmutil/man/mkman from fmutil --help and docs/fmutil.1.in:\n"
           ".\\\" change those, not this page.\n";
    for (const std::string& l : page) {
        if (l == "@SYNOPSIS") {
            out << "\\fBfmutil\\fP " << styled(h.synopsis) << "\n";
        } else if (l == "@DESCRIPTION") {
            write_paragraphs(out, h.description);
        } else if (l == "@COMMANDS") {
            for (const Command& c : h.commands) write_command(out, c, own[c.name]);
        } else if (starts_with(l, "@")) {
            fail("the prose has an unknown line '" + l + "'");
        } else {
            out << l << "\n";
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: mkman FMUTIL PROSE OUT\n");
        return 2;
    }
    try {
        const Help help = read_help(argv[1]);
        std::ifstream in(argv[2]);
        if (!in) fail(std::string("cannot read ") + argv[2]);
        std::vector<std::string> prose;
        for (std::string l; std::getline(in, l);) prose.push_back(l);
        std::ostringstream page;
        write_page(help, prose, page);
        // Written whole under another name, then renamed: a failed run
        // leaves no half page for the build to take as made.
        const std::string out = argv[3];
        const std::string tmp = out + ".tmp";
        {
            std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
            f << page.str();
            f.close();
            if (!f) {
                std::remove(tmp.c_str());
                fail("cannot write " + tmp);
            }
        }
        if (std::rename(tmp.c_str(), out.c_str()) != 0)
            fail("cannot rename " + tmp + ": " + std::strerror(errno));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "mkman: %s\n", e.what());
        return 1;
    }
    return 0;
}
