#include <string>
#include <vector>

#include "fmutil.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv, argv + argc);
    return fmutil::run(args);
}
