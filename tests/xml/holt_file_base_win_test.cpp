// Windows only: a saved file keeps the attributes the user gave it.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "support/host_folder_files.h"
#include "xml/holt_file_base.h"

namespace {

using zarntest::HostFolderFiles;

TEST(HoltFileBaseWindowsTest, SaveKeepsTheFilesAttributes) {
    HostFolderFiles files;
    const std::string name = files.NewName("holt", ".xml");
    const std::string path = HostFolderFiles::PathOf(name);
    HostFolderFiles::Write(name, "old");
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
    int error = 0;
    ASSERT_TRUE(CHoltFileBase::WriteAtomically(path, "new", &error)) << error;
    EXPECT_EQ("new", HostFolderFiles::Read(name));
    const DWORD attributes = GetFileAttributesA(path.c_str());
    EXPECT_NE(attributes & FILE_ATTRIBUTE_HIDDEN, 0u) << attributes;
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
}

}  // namespace
