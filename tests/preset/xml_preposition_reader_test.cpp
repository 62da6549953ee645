#include "preset/xml_preposition_reader.h"

#include <gtest/gtest.h>

#include <string>

#include "support/fake_driver.h"
#include "support/host_folder_files.h"
#include "xml/xml_settings_backend.h"

namespace {

using zarntest::HostFolderFiles;

constexpr const char* kDeclaration = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";

// A file with entries of channel 0 given as "<Preposition000>...</Preposition000>" text.
std::string FileWith(const std::string& entries) {
    return std::string(kDeclaration) + "<Zarn><PtzChannel01>" + entries +
           "</PtzChannel01></Zarn>\n";
}
std::string Entry(int index, const std::string& name, const std::string& slot) {
    char tag[32];
    std::snprintf(tag, sizeof(tag), "Preposition%03d", index);
    return std::string("<") + tag + "><Name value=\"" + name + "\"/><Slot value=\"" + slot +
           "\"/></" + tag + ">";
}

class PrepositionReaderTest : public ::testing::Test {
protected:
    HostFolderFiles files_;
    zarntest::FakeDriver log_;
};

TEST_F(PrepositionReaderTest, NewFileIsCreatedAndEachWriteIsSaved) {
    const std::string name = files_.NewName("Zarn_test", ".preset");
    CXMLPrepositionReader reader("Zarn", &log_);
    PrepositionEntry entry;
    EXPECT_FALSE(reader.WritePreposition(0, 0, {"Door", 0}));  // not open yet
    ASSERT_TRUE(reader.OpenFile(name));
    EXPECT_EQ(std::string(kDeclaration) + "<Zarn/>\n", HostFolderFiles::Read(name));

    ASSERT_TRUE(reader.WritePreposition(0, 0, {"Door", 0}));
    const std::string afterDoor = HostFolderFiles::Read(name);
    EXPECT_NE(std::string::npos, afterDoor.find("<Zarn><PtzChannel01>"));
    EXPECT_NE(std::string::npos, afterDoor.find("<Preposition000>"));
    EXPECT_NE(std::string::npos, afterDoor.find("<Name value=\"Door\">"));
    EXPECT_NE(std::string::npos, afterDoor.find("<Slot value=\"0\">"));
    ASSERT_TRUE(reader.WritePreposition(0, 1, {"Front gate", 3}));
    ASSERT_TRUE(reader.WritePreposition(1, 0, {"Other", 7}));

    CXMLPrepositionReader again("Zarn");
    ASSERT_TRUE(again.OpenFile(name));
    ASSERT_TRUE(again.ReadPreposition(0, 1, entry));
    EXPECT_EQ("Front gate", entry.name);
    EXPECT_EQ(3, entry.slot);
    ASSERT_TRUE(again.ReadPreposition(1, 0, entry));
    EXPECT_EQ("Other", entry.name);
    EXPECT_FALSE(again.ReadPreposition(0, 2, entry));
    EXPECT_EQ("", entry.name);
    EXPECT_FALSE(again.ReadPreposition(-1, 0, entry));
    EXPECT_TRUE(log_.Lines().empty());
}

TEST_F(PrepositionReaderTest, SlotsMustBeDecimalNumbers) {
    const std::string name = files_.NewName("Zarn_test", ".preset");
    HostFolderFiles::Write(
        name, FileWith(Entry(0, "Plus", "+5") + Entry(1, "Letter", "5a") + Entry(2, "Sign", "-") +
                       Entry(3, "Empty", "") + Entry(4, "Huge", "4294967296") +
                       "<Preposition005><Slot value=\"2\"/></Preposition005>"));
    CXMLPrepositionReader reader("Zarn");
    ASSERT_TRUE(reader.OpenFile(name));
    PrepositionEntry entry;
    ASSERT_TRUE(reader.ReadPreposition(0, 0, entry));
    EXPECT_EQ(5, entry.slot);
    for (int index : {1, 2, 3, 4}) {
        EXPECT_FALSE(reader.ReadPreposition(0, index, entry)) << index;
        EXPECT_FALSE(entry.name.empty()) << index;  // the name is still returned
        EXPECT_EQ(0, entry.slot);
    }
    EXPECT_FALSE(reader.ReadPreposition(0, 5, entry));  // no Name
    EXPECT_EQ("", entry.name);
}

TEST_F(PrepositionReaderTest, ClearChannelAndAutoSave) {
    const std::string name = files_.NewName("Zarn_test", ".preset");
    CXMLPrepositionReader reader("Zarn");
    ASSERT_TRUE(reader.OpenFile(name));
    const std::string empty = HostFolderFiles::Read(name);
    EXPECT_FALSE(reader.ClearChannel(0));
    EXPECT_EQ(empty, HostFolderFiles::Read(name));

    EXPECT_TRUE(reader.SetAutoSave(false));
    ASSERT_TRUE(reader.WritePreposition(0, 0, {"Door", 0}));
    EXPECT_EQ(empty, HostFolderFiles::Read(name));  // not saved while auto save is off
    EXPECT_TRUE(reader.SetAutoSave(true));
    EXPECT_NE(std::string::npos, HostFolderFiles::Read(name).find("Door"));

    ASSERT_TRUE(reader.ClearChannel(0));
    EXPECT_EQ(std::string::npos, HostFolderFiles::Read(name).find("PtzChannel01"));
    PrepositionEntry entry;
    EXPECT_FALSE(reader.ReadPreposition(0, 0, entry));
}

TEST_F(PrepositionReaderTest, DamagedFileIsKeptAsBackupAndReplaced) {
    const std::string name = files_.NewName("Zarn_test", ".preset");
    const std::string damaged = FileWith(Entry(0, "Door", "0")).substr(0, 70);  // cut short
    HostFolderFiles::Write(name + ".damaged", "an older backup");
    HostFolderFiles::Write(name, damaged);

    // A backup is never overwritten: the next free name takes the file.
    CXMLPrepositionReader reader("Zarn", &log_);
    ASSERT_TRUE(reader.OpenFile(name));
    EXPECT_EQ("an older backup", HostFolderFiles::Read(name + ".damaged"));
    EXPECT_EQ(damaged, HostFolderFiles::Read(name + ".damaged.1"));
    EXPECT_EQ(std::string(kDeclaration) + "<Zarn/>\n", HostFolderFiles::Read(name));
    ASSERT_EQ(1u, log_.Lines().size());
    EXPECT_EQ(1, log_.Lines()[0].level);
    EXPECT_NE(std::string::npos, log_.Lines()[0].text.find(name + ".damaged.1"));
    EXPECT_TRUE(reader.WritePreposition(0, 0, {"Door", 0}));

    HostFolderFiles::Write(name, "not a preset file");
    CXMLPrepositionReader third("Zarn", &log_);
    ASSERT_TRUE(third.OpenFile(name));
    EXPECT_EQ("not a preset file", HostFolderFiles::Read(name + ".damaged.2"));
    EXPECT_EQ(damaged, HostFolderFiles::Read(name + ".damaged.1"));

    // Missing and empty files are no damage: nothing is backed up.
    const std::string emptyName = files_.NewName("Zarn_test", ".preset");
    HostFolderFiles::Write(emptyName, "");
    CXMLPrepositionReader second("Zarn", &log_);
    EXPECT_TRUE(second.OpenFile(emptyName));
    EXPECT_FALSE(HostFolderFiles::Exists(emptyName + ".damaged"));
    EXPECT_EQ(2u, log_.Lines().size());
}

TEST_F(PrepositionReaderTest, LibraryFailureLeavesTheFileAndALaterUseLoadsIt) {
    const std::string name = files_.NewName("Zarn_test", ".preset");
    HostFolderFiles::Write(name, FileWith(Entry(0, "Door", "0")));
    const std::string before = HostFolderFiles::Read(name);
    struct Injection {
        Injection() { xml_backend::SetLibraryFailureForTesting(true); }
        ~Injection() { xml_backend::SetLibraryFailureForTesting(false); }
    };

    CXMLPrepositionReader reader("Zarn", &log_);
    {
        const Injection failing;
        EXPECT_FALSE(reader.OpenFile(name));
        EXPECT_FALSE(reader.EnsureOpen());
        EXPECT_FALSE(reader.WritePreposition(0, 1, {"Gate", 1}));
    }
    EXPECT_EQ(before, HostFolderFiles::Read(name));
    EXPECT_FALSE(HostFolderFiles::Exists(name + ".damaged"));
    ASSERT_EQ(1u, log_.Lines().size());  // once, however often it is tried
    EXPECT_EQ(1, log_.Lines()[0].level);

    ASSERT_TRUE(reader.EnsureOpen());
    PrepositionEntry entry;
    ASSERT_TRUE(reader.ReadPreposition(0, 0, entry));
    EXPECT_EQ("Door", entry.name);
    EXPECT_TRUE(reader.WritePreposition(0, 1, {"Gate", 1}));
}

TEST_F(PrepositionReaderTest, FileNamesWithFoldersAreRefused) {
    CXMLPrepositionReader reader("Zarn", &log_);
    EXPECT_FALSE(reader.OpenFile("../Zarn_x_80.preset"));
    EXPECT_FALSE(reader.OpenFile(""));
    EXPECT_FALSE(reader.IsOpen());
    PrepositionEntry entry;
    EXPECT_FALSE(reader.ReadPreposition(0, 0, entry));
    EXPECT_FALSE(reader.WritePreposition(0, 0, {"Door", 0}));
}

}  // namespace

