// The module's dynamic symbol table, read with nm as a host's loader sees it.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include "support/driver_module.h"

namespace {

TEST(DriverExportsTest, ModuleExportsExactlyTheEntryPoints) {
    const std::string command =
        std::string("nm -D --defined-only ") + zarntest::DriverModule::Path() + " 2>&1";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    ASSERT_NE(pipe, nullptr);
    std::set<std::string> exported;
    std::array<char, 512> line{};
    while (fgets(line.data(), line.size(), pipe.get()) != nullptr) {
        std::istringstream in(line.data());
        std::string address, type, name;
        if (in >> address >> type >> name && (type == "T" || type == "W")) exported.insert(name);
    }
    const std::set<std::string> expected = {
        "CreateIPCapture",      "CreateIPCaptureEx",        "CreateIPCaptureEx2",
        "CreateIPCaptureEx3",   "DeleteIPCapture",          "DeleteIPCaptureEx",
        "DeleteIPCaptureEx2",   "DeleteIPCaptureEx3",       "InitCapabilityQuery",
        "StartCapabilityQuery", "TerminateCapabilityQuery", "UninitCapabilityQuery"};
    EXPECT_EQ(exported, expected);
}

}  // namespace
