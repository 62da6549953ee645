// Windows only: the host core's version comes from the version resource of "tessark.dll", found by
// the system's search for a bare file name (the program's folder first).
#include <gtest/gtest.h>

#include <filesystem>
#include <system_error>

#include "platform/platform.h"

namespace talvane::platform {
namespace {

TEST(PlatformWindowsTest, HostCoreVersionComesFromTheVersionResource) {
    const std::filesystem::path folder = HostProgramDirectory();
    const std::filesystem::path core = folder / "tessark.dll";
    std::error_code error;
    ASSERT_FALSE(std::filesystem::exists(core));
    EXPECT_EQ(HostCoreVersion().minor, 12);  // no such library: 5.12.0.0

    // The driver DLL carries a version resource of its own: as the host core it gives its version.
    ASSERT_TRUE(std::filesystem::copy_file(folder / "ZarnHDIPCapture.dll", core, error))
        << error.message();
    const Version version = HostCoreVersion();
    std::filesystem::remove(core, error);
    EXPECT_EQ(version.major, ZARN_VERSION_MAJOR);
    EXPECT_EQ(version.minor, ZARN_VERSION_MINOR);
    EXPECT_EQ(version.build, ZARN_VERSION_PATCH);
    EXPECT_EQ(version.revision, 0);
}

}  // namespace
}  // namespace talvane::platform
