// Writes hvl-scan's bash completion to the file given, at build time.
#include <fstream>
#include <iostream>

#include "scan_options.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: hvl_scan_completion_gen <file>\n";
        return 2;
    }
    std::ofstream file(argv[1], std::ios::binary | std::ios::trunc);
    file << BashCompletionScript();
    file.close();
    return file ? 0 : 1;
}
