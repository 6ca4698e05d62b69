// mdb-write INPUT.json OUTPUT.mdb: writes the Access database described by INPUT ("-" reads standard input).
#include "MdbWriter.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: mdb-write INPUT.json OUTPUT.mdb   (INPUT \"-\" reads standard input)\n");
        return 2;
    }
    const std::string input = argv[1];
    std::string text;
    if (input == "-") {
        std::ostringstream buffer;
        buffer << std::cin.rdbuf();
        text = buffer.str();
    } else {
        std::ifstream file(input, std::ios::binary);
        if (!file) {
            std::fprintf(stderr, "mdb-write: cannot read %s\n", input.c_str());
            return 1;
        }
        file.seekg(0, std::ios::end);
        text.resize(std::size_t(file.tellg()));
        file.seekg(0);
        file.read(text.data(), std::streamsize(text.size()));
        if (!file) {
            std::fprintf(stderr, "mdb-write: cannot read %s\n", input.c_str());
            return 1;
        }
    }
    try {
        mdbwriter::writeFromJson(text, argv[2]);
    } catch (const mdbwriter::WriteError& error) {
        std::fprintf(stderr, "mdb-write: %s\n", error.what());
        return 1;
    }
    return 0;
}