namespace {

// Inputs the fuzz target (fuzz/xml_settings_fuzz.cpp, preset file mode) found, one case each.
TEST_F(PrepositionReaderTest, FuzzRegression) {
    // A hand-edited or damaged file with the channel's element twice: clearing the channel must
    // take both, or the second one's presets come back once the first is gone.
    const std::string name = files_.NewName("Zarn_fuzz", ".preset");
    HostFolderFiles::Write(name, std::string(kDeclaration) + "<Zarn><PtzChannel01>" +
                                     Entry(0, "Door", "0") + "</PtzChannel01><PtzChannel01>" +
                                     Entry(0, "Gate", "1") + Entry(1, "Yard", "2") +
                                     "</PtzChannel01></Zarn>\n");
    CXMLPrepositionReader reader("Zarn", &log_);
    ASSERT_TRUE(reader.OpenFile(name));
    ASSERT_TRUE(reader.ClearChannel(0));
    PrepositionEntry entry;
    EXPECT_FALSE(reader.ReadPreposition(0, 0, entry));
    EXPECT_FALSE(reader.ReadPreposition(0, 1, entry));
    CXMLPrepositionReader again("Zarn");
    ASSERT_TRUE(again.OpenFile(name));
    EXPECT_FALSE(again.ReadPreposition(0, 1, entry));
    EXPECT_FALSE(again.ClearChannel(0));
}

}  // namespace
