#include "preset/preposition_list.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fake_preposition_comm.h"
#include "support/host_folder_files.h"
#include "xml/holt_file_base.h"

namespace {

using talvane::CPrepositionList;
using talvane::TSmartPtr;
using zarntest::HostFolderFiles;

class PrepositionListTest : public ::testing::Test {
protected:
    void SetUp() override { fileName_ = files_.NewName("Zarn_list", ".preset"); }

    TSmartPtr<CXMLPrepositionReader> OpenReader() {
        TSmartPtr<CXMLPrepositionReader> reader(new CXMLPrepositionReader("Zarn"));
        EXPECT_TRUE(reader->OpenFile(fileName_));
        return reader;
    }
    // A list on the shared file, as a control sets it up.
    std::unique_ptr<CPrepositionList> NewList(uint32_t maximum = 32) {
        auto list = std::make_unique<CPrepositionList>(0);
        list->SetCamera(&camera_);
        list->SetMaximum(maximum);
        EXPECT_TRUE(list->SetStorage(OpenReader()));
        return list;
    }
    std::vector<std::string> Names(CPrepositionList& list) {
        std::vector<std::string> names;
        std::string name;
        for (int32_t i = 0; list.GetName(i, name); ++i) names.push_back(name);
        return names;
    }
    // Adds a preset after a motion, so it is always a new one.
    int32_t AddNew(CPrepositionList& list, const std::string& name) {
        list.ResetCurrent();
        return list.AddPreposition(name);
    }
    size_t CountRequests(const std::string& kind) {
        size_t count = 0;
        for (const auto& request : camera_.Requests()) count += request.kind == kind ? 1 : 0;
        return count;
    }

