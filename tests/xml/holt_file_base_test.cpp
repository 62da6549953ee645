#include "xml/holt_file_base.h"

#include <gtest/gtest.h>

#include <string>

#include "support/host_folder_files.h"

namespace {

using zarntest::HostFolderFiles;

TEST(HoltFileBaseFilesTest, ExistsNonEmptyAndReplace) {
    HostFolderFiles files;
    const std::string from = files.NewName("holt", ".bin");
    const std::string to = files.NewName("holt", ".bin");
    EXPECT_FALSE(CHoltFileBase::ExistsNonEmpty(HostFolderFiles::PathOf(from)));  // missing
    HostFolderFiles::Write(from, "");
    EXPECT_FALSE(CHoltFileBase::ExistsNonEmpty(HostFolderFiles::PathOf(from)));  // empty
    EXPECT_FALSE(CHoltFileBase::ExistsNonEmpty(HostFolderFiles::Folder()));      // a folder
    EXPECT_FALSE(CHoltFileBase::ExistsNonEmpty(""));

    HostFolderFiles::Write(from, "new");
    HostFolderFiles::Write(to, "old");
    EXPECT_TRUE(CHoltFileBase::ExistsNonEmpty(HostFolderFiles::PathOf(from)));
    ASSERT_TRUE(CHoltFileBase::Replace(HostFolderFiles::PathOf(from), HostFolderFiles::PathOf(to)));
    EXPECT_EQ("new", HostFolderFiles::Read(to));
    EXPECT_FALSE(HostFolderFiles::Exists(from));
    // A source that is gone leaves the target as it is.
    EXPECT_FALSE(
        CHoltFileBase::Replace(HostFolderFiles::PathOf(from), HostFolderFiles::PathOf(to)));
    EXPECT_EQ("new", HostFolderFiles::Read(to));
}

TEST(HoltFileBaseFilesTest, FailedWritesReportAnErrorAndLeaveNoFiles) {
    HostFolderFiles files;
    int error = 0;
    EXPECT_FALSE(CHoltFileBase::WriteAtomically("", "x", &error));
    EXPECT_NE(0, error);

    const std::string folder = files.NewName("missing", "");  // never created
    error = 0;
    EXPECT_FALSE(
        CHoltFileBase::WriteAtomically(HostFolderFiles::PathOf(folder) + "/x.xml", "x", &error));
    EXPECT_NE(0, error);
    EXPECT_FALSE(HostFolderFiles::Exists(folder));

    const std::string name = files.NewName("holt", ".xml");
    HostFolderFiles::Write(name, "old");
    CHoltFileBase::SetBeforeRenameHookForTesting([](const std::string&) { return false; });
    error = 0;
    EXPECT_FALSE(CHoltFileBase::WriteAtomically(HostFolderFiles::PathOf(name), "new", &error));
    CHoltFileBase::SetBeforeRenameHookForTesting(nullptr);
    EXPECT_NE(0, error);
    EXPECT_EQ("old", HostFolderFiles::Read(name));
    EXPECT_TRUE(HostFolderFiles::TempFiles(name).empty());
}

// Larger than one read or write call moves, with every byte value.
TEST(HoltFileBaseFilesTest, LargeFilesArriveWholeAndReadsStayBounded) {
    HostFolderFiles files;
    const std::string name = files.NewName("holt", ".bin");
    std::string data(3u * 1024u * 1024u + 1u, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 7u) & 0xFFu);
    int error = 0;
    ASSERT_TRUE(CHoltFileBase::WriteAtomically(HostFolderFiles::PathOf(name), data, &error));

    CHoltFileBase file;
    ASSERT_TRUE(file.OpenForRead(HostFolderFiles::PathOf(name).c_str()));
    EXPECT_TRUE(file.IsOpen());
    EXPECT_EQ(static_cast<int64_t>(data.size()), file.GetSize());
    std::string read;
    EXPECT_FALSE(file.ReadAll(read, data.size() - 1));
    EXPECT_TRUE(read.empty());
    ASSERT_TRUE(file.ReadAll(read, data.size()));
    EXPECT_TRUE(read == data);
    file.Close();
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(-1, file.GetSize());
    EXPECT_FALSE(file.ReadAll(read, data.size()));
}

}  // namespace
