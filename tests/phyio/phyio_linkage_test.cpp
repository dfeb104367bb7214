// How the tools and the library are linked: the tools find libphyio.so by name, and the library
// needs nothing beyond the C library and exports only its four functions, unmangled.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "phyio/simbus.h"

namespace {

std::string capture(const std::string& cmd) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return out;
    std::array<char, 4096> buf;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0)
        out.append(buf.data(), n);
    pclose(p);
    return out;
}

std::string dirOf(const std::string& path) {
    return path.substr(0, path.rfind('/'));
}

TEST(PhyioLinkage, ToolsLoadLibphyioByName) {
    const std::string expected = "libphyio.so => " + dirOf(PHYIO_LIB) + "/libphyio.so";
    for (const char* tool : {PHYREG_BIN, SWINFO_BIN}) {
        SCOPED_TRACE(tool);
        std::string needed = capture(std::string("readelf -d ") + tool);
        EXPECT_NE(needed.find("Shared library: [libphyio.so]"), std::string::npos) << needed;
        std::string ldd = capture(std::string("ldd ") + tool);
        EXPECT_NE(ldd.find(expected), std::string::npos) << ldd;
        EXPECT_EQ(ldd.find("not found"), std::string::npos) << ldd;
    }
}

#ifdef PHYIO_SHIPPING_BUILD
TEST(PhyioLinkage, LibraryNeedsOnlyTheCLibrary) {
    std::vector<std::string> lines = splitLines(capture(std::string("ldd ") + PHYIO_LIB));
    ASSERT_FALSE(lines.empty());
    bool libc = false;
    for (const auto& l : lines) {
        std::string name = l.substr(l.find_first_not_of(" \t"));
        name = name.substr(0, name.find_first_of(" \t"));
        if (name == "libc.so.6")
            libc = true;
        else
            EXPECT_TRUE(name == "linux-vdso.so.1" || name.find("/ld-linux") != std::string::npos) << l;
    }
    EXPECT_TRUE(libc);
}

TEST(PhyioLinkage, LibraryExportsTheFourFunctions) {
    std::set<std::string> symbols;
    for (const auto& l : splitLines(capture(std::string("nm -D --defined-only ") + PHYIO_LIB))) {
        if (l.size() > 19 && l[17] == 'T')
            symbols.insert(l.substr(19));
    }
    EXPECT_EQ(symbols, (std::set<std::string>{"clear_bit", "mdio_read", "mdio_write", "set_bit"}));
}
#endif

}  // namespace
