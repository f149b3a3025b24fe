// birdwrite: writes a BIRD file from a text description (see README.md).
//
//   birdwrite -o OUT.bird DESCRIPTION     (DESCRIPTION "-" reads standard input)
//   birdwrite --content -o OUT DESCRIPTION  writes the uncompressed content only
#include "birdsim/birdwriter.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

static int Usage() {
    std::fprintf(stderr, "usage: birdwrite [--content] -o OUTPUT DESCRIPTION\n"
                         "  DESCRIPTION  text description of the file, '-' for standard input\n"
                         "  -o OUTPUT    file to write\n"
                         "  --content    write the uncompressed content instead of a BIRD file\n");
    return 2;
}

int main(int argc, char** argv) {
    std::string output, input;
    bool contentOnly = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-o") == 0 && i + 1 < argc)
            output = argv[++i];
        else if (std::strcmp(argv[i], "--content") == 0)
            contentOnly = true;
        else if (argv[i][0] == '-' && argv[i][1] != '\0')
            return Usage();
        else if (input.empty())
            input = argv[i];
        else
            return Usage();
    }
    if (output.empty() || input.empty())
        return Usage();

    std::stringstream text;
    std::string baseDir;
    if (input == "-") {
        text << std::cin.rdbuf();
    } else {
        std::ifstream in(input);
        if (!in) {
            std::fprintf(stderr, "birdwrite: cannot read %s\n", input.c_str());
            return 1;
        }
        text << in.rdbuf();
        size_t slash = input.rfind('/');
        if (slash != std::string::npos)
            baseDir = input.substr(0, slash);
    }

    birdwriter::Description d;
    std::string error;
    if (!birdwriter::ParseDescription(text.str(), baseDir, &d, &error)) {
        std::fprintf(stderr, "birdwrite: %s: %s\n", input.c_str(), error.c_str());
        return 1;
    }
    try {
        birdwriter::Bytes bytes =
            contentOnly ? birdwriter::BuildContent(d) : birdwriter::BuildFile(d);
        if (!birdwriter::WriteBytes(output, bytes, &error)) {
            std::fprintf(stderr, "birdwrite: %s\n", error.c_str());
            return 1;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "birdwrite: %s\n", e.what());
        return 1;
    }
    return 0;
}
