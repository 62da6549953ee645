#include "xml/xml_settings_api.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "support/host_folder_files.h"
#include "xml/holt_file_base.h"
#include "xml/xml_settings_backend.h"

namespace {

using zarntest::HostFolderFiles;

constexpr const char* kDeclaration = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";

class XmlSettingsTest : public ::testing::Test {
protected:
    // A new file holding an empty Zarn root, loaded into xml_.
    std::string LoadNew() {
        const std::string name = files_.NewName("xml", ".xml");
        EXPECT_EQ(1, CXMLSettingsAPI::CreateNew("Zarn", name.c_str(), true));
        EXPECT_EQ(0, xml_.Load(name.c_str()));
        return name;
    }
    int32_t ErrorCode(const std::function<void()>& operation) {
        try {
            operation();
        } catch (const CXmlError& error) {
            return error.Code();
        }
        return 0;
    }

    HostFolderFiles files_;
    CXMLSettingsAPI xml_;
};

TEST_F(XmlSettingsTest, LibraryFailureSaysNothingAboutTheFile) {
    const std::string name = files_.NewName("xml", ".xml");
    HostFolderFiles::Write(name, "<Zarn><A value=\"1\"/></Zarn>");
    xml_backend::SetLibraryFailureForTesting(true);
    const int32_t failed = xml_.Load(name.c_str());
    xml_backend::SetLibraryFailureForTesting(false);
    EXPECT_NE(0, failed);
    EXPECT_NE(CXMLSettingsAPI::kErrorFail, failed);
    EXPECT_NE(CXMLSettingsAPI::kErrorNotSettingsFile, failed);
    EXPECT_FALSE(xml_.IsLoaded());
    ASSERT_EQ(0, xml_.Load(name.c_str()));
    EXPECT_EQ("1", xml_.GetString("Zarn/A"));
}

TEST_F(XmlSettingsTest, LoadRefusesMissingEmptyAndMalformedFiles) {
    const std::string missing = files_.NewName("xml", ".xml");
    EXPECT_EQ(CXMLSettingsAPI::kErrorFail, xml_.Load(missing.c_str()));
    const std::string empty = files_.NewName("xml", ".xml");
    HostFolderFiles::Write(empty, "");
    EXPECT_EQ(CXMLSettingsAPI::kErrorFail, xml_.Load(empty.c_str()));
    // Bytes that are not a settings file have a result of their own.
    const char* contents[] = {"<Zarn><A value=\"1\"></Zarn>", "<Zarn/><Other/>", "not xml",
                              "<?xml version='1.0'?>"};
    for (const char* content : contents) {
        const std::string name = files_.NewName("xml", ".xml");
        HostFolderFiles::Write(name, content);
        EXPECT_EQ(CXMLSettingsAPI::kErrorNotSettingsFile, xml_.Load(name.c_str())) << content;
        EXPECT_FALSE(xml_.IsLoaded());
    }
    EXPECT_EQ(CXMLSettingsAPI::kErrorFail, xml_.Load("../escape.xml"));
    EXPECT_EQ(CXMLSettingsAPI::kErrorFail, xml_.Load(nullptr));
    EXPECT_EQ("", xml_.GetString("Zarn"));
    EXPECT_EQ(0, xml_.SetString("1", "Zarn/A"));
    EXPECT_EQ(0, xml_.Save());
}

TEST_F(XmlSettingsTest, LoadIsReferenceCountedAndKeepsTheFirstFile) {
    const std::string first = files_.NewName("xml", ".xml");
    const std::string second = files_.NewName("xml", ".xml");
    HostFolderFiles::Write(first, "<Zarn><A value=\"first\"/></Zarn>");
    HostFolderFiles::Write(second, "<Zarn><A value=\"second\"/></Zarn>");
    EXPECT_EQ(0, xml_.Unload());
    ASSERT_EQ(0, xml_.Load(first.c_str()));
    EXPECT_EQ(0, xml_.Load(second.c_str()));
    EXPECT_EQ("first", xml_.GetString("Zarn/A"));
    EXPECT_EQ(1, xml_.Unload());
    EXPECT_EQ("first", xml_.GetString("Zarn/A"));
    EXPECT_EQ(0, xml_.Unload());
    EXPECT_EQ("", xml_.GetString("Zarn/A"));
    EXPECT_EQ(0, xml_.Unload());
}

TEST_F(XmlSettingsTest, CreateNewWritesDeclarationAndEmptyRootOverAnyFile) {
    const std::string name = files_.NewName("xml", ".xml");
    HostFolderFiles::Write(name, "<Old><Stuff/></Old>");
    EXPECT_EQ(1, CXMLSettingsAPI::CreateNew("Zarn", name.c_str(), true));
    EXPECT_EQ(std::string(kDeclaration) + "<Zarn/>\n", HostFolderFiles::Read(name));
    EXPECT_EQ(CXMLSettingsAPI::kErrorInvalidArgument,
              ErrorCode([&] { CXMLSettingsAPI::CreateNew("Bad Root", name.c_str(), false); }));
    EXPECT_EQ(CXMLSettingsAPI::kErrorInvalidArgument,
              ErrorCode([&] { CXMLSettingsAPI::CreateNew("Zarn", "sub/x.xml", false); }));
}

TEST_F(XmlSettingsTest, SetStringCreatesPathsWithLayoutTextNodes) {
    const std::string name = LoadNew();
    ASSERT_EQ(1, xml_.SetString("Door", "%s/%s", "Zarn", "PtzChannel01/Preposition000/Name"));
    const std::string expected = std::string(kDeclaration) +
                                 "<Zarn><PtzChannel01>\n\t\t<Preposition000>\n\t\t\t\t"
                                 "<Name value=\"Door\">\n\t\t\t</Name>\n\t\t</Preposition000>"
                                 "\n\t</PtzChannel01>\n</Zarn>\n";
    EXPECT_EQ(expected, xml_.SerializeForTesting());

    // The same path again changes the attribute only.
    ASSERT_EQ(1, xml_.SetString("Gate", "Zarn/PtzChannel01/Preposition000/Name"));
    std::string renamed = expected;
    renamed.replace(renamed.find("Door"), 4, "Gate");
    EXPECT_EQ(renamed, xml_.SerializeForTesting());

    // An empty value is replaced by the next one.
    ASSERT_EQ(1, xml_.SetString("", "Zarn/PtzChannel01/Preposition000/Name"));
    EXPECT_EQ("", xml_.GetString("Zarn/PtzChannel01/Preposition000/Name"));
    ASSERT_EQ(1, xml_.SetString("Yard", "Zarn/PtzChannel01/Preposition000/Name"));

    // Text nodes and values survive a save and a load.
    ASSERT_EQ(1, xml_.Save());
    const std::string saved = HostFolderFiles::Read(name);
    CXMLSettingsAPI other;
    ASSERT_EQ(0, other.Load(name.c_str()));
    EXPECT_EQ("Yard", other.GetString("Zarn/PtzChannel01/Preposition000/Name"));
    EXPECT_EQ(saved, other.SerializeForTesting());
    EXPECT_EQ("", other.GetString("Zarn/PtzChannel01"));  // no "value" attribute
}

TEST_F(XmlSettingsTest, ValuesKeepSpecialCharactersThroughTheFile) {
    const std::string name = LoadNew();
    const std::string value = "a b & <c> \"q\" 'x' \xC3\xBC %s\ttab\nline";
    ASSERT_EQ(1, xml_.SetString(value.c_str(), "Zarn/V"));
    ASSERT_EQ(1, xml_.Save());
    CXMLSettingsAPI other;
    ASSERT_EQ(0, other.Load(name.c_str()));
    EXPECT_EQ(value, other.GetString("Zarn/V"));
}

TEST_F(XmlSettingsTest, PredicatesCreateAndSelectAttributes) {
    LoadNew();
    ASSERT_EQ(1, xml_.CreatePath("Zarn/A[@id=\"7\"]"));
    EXPECT_EQ(1, xml_.Exists("Zarn/A[@id=\"7\"]"));
    EXPECT_EQ(0, xml_.Exists("Zarn/A[@id=\"8\"]"));
    ASSERT_EQ(1, xml_.SetString("x", "Zarn/A[@id=\"8\"][@kind=\"%s\"]/B", "two words"));
    EXPECT_EQ("x", xml_.GetString("Zarn/A[@kind=\"two words\"]/B"));
    EXPECT_EQ(1, xml_.CreatePath("Zarn/A[@id=\"7\"]"));  // exists: nothing added
    const std::string text = xml_.SerializeForTesting();
    EXPECT_NE(std::string::npos, text.find("<A id=\"7\">"));
    EXPECT_NE(std::string::npos, text.find("<A id=\"8\" kind=\"two words\">"));
    EXPECT_EQ(text.find("<A id=\"7\">"), text.rfind("<A id=\"7\">"));
}

TEST_F(XmlSettingsTest, PathsThatCannotBeCreatedChangeNothing) {
    LoadNew();
    const std::string before = xml_.SerializeForTesting();
    EXPECT_EQ(0, xml_.CreatePath("Other/A"));
    EXPECT_EQ(0, xml_.CreatePath("Other"));
    EXPECT_EQ(0, xml_.CreatePath("Zarn/A[1]"));
    EXPECT_EQ(0, xml_.CreatePath("Zarn/9lives"));
    EXPECT_EQ(0, xml_.CreatePath("Zarn/A[@id=7]"));
    EXPECT_EQ(0, xml_.SetString("1", "Other/A"));
    EXPECT_EQ(before, xml_.SerializeForTesting());
}

TEST_F(XmlSettingsTest, RemoveTakesTheElementAndLeavesTheLayout) {
    LoadNew();
    EXPECT_EQ(0, xml_.Remove("Zarn/Missing"));
    ASSERT_EQ(1, xml_.SetString("1", "Zarn/A/B"));
    ASSERT_EQ(1, xml_.Remove("Zarn/A"));
    EXPECT_EQ(0, xml_.Exists("Zarn/A"));
    EXPECT_EQ(std::string(kDeclaration) + "<Zarn>\n</Zarn>\n", xml_.SerializeForTesting());
    EXPECT_EQ(0, xml_.Remove("Zarn"));  // the root stays
}

TEST_F(XmlSettingsTest, FailuresAreRaisedWithCodesAndReleaseTheLock) {
    LoadNew();
    const std::string before = xml_.SerializeForTesting();
    EXPECT_EQ(CXMLSettingsAPI::kErrorInvalidArgument,
              ErrorCode([&] { xml_.GetString("Zarn/A B"); }));
    EXPECT_EQ(CXMLSettingsAPI::kErrorInvalidArgument, ErrorCode([&] { xml_.Exists("1+1"); }));
    const std::string longPath = "Zarn/" + std::string(1019, 'A');  // 1024 characters
    EXPECT_EQ(CXMLSettingsAPI::kErrorInvalidArgument,
              ErrorCode([&] { xml_.SetString("1", "%s", longPath.c_str()); }));
    EXPECT_EQ(1, xml_.CreatePath("%s", longPath.substr(0, 1023).c_str()));
    xml_.Remove("%s", longPath.substr(0, 1023).c_str());
    EXPECT_EQ(CXMLSettingsAPI::kErrorInvalidText,
              ErrorCode([&] { xml_.SetString("bad\xFF", "Zarn/New/Value"); }));
    EXPECT_EQ(CXMLSettingsAPI::kErrorInvalidText,
              ErrorCode([&] { xml_.SetString("bell\x07", "Zarn/New/Value"); }));
    EXPECT_EQ(0, xml_.Exists("Zarn/New"));  // refused values create no path
    // The first lookup of CreatePath treats an error as a miss; the step itself is then refused.
    EXPECT_EQ(0, xml_.CreatePath("Zarn/A B"));

    // The document lock was released on the way out: another thread gets in.
    auto other = std::async(std::launch::async, [&] { return xml_.SetString("v", "Zarn/T"); });
    ASSERT_EQ(std::future_status::ready, other.wait_for(std::chrono::seconds(10)));
    EXPECT_EQ(1, other.get());
    EXPECT_NE(before, xml_.SerializeForTesting());
}

class AtomicSaveTest : public XmlSettingsTest {
protected:
    void TearDown() override { CHoltFileBase::SetBeforeRenameHookForTesting(nullptr); }
};

TEST_F(AtomicSaveTest, FailureBeforeRenameKeepsTheOldFileWhole) {
    const std::string name = LoadNew();
    ASSERT_EQ(1, xml_.SetString("old", "Zarn/A"));
    ASSERT_EQ(1, xml_.Save());
    const std::string old = HostFolderFiles::Read(name);
    ASSERT_EQ(0, ::chmod(HostFolderFiles::PathOf(name).c_str(), 0640));
    // What the platform keeps of it (Windows keeps only the write permission, for everybody).
    struct stat before {};
    ASSERT_EQ(0, ::stat(HostFolderFiles::PathOf(name).c_str(), &before));

    ASSERT_EQ(1, xml_.SetString("new", "Zarn/A"));
    std::string seenTarget;
    std::string seenTemp;
    CHoltFileBase::SetBeforeRenameHookForTesting([&](const std::string& tempPath) {
        seenTarget = HostFolderFiles::Read(name);
        seenTemp = HostFolderFiles::Read(tempPath.substr(HostFolderFiles::Folder().size()));
        return false;  // the "crash" between writing and renaming
    });
    EXPECT_EQ(CXMLSettingsAPI::kErrorWriteFault, ErrorCode([&] { xml_.Save(); }));
    EXPECT_EQ(old, seenTarget);
    EXPECT_EQ(xml_.SerializeForTesting(), seenTemp);  // the new content was complete
    EXPECT_EQ(old, HostFolderFiles::Read(name));
    EXPECT_TRUE(HostFolderFiles::TempFiles(name).empty());

    CHoltFileBase::SetBeforeRenameHookForTesting(nullptr);
    ASSERT_EQ(1, xml_.Save());
    EXPECT_EQ(xml_.SerializeForTesting(), HostFolderFiles::Read(name));
    EXPECT_TRUE(HostFolderFiles::TempFiles(name).empty());
    struct stat info {};
    ASSERT_EQ(0, ::stat(HostFolderFiles::PathOf(name).c_str(), &info));
    EXPECT_EQ(before.st_mode & 0777, info.st_mode & 0777);
}

TEST(HoltFileBaseTest, OpensOnlyExistingFilesAndBoundsReads) {
    HostFolderFiles files;
    CHoltFileBase file;
    EXPECT_FALSE(file.OpenForRead(nullptr));
    EXPECT_FALSE(file.OpenForRead(""));
    EXPECT_FALSE(file.OpenForRead(HostFolderFiles::Folder().c_str()));  // a folder
    const std::string name = files.NewName("holt", ".bin");
    EXPECT_FALSE(file.OpenForRead(HostFolderFiles::PathOf(name).c_str()));
    HostFolderFiles::Write(name, "0123456789");
    ASSERT_TRUE(file.OpenForRead(HostFolderFiles::PathOf(name).c_str()));
    EXPECT_EQ(10, file.GetSize());
    std::string data;
    EXPECT_FALSE(file.ReadAll(data, 9));
    EXPECT_TRUE(file.ReadAll(data, 10));
    EXPECT_EQ("0123456789", data);
}

// The document is loaded, used, saved and dropped by threads that end in between, as the host's
// threads do; each step must find the document usable and the next load must see the saved value.
TEST_F(XmlSettingsTest, ThreadsThatComeAndGoShareOneDocument) {
    const std::string name = files_.NewName("xml", ".xml");
    ASSERT_EQ(1, CXMLSettingsAPI::CreateNew("Zarn", name.c_str(), true));
    const auto onThread = [](const std::function<int32_t()>& step) {
        int32_t result = -100;
        std::thread([&] { result = step(); }).join();
        return result;
    };
    for (int round = 0; round < 3; ++round) {
        const std::string value = "v" + std::to_string(round);
        ASSERT_EQ(0, onThread([&] { return xml_.Load(name.c_str()); }));
        EXPECT_EQ(1, onThread([&] { return xml_.SetString(value.c_str(), "Zarn/A/B"); }));
        EXPECT_EQ(1, onThread([&] { return xml_.Save(); }));
        EXPECT_EQ(0, onThread([&] { return xml_.Unload(); }));
        CXMLSettingsAPI other;
        ASSERT_EQ(0, other.Load(name.c_str()));
        EXPECT_EQ(value, other.GetString("Zarn/A/B"));
    }
}

TEST_F(XmlSettingsTest, ConcurrentWritersAndSavesKeepEveryValue) {
    const std::string name = LoadNew();
    constexpr int kThreads = 4;
    constexpr int kValues = 25;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < kValues; ++i) {
                xml_.SetString(std::to_string(i).c_str(), "Zarn/T%d/V%d", t, i);
                if (i % 5 == 0) xml_.Save();
                xml_.GetString("Zarn/T%d/V%d", (t + 1) % kThreads, i);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    ASSERT_EQ(1, xml_.Save());
    CXMLSettingsAPI other;
    ASSERT_EQ(0, other.Load(name.c_str()));
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kValues; ++i) {
            EXPECT_EQ(std::to_string(i), other.GetString("Zarn/T%d/V%d", t, i));
        }
    }
    EXPECT_TRUE(HostFolderFiles::TempFiles(name).empty());
}

}  // namespace
