// Matches each name on the command line against a wildcard pattern with the
// string library, and prints the names that match, one a line.
//   match_names 'rep*rt' report.txt notes.txt REPORT
#include <cstdio>
#include <cstring>

#include "vantrel/CString256.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: match_names PATTERN NAME...\n");
        return 2;
    }
    // The pattern's fragments, split at '*': they must occur in order.
    CString256 pattern(argv[1]);
    CList<CString256> fragments;
    char stars[] = "*";
    pattern.parse_into_list(stars, fragments);
    for (int i = 2; i < argc; ++i) {
        CString256 name(argv[i]);
        float score = 0;
        name.match_wildcard_nocase(fragments, &score);
        if (score == 1.0f) std::printf("%s\n", argv[i]);
    }
    return 0;
}
