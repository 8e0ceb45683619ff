// Build-time tool: turns a version block definition into the binary block
// that the executables carry.
//   hvl_version_block_gen <definition.txt> <block.bin>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>

#include "version_block_writer.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: " << argv[0] << " <definition> <output>\n";
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::cerr << argv[1] << ": cannot open\n";
        return 1;
    }
    const std::string strText((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

    VersionBlockDefinition def;
    std::string strError;
    if (!ParseVersionBlockDefinition(strText, def, strError)) {
        std::cerr << argv[1] << ": " << strError << "\n";
        return 1;
    }
    const std::vector<uint8_t> block = BuildVersionBlock(def);
    if (block.empty()) {
        std::cerr << argv[1] << ": the block exceeds 64 KiB\n";
        return 1;
    }

    // Write next to the target and rename, so a failed run leaves no half block.
    const std::string strTemp = std::string(argv[2]) + ".tmp";
    {
        std::ofstream out(strTemp, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(block.size()));
        if (!out.flush()) {
            std::cerr << strTemp << ": cannot write\n";
            return 1;
        }
    }
    if (std::rename(strTemp.c_str(), argv[2]) != 0) {
        std::cerr << argv[2] << ": cannot replace\n";
        return 1;
    }
    return 0;
}