    HostFolderFiles files_;
    std::string fileName_;
    zarntest::FakePrepositionComm camera_;
};

TEST_F(PrepositionListTest, SecondAddWithoutMotionRenamesTheFirst) {
    auto list = NewList();
    ASSERT_EQ(1, list->AddPreposition("Door"));
    ASSERT_EQ(1u, camera_.Requests().size());
    EXPECT_EQ(0, camera_.Requests()[0].slot);
    std::string current;
    ASSERT_TRUE(list->GetCurrentName(current));
    EXPECT_EQ("Door", current);

    ASSERT_EQ(1, list->AddPreposition("Gate"));
    EXPECT_EQ(1u, camera_.Requests().size());  // the camera is not asked again
    EXPECT_EQ(std::vector<std::string>{"Gate"}, Names(*list));
    ASSERT_FALSE(camera_.Lines().empty());
    EXPECT_EQ(3, camera_.Lines().back().level);
    EXPECT_EQ(
        "talvane::CPrepositionList::RenameCurrentPreposition: A preposition with index 0 was "
        "renamed from \"Door\" to \"Gate\".",
        camera_.Lines().back().text);

    ASSERT_EQ(1, AddNew(*list, "Yard"));
    EXPECT_EQ(1, camera_.Requests().back().slot);
    EXPECT_EQ((std::vector<std::string>{"Gate", "Yard"}), Names(*list));
}

TEST_F(PrepositionListTest, AddingANameInUseStoresThePositionInItsSlot) {
    auto list = NewList();
    ASSERT_EQ(1, AddNew(*list, "Door"));
    ASSERT_EQ(1, AddNew(*list, "Gate"));
    // After a motion, and while the head is still at another preset: Door's slot is set again.
    for (const bool moved : {true, false}) {
        if (moved) list->ResetCurrent();
        ASSERT_EQ(1, list->AddPreposition("Door"));
        EXPECT_EQ("set", camera_.Requests().back().kind);
        EXPECT_EQ(0, camera_.Requests().back().slot);
        EXPECT_EQ((std::vector<std::string>{"Door", "Gate"}), Names(*list));
        std::string current;
        ASSERT_TRUE(list->GetCurrentName(current));
        EXPECT_EQ("Door", current);
        // Gate is still where it was; a go-to Door from there goes to Door's slot.
        ASSERT_TRUE(list->GoTo("Gate", 0));
        EXPECT_EQ(1, camera_.Requests().back().slot);
    }
    ASSERT_TRUE(list->GoTo("Door", 0));
    EXPECT_EQ(0, camera_.Requests().back().slot);
    // The file holds each name once, and a camera that refuses leaves everything as it was.
    EXPECT_EQ((std::vector<std::string>{"Door", "Gate"}), Names(*NewList()));
    camera_.SetAccept(false);
    list->ResetCurrent();
    EXPECT_EQ(-18, list->AddPreposition("Gate"));
    EXPECT_EQ((std::vector<std::string>{"Door", "Gate"}), Names(*list));
}

TEST_F(PrepositionListTest, FreedSlotIsReusedAndAppended) {
    auto list = NewList();
    for (const char* name : {"A", "B", "C"}) ASSERT_EQ(1, AddNew(*list, name));
    ASSERT_TRUE(list->DeletePreposition("B"));
    EXPECT_EQ("clear", camera_.Requests().back().kind);
    EXPECT_EQ(1, camera_.Requests().back().slot);
    ASSERT_EQ(1, AddNew(*list, "D"));
    EXPECT_EQ(1, camera_.Requests().back().slot);
    EXPECT_EQ((std::vector<std::string>{"A", "C", "D"}), Names(*list));
}

TEST_F(PrepositionListTest, InvalidNamesAreRefusedAndLoggedAsText) {
    auto list = NewList();
    for (const std::string name : {"", "it's", "a&b", "a!b", "<a", "a>", "say \"x\"", "%n'%s"}) {
        EXPECT_EQ(-3, list->AddPreposition(name)) << name;
        ASSERT_FALSE(camera_.Lines().empty());
        EXPECT_EQ(1, camera_.Lines().back().level);
        EXPECT_EQ("talvane::CPrepositionList::AddPreposition: A preposition \"" + name +
                      "\" cannot be added - the name is invalid.",
                  camera_.Lines().back().text);
    }
    EXPECT_TRUE(camera_.Requests().empty());
    EXPECT_EQ(0, list->GetCount());
    EXPECT_EQ(1, AddNew(*list, "Front gate %s"));  // spaces and percent signs are fine
}

TEST_F(PrepositionListTest, NamesTheFileCannotCarryAreRefusedBeforeTheCameraIsAsked) {
    auto list = NewList();
    const std::string longest(CPrepositionList::kMaxNameBytes, 'n');
    const std::string tooLong = longest + "n";
    for (const std::string& name :
         {std::string("T\xFCr"), std::string("a\x01b"), std::string("tab\there"),
          std::string("del\x7F"), std::string("c1\xC2\x85"), std::string("\xEF\xBF\xBE"),
          std::string("\xED\xA0\x80"), std::string("\xC0\xAF"), tooLong}) {
        EXPECT_EQ(-3, AddNew(*list, name)) << name;
        ASSERT_FALSE(camera_.Lines().empty());
        EXPECT_EQ(1, camera_.Lines().back().level);
    }
    // An over-long name is shown cut in the log line.
    EXPECT_EQ("talvane::CPrepositionList::AddPreposition: A preposition \"" + longest +
                  "...\" cannot be added - the name is invalid.",
              camera_.Lines().back().text);
    EXPECT_TRUE(camera_.Requests().empty());  // no camera slot was taken

    ASSERT_EQ(1, AddNew(*list, "T\xC3\xBCr \xE6\x9D\xB1 \xF0\x9F\x8E\xA5"));
    EXPECT_EQ(-3, list->AddPreposition(tooLong));  // a rename is checked the same way
    ASSERT_EQ(1, AddNew(*list, longest));
    EXPECT_EQ(2u, camera_.Requests().size());
    auto reloaded = NewList();
    EXPECT_EQ((std::vector<std::string>{"T\xC3\xBCr \xE6\x9D\xB1 \xF0\x9F\x8E\xA5", longest}),
              Names(*reloaded));
}

TEST_F(PrepositionListTest, LimitAndCameraFailures) {
    auto list = NewList();
    for (int i = 0; i < 32; ++i) ASSERT_EQ(1, AddNew(*list, "P" + std::to_string(i)));
    EXPECT_EQ(-26, AddNew(*list, "P32"));
    EXPECT_EQ(1, camera_.Lines().back().level);
    EXPECT_EQ(
        "talvane::CPrepositionList::AddPreposition: A preposition \"P32\" cannot be added. "
        "Camera supports saving not more than 32 prepositions.",
        camera_.Lines().back().text);
    EXPECT_EQ(32, list->GetCount());

    auto other = NewList();
    camera_.SetAccept(false);
    ASSERT_TRUE(other->DeletePreposition("P0"));  // refused: list unchanged, file rewritten
    EXPECT_EQ(32, other->GetCount());
    ASSERT_TRUE(list->DeletePreposition("P0"));
    EXPECT_EQ(32, list->GetCount());

    CPrepositionList noCamera(0);
    noCamera.SetMaximum(32);
    EXPECT_EQ(-18, noCamera.AddPreposition("Door"));
    EXPECT_FALSE(noCamera.DeletePreposition("Door"));

    CPrepositionList refused(0);
    refused.SetCamera(&camera_);
    refused.SetMaximum(32);
    EXPECT_EQ(-18, refused.AddPreposition("Door"));
    EXPECT_EQ(0, refused.GetCount());
    camera_.SetAccept(true);
    EXPECT_EQ(-18, refused.AddPreposition("Door"));  // no storage: stays in the list
    EXPECT_EQ(1, refused.GetCount());
}

TEST_F(PrepositionListTest, GoToCallsTheCameraOnlyWhenTheHeadIsElsewhere) {
    auto list = NewList();
    ASSERT_EQ(1, AddNew(*list, "Door"));
    ASSERT_EQ(1, AddNew(*list, "Gate"));
    EXPECT_TRUE(list->GoTo("Gate", 9));
    EXPECT_EQ(0u, CountRequests("call"));
    ASSERT_TRUE(list->GoTo("Door", 9));
    EXPECT_EQ(0, camera_.Requests().back().slot);
    EXPECT_EQ(9, camera_.Requests().back().value);
    EXPECT_FALSE(list->GoTo("Nowhere", 0));
    EXPECT_FALSE(list->GoTo("", 0));
    camera_.SetAccept(false);
    EXPECT_FALSE(list->GoTo("Gate", 0));
    std::string current;
    ASSERT_TRUE(list->GetCurrentName(current));
    EXPECT_EQ("Door", current);
    list->ResetCurrent();
    EXPECT_FALSE(list->GetCurrentName(current));
    EXPECT_EQ("", current);
}

TEST_F(PrepositionListTest, DeletingTheOnlyPresetEmptiesTheChannel) {
    auto list = NewList();
    ASSERT_EQ(1, list->AddPreposition("Door"));
    EXPECT_NE(std::string::npos, HostFolderFiles::Read(fileName_).find("PtzChannel01"));
    EXPECT_FALSE(list->DeletePreposition("Gate"));
    ASSERT_TRUE(list->DeletePreposition("Door"));
    EXPECT_EQ(0, list->GetCount());
    EXPECT_EQ(std::string::npos, HostFolderFiles::Read(fileName_).find("PtzChannel01"));
}

TEST_F(PrepositionListTest, PresetsSurviveANewReaderOnTheSameFile) {
    {
        auto list = NewList();
        for (const char* name : {"Door", "Gate", "Yard"}) ASSERT_EQ(1, AddNew(*list, name));
        ASSERT_TRUE(list->DeletePreposition("Door"));
        ASSERT_EQ(1, AddNew(*list, "Porch"));  // slot 0 again
    }
    auto list = NewList();
    EXPECT_EQ((std::vector<std::string>{"Gate", "Yard", "Porch"}), Names(*list));
    std::string current;
    EXPECT_FALSE(list->GetCurrentName(current));
    ASSERT_TRUE(list->GoTo("Porch", 0));
    EXPECT_EQ(0, camera_.Requests().back().slot);
}

TEST_F(PrepositionListTest, DamagedEntriesAreSkippedAndTheFileRenumbered) {
    // Index 1 missing, a slot out of range, a negative slot, a duplicate and a slot that is not
    // a number.
    auto entry = [](int index, const char* name, const char* slot) {
        char text[160];
        std::snprintf(text, sizeof(text),
                      "<Preposition%03d><Name value=\"%s\"/><Slot value=\"%s\"/></Preposition%03d>",
                      index, name, slot, index);
        return std::string(text);
    };
    HostFolderFiles::Write(
        fileName_, "<Zarn><PtzChannel01>" + entry(0, "Door", "0") + entry(2, "Gate", "2") +
                       entry(3, "Far", "40") + entry(4, "Neg", "-1") + entry(5, "Twin", "2") +
                       entry(6, "Word", "two") + entry(7, "Yard", "5") + "</PtzChannel01></Zarn>");
    auto list = NewList();
    EXPECT_EQ((std::vector<std::string>{"Door", "Gate", "Yard"}), Names(*list));
    size_t skipped = 0;
    for (const auto& line : camera_.Lines()) skipped += line.level == 1 ? 1 : 0;
    EXPECT_EQ(4u, skipped);

    // The file now matches the list's indexes, so a new preset cannot overwrite another entry.
    ASSERT_EQ(1, AddNew(*list, "Porch"));
    EXPECT_EQ(1, camera_.Requests().back().slot);
    auto reloaded = NewList();
    EXPECT_EQ((std::vector<std::string>{"Door", "Gate", "Yard", "Porch"}), Names(*reloaded));
}

TEST_F(PrepositionListTest, TextTheFileCannotCarryMakesItDamagedAndKeepsItWhole) {
    // Names holding a control character reference and a byte that is not UTF-8: text an XML file
    // cannot carry, which the XML libraries of both builds refuse. The file counts as damaged: it
    // is kept whole as ".damaged" beside a new file, and the list starts empty.
    const std::string original =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Zarn><PtzChannel01>"
        "<Preposition000><Name value=\"Door\"/><Slot value=\"0\"/></Preposition000>"
        "<Preposition002><Name value=\"Bad&#1;\"/><Slot value=\"1\"/></Preposition002>"
        "<Preposition003><Name value=\"T\xFC\"/><Slot value=\"2\"/></Preposition003>"
        "</PtzChannel01></Zarn>\n";
    HostFolderFiles::Write(fileName_, original);
    auto list = NewList();
    EXPECT_TRUE(Names(*list).empty());
    ASSERT_TRUE(HostFolderFiles::Exists(fileName_ + ".damaged"));
    EXPECT_EQ(original, HostFolderFiles::Read(fileName_ + ".damaged"));
    ASSERT_EQ(1, AddNew(*list, "Door"));
    EXPECT_EQ(std::vector<std::string>{"Door"}, Names(*NewList()));
}

TEST_F(PrepositionListTest, ARenumberingThatCannotBeSavedLeavesTheFileAsItWas) {
    const std::string original =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Zarn><PtzChannel01>"
        "<Preposition000><Name value=\"Door\"/><Slot value=\"0\"/></Preposition000>"
        "<Preposition002><Name value=\"Gate\"/><Slot value=\"1\"/></Preposition002>"
        "</PtzChannel01></Zarn>\n";
    HostFolderFiles::Write(fileName_, original);
    CHoltFileBase::SetBeforeRenameHookForTesting([](const std::string&) { return false; });
    auto list = NewList();
    EXPECT_EQ((std::vector<std::string>{"Door", "Gate"}), Names(*list));
    EXPECT_EQ(original, HostFolderFiles::Read(fileName_));
    ASSERT_FALSE(camera_.Lines().empty());
    EXPECT_NE(std::string::npos, camera_.Lines().back().text.find("it is left as it was"));
    // Until the file is in line again, a change rewrites the whole channel, never one entry at an
    // index that belongs to another preset in the file.
    EXPECT_EQ(-18, AddNew(*list, "Yard"));
    EXPECT_EQ(original, HostFolderFiles::Read(fileName_));
    CHoltFileBase::SetBeforeRenameHookForTesting({});
    ASSERT_EQ(1, AddNew(*list, "Porch"));
    EXPECT_EQ((std::vector<std::string>{"Door", "Gate", "Yard", "Porch"}), Names(*NewList()));
}

TEST_F(PrepositionListTest, OnlyTheDeclarationsOwnEncodingCounts) {
    // "xencoding" is not the encoding: the bytes are UTF-8. Saving writes a declaration that
    // says so, and the name never changes, however often the file is saved and read.
    HostFolderFiles::Write(
        fileName_,
        "<?xml version=\"1.0\" xencoding=\"ISO-8859-1\"?>\n<Zarn><PtzChannel01>"
        "<Preposition000><Name value=\"T\xC3\xBCr\"/><Slot value=\"0\"/></Preposition000>"
        "</PtzChannel01></Zarn>\n");
    for (int round = 0; round < 3; ++round) {
        auto list = NewList();
        EXPECT_EQ(std::vector<std::string>{"T\xC3\xBCr"}, Names(*list)) << round;
        ASSERT_EQ(1, AddNew(*list, "P" + std::to_string(round)));
        ASSERT_TRUE(list->DeletePreposition("P" + std::to_string(round)));
    }
    EXPECT_EQ(0u, HostFolderFiles::Read(fileName_).rfind(
                      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Zarn>", 0));

    // A file that really is Latin-1 says so in its own encoding attribute.
    HostFolderFiles::Write(
        fileName_,
        "<?xml version='1.0' encoding = 'iso-8859-1'?>\n<Zarn><PtzChannel01>"
        "<Preposition000><Name value=\"T\xFCr\"/><Slot value=\"0\"/></Preposition000>"
        "</PtzChannel01></Zarn>\n");
    auto list = NewList();
    ASSERT_EQ(1, AddNew(*list, "Yard"));
    EXPECT_EQ((std::vector<std::string>{"T\xC3\xBCr", "Yard"}), Names(*NewList()));
}

TEST_F(PrepositionListTest, ConcurrentOperationsKeepListAndFileConsistent) {
    auto list = NewList();
    constexpr int kThreads = 4;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&list, t] {
            std::string name;
            for (int i = 0; i < 12; ++i) {
                const std::string mine = "T" + std::to_string(t) + "_" + std::to_string(i);
                list->ResetCurrent();
                list->AddPreposition(mine);
                list->GoTo(mine, i);
                list->GetName(i % 4, name);
                list->GetCurrentName(name);
                if (i % 3 == 0) list->DeletePreposition(mine);
            }
        });
    }
    for (auto& thread : threads) thread.join();

    const std::vector<std::string> names = Names(*list);
    EXPECT_EQ(static_cast<size_t>(list->GetCount()), names.size());
    EXPECT_LE(names.size(), 32u);
    EXPECT_EQ(names.size(), std::set<std::string>(names.begin(), names.end()).size());
    auto reloaded = NewList();
    EXPECT_EQ(names, Names(*reloaded));
}

}  // namespace
