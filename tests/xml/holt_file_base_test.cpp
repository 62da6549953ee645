#include "xml/holt_file_base.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
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

TEST(HoltFileBaseFilesTest, MoveToNewNameNeverReplacesAFile) {
    HostFolderFiles files;
    const std::string from = files.NewName("holt", ".bin");
    const std::string to = files.NewName("holt", ".bin");
    HostFolderFiles::Write(from, "new");
    HostFolderFiles::Write(to, "kept");
    bool taken = false;
    EXPECT_FALSE(CHoltFileBase::MoveToNewName(HostFolderFiles::PathOf(from),
                                              HostFolderFiles::PathOf(to), &taken));
    EXPECT_TRUE(taken);
    EXPECT_EQ("kept", HostFolderFiles::Read(to));
    std::filesystem::remove(HostFolderFiles::PathOf(to));
    EXPECT_TRUE(CHoltFileBase::MoveToNewName(HostFolderFiles::PathOf(from),
                                             HostFolderFiles::PathOf(to), &taken));
    EXPECT_FALSE(taken);
    EXPECT_EQ("new", HostFolderFiles::Read(to));
}

// A path that fits the plain Windows limit keeps fitting while its temporary file exists.
TEST(HoltFileBaseFilesTest, TemporaryNameNeverPushesAFittingPathOverTheLimit) {
    HostFolderFiles files;
    const std::string folder = files.NewName("long", "");
    const std::string base = HostFolderFiles::PathOf(folder);
    ASSERT_LT(base.size() + 12, CHoltFileBase::kMaxPlainPath);
    ASSERT_TRUE(std::filesystem::create_directory(base));
    for (const size_t nameLength : {size_t{1}, size_t{5}, size_t{12}}) {
        // A folder name that brings the whole path to exactly the limit.
        const std::string inner =
            std::string(CHoltFileBase::kMaxPlainPath - base.size() - 2 - nameLength, 'd');
        const std::string path = base + "/" + inner + "/" + std::string(nameLength, 'p');
        ASSERT_EQ(path.size(), CHoltFileBase::kMaxPlainPath);
        ASSERT_TRUE(std::filesystem::create_directory(base + "/" + inner));
        std::string temp;
        CHoltFileBase::SetBeforeRenameHookForTesting([&](const std::string& t) {
            temp = t;
            return true;
        });
        int error = 0;
        for (int i = 0; i < 3; ++i) {
            EXPECT_TRUE(CHoltFileBase::WriteAtomically(path, "v" + std::to_string(i), &error))
                << nameLength << " " << error;
            EXPECT_LE(temp.size(), CHoltFileBase::kMaxPlainPath) << temp;
            EXPECT_EQ(temp.substr(0, path.size() - nameLength),
                      path.substr(0, path.size() - nameLength));
        }
        CHoltFileBase::SetBeforeRenameHookForTesting(nullptr);
        std::ifstream in(path, std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "v2");
    }
    std::error_code ignored;
    std::filesystem::remove_all(base, ignored);
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
