// The settings file format, checked against fixed bytes. This suite runs unchanged on the Linux
// build (pugixml) and the Windows build (MSXML): both must write exactly these bytes, and each must
// read what the other wrote.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "support/host_folder_files.h"
#include "xml/xml_settings_api.h"

namespace {

using zarntest::HostFolderFiles;

// What a preset file looks like after the operations of RunPresetSession.
constexpr const char kSessionFile[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<Zarn><PtzChannel01>\n"
    "\t\t<Preposition000>\n"
    "\t\t\t\t<Name value=\"Door\">\n"
    "\t\t\t</Name>\n"
    "\t\t\t\t<Slot value=\"5\">\n"
    "\t\t\t</Slot>\n"
    "\t\t</Preposition000>\n"
    "\t\t\n"
    "\t\t<Preposition002>\n"
    "\t\t\t\t<Name value=\"temp\">\n"
    "\t\t\t</Name>\n"
    "\t\t</Preposition002>\n"
    "\t</PtzChannel01>\n"
    "<PtzChannel02>\n"
    "\t\t<Preposition000>\n"
    "\t\t\t\t<Name value=\"Tor &amp; &lt;Hof> &quot;S\xC3\xBC"
    "d&quot; 'x' &#09;&#13;&#10; \xF0\x9F\x93\xB7\">\n"
    "\t\t\t</Name>\n"
    "\t\t</Preposition000>\n"
    "\t</PtzChannel02>\n"
    "<Group id=\"7\" kind=\"two words\">\n"
    "\t\t<Item>\n"
    "\t\t</Item>\n"
    "\t</Group>\n"
    "</Zarn>\n";

// A value with everything that needs escaping, a non-ASCII letter and a character outside the
// 16-bit range (a surrogate pair in MSXML).
const std::string kAwkwardName =
    "Tor & <Hof> \"S\xC3\xBC"
    "d\" 'x' \t\r\n \xF0\x9F\x93\xB7";

// A file as a person or another program might write it: byte order mark, CR LF line ends,
// single quotes, comments, character references, a CDATA section, an empty element with an end
// tag.
constexpr const char kForeignFile[] =
    "\xEF\xBB\xBF<?xml version='1.0' encoding='UTF-8'?>\r\n"
    "<!-- presets -->\r\n"
    "<Zarn>\r\n"
    "\t<PtzChannel01 note='a&#9;b&#x41;&#10;'>\r\n"
    "\t\t<Preposition000><Name value='Door &amp; gate'/><Slot value=\"1\"></Slot>"
    "</Preposition000><!-- x --><Raw><![CDATA[<kept>&]]>&#13;&gt;</Raw>\r\n"
    "\t</PtzChannel01>\r\n"
    "</Zarn>\r\n";

// kForeignFile as Save writes it back.
constexpr const char kForeignFileSaved[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<Zarn>\n"
    "\t<PtzChannel01 note=\"a&#09;bA&#10;\">\n"
    "\t\t<Preposition000><Name value=\"Door &amp; gate\"/><Slot value=\"1\"/></Preposition000>"
    "<Raw><![CDATA[<kept>&]]>&#13;&gt;</Raw>\n"
    "\t</PtzChannel01>\n"
    "</Zarn>\n";

class XmlFileFormatTest : public ::testing::Test {
protected:
    std::string NewFile(const std::string& content) {
        const std::string name = files_.NewName("format", ".xml");
        HostFolderFiles::Write(name, content);
        return name;
    }
    static int32_t ErrorCode(const std::function<void()>& operation) {
        try {
            operation();
        } catch (const CXmlError& error) {
            return error.Code();
        }
        return 0;
    }

    HostFolderFiles files_;
};

// Creates, changes and removes entries the way the preset file does, then saves.
void RunPresetSession(CXMLSettingsAPI& xml) {
    const char* const kEntry = "Zarn/PtzChannel%02u/Preposition%03u/%s";
    ASSERT_EQ(1, xml.SetString("Door", kEntry, 1u, 0u, "Name"));
    ASSERT_EQ(1, xml.SetString("0", kEntry, 1u, 0u, "Slot"));
    ASSERT_EQ(1, xml.SetString("Front gate", kEntry, 1u, 1u, "Name"));
    ASSERT_EQ(1, xml.SetString("3", kEntry, 1u, 1u, "Slot"));
    ASSERT_EQ(1, xml.SetString(kAwkwardName.c_str(), kEntry, 2u, 0u, "Name"));
    ASSERT_EQ(1, xml.CreatePath("Zarn/Group[@id=\"7\"][@kind=\"two words\"]/Item"));
    ASSERT_EQ(1, xml.SetString("temp", kEntry, 1u, 2u, "Name"));
    ASSERT_EQ(1, xml.Remove("Zarn/PtzChannel01/Preposition001"));
    ASSERT_EQ(1, xml.SetString("", kEntry, 1u, 0u, "Slot"));
    ASSERT_EQ(1, xml.SetString("5", kEntry, 1u, 0u, "Slot"));
    ASSERT_EQ(1, xml.Save());
}

TEST_F(XmlFileFormatTest, EveryBuildWritesTheSameBytes) {
    const std::string name = files_.NewName("format", ".xml");
    ASSERT_EQ(1, CXMLSettingsAPI::CreateNew("Zarn", name.c_str(), true));
    EXPECT_EQ("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Zarn/>\n", HostFolderFiles::Read(name));
    CXMLSettingsAPI xml;
    ASSERT_EQ(0, xml.Load(name.c_str()));
    RunPresetSession(xml);
    EXPECT_EQ(kSessionFile, HostFolderFiles::Read(name));
    EXPECT_EQ(kSessionFile, xml.SerializeForTesting());
}

TEST_F(XmlFileFormatTest, FileOfTheOtherBuildReadsBackByteForByte) {
    const std::string name = NewFile(kSessionFile);
    CXMLSettingsAPI xml;
    ASSERT_EQ(0, xml.Load(name.c_str()));
    EXPECT_EQ(kAwkwardName, xml.GetString("Zarn/PtzChannel02/Preposition000/Name"));
    EXPECT_EQ("5", xml.GetString("Zarn/PtzChannel01/Preposition000/Slot"));
    EXPECT_EQ(1, xml.Exists("Zarn/Group[@kind=\"two words\"]/Item"));
    EXPECT_EQ(0, xml.Exists("Zarn/PtzChannel01/Preposition001"));
    ASSERT_EQ(1, xml.Save());
    EXPECT_EQ(kSessionFile, HostFolderFiles::Read(name));

    // A change after the load lays out the new element as on the build that wrote the file.
    ASSERT_EQ(1, xml.SetString("Gate", "Zarn/PtzChannel02/Preposition001/Name"));
    ASSERT_EQ(1, xml.Save());
    std::string expected = kSessionFile;
    const std::string anchor = "\t\t</Preposition000>\n\t</PtzChannel02>";
    expected.replace(expected.find(anchor), anchor.size(),
                     "\t\t</Preposition000>\n\t\t<Preposition001>\n\t\t\t\t<Name "
                     "value=\"Gate\">\n\t\t\t</Name>\n\t\t</Preposition001>\n\t</PtzChannel02>");
    EXPECT_EQ(expected, HostFolderFiles::Read(name));
}

TEST_F(XmlFileFormatTest, ForeignFileIsReadAndWrittenInTheCommonForm) {
    const std::string name = NewFile(kForeignFile);
    CXMLSettingsAPI xml;
    ASSERT_EQ(0, xml.Load(name.c_str()));
    EXPECT_EQ("Door & gate", xml.GetString("Zarn/PtzChannel01/Preposition000/Name"));
    EXPECT_EQ("1", xml.GetString("Zarn/PtzChannel01/Preposition000/Slot"));
    ASSERT_EQ(1, xml.Save());
    EXPECT_EQ(kForeignFileSaved, HostFolderFiles::Read(name));
}

// Files saved by editors in another encoding are read as they declare and written back as UTF-8.
TEST_F(XmlFileFormatTest, OtherEncodingsAreReadAndWrittenAsUtf8) {
    const std::string latin1 = NewFile(
        "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<Zarn><A value=\"T\xFCr\"/></Zarn>");
    std::string utf16 = "\xFF\xFE";  // UTF-16 little endian with byte order mark
    for (const char c : std::string("<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n<Zarn><A "
                                    "value=\"T\xFCr\"/></Zarn>")) {
        utf16 += c;
        utf16 += '\0';
    }
    const std::string wide = NewFile(utf16);
    for (const std::string& name : {latin1, wide}) {
        CXMLSettingsAPI xml;
        ASSERT_EQ(0, xml.Load(name.c_str())) << name;
        EXPECT_EQ("T\xC3\xBCr", xml.GetString("Zarn/A"));
        ASSERT_EQ(1, xml.Save());
        EXPECT_EQ(
            "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Zarn><A value=\"T\xC3\xBCr\"/></Zarn>\n",
            HostFolderFiles::Read(name));
    }
}

TEST_F(XmlFileFormatTest, SelectionsOtherThanElementsCarryNoValue) {
    const std::string name = NewFile(kForeignFileSaved);
    CXMLSettingsAPI xml;
    ASSERT_EQ(0, xml.Load(name.c_str()));
    // An attribute is not a node of the tree; text nodes are, but hold no "value".
    EXPECT_EQ(0, xml.Exists("Zarn/PtzChannel01/@note"));
    EXPECT_EQ(1, xml.Exists("Zarn/PtzChannel01/text()"));
    EXPECT_EQ("", xml.GetString("Zarn/PtzChannel01/text()"));
    EXPECT_EQ(0, xml.SetString("x", "Zarn/PtzChannel01/text()"));
    EXPECT_EQ(0, xml.Remove("/"));  // the document node has no parent
    EXPECT_EQ(CXMLSettingsAPI::kErrorInvalidArgument,
              ErrorCode([&] { xml.Exists("Zarn/A[@id=\"\xFF\"]"); }));
    ASSERT_EQ(1, xml.Save());
    EXPECT_EQ(kForeignFileSaved, HostFolderFiles::Read(name));
}

// Files that one XML library would take and the other would not are refused by both builds, so
// that a file never loads on one and counts as damaged on the other.
TEST_F(XmlFileFormatTest, FilesTheLibrariesDisagreeOnAreRefused) {
    const char* const contents[] = {
        "<!DOCTYPE Zarn><Zarn/>",
        "<!DOCTYPE Zarn [<!ENTITY e 'x'>]><Zarn>&e;</Zarn>",
        "<Zarn a=\"1\" a=\"2\"/>",
        "<Zarn a=\"\xFF\"/>",
        "<Zarn>\xC3</Zarn>",
        "<Zarn a=\"&#1;\"/>",
        "<Zarn>bell\x07</Zarn>",
        "<Zarn/><?xml version=\"1.0\"?>",
        "<?xml version=\"1.0\"?><?xml version=\"1.0\"?><Zarn/>",
        "  \r\n",
    };
    for (const char* content : contents) {
        const std::string name = NewFile(content);
        CXMLSettingsAPI xml;
        EXPECT_EQ(CXMLSettingsAPI::kErrorNotSettingsFile, xml.Load(name.c_str())) << content;
        EXPECT_FALSE(xml.IsLoaded()) << content;
    }
}

TEST_F(XmlFileFormatTest, SaveRefusesADocumentLargerThanLoadAccepts) {
    const std::string name = NewFile("<Zarn/>");
    CXMLSettingsAPI xml;
    ASSERT_EQ(0, xml.Load(name.c_str()));
    const std::string huge(static_cast<size_t>(CXMLSettingsAPI::kMaxFileSize), 'x');
    ASSERT_EQ(1, xml.SetString(huge.c_str(), "Zarn/Big"));
    EXPECT_EQ(CXMLSettingsAPI::kErrorWriteFault, ErrorCode([&] { xml.Save(); }));
    EXPECT_TRUE(HostFolderFiles::Read(name) == "<Zarn/>");  // (no megabytes in the log)
    ASSERT_EQ(1, xml.Remove("Zarn/Big"));
    EXPECT_EQ(1, xml.Save());
}

}  // namespace
