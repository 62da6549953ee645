// Property of the preset file's load-modify-save cycle: whatever a driver did to its presets
// (random sequences of the host's preset operations, on random and damaged files), a new driver on
// the same file lists exactly, byte for byte, what the previous one reported, and the file always
// loads (it is never moved aside as damaged).
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "fake_preposition_comm.h"
#include "preset/preposition_list.h"
#include "support/host_folder_files.h"

namespace {

using talvane::CPrepositionList;
using talvane::TSmartPtr;
using zarntest::HostFolderFiles;

class PresetFileProperty {
public:
    explicit PresetFileProperty(uint32_t seed) : rng_(seed) {}

    // A name: mostly valid ones of every kind, sometimes one the list must refuse.
    std::string Name() {
        static const std::vector<std::string> kPieces = {"Door",
                                                         "gate",
                                                         "P1",
                                                         " ",
                                                         "%s",
                                                         "T\xC3\xBCr",
                                                         "\xE6\x9D\xB1\xE4\xBA\xAC",
                                                         "\xF0\x9F\x8E\xA5",
                                                         "-",
                                                         "_",
                                                         "0",
                                                         "Yard 2"};
        static const std::vector<std::string> kInvalid = {
            "",         "it's",         "a&b",
            "T\xFCr",   "x\x01",        "tab\t",
            "\xC0\xAF", "\xEF\xBF\xBF", std::string(CPrepositionList::kMaxNameBytes + 1, 'L')};
        if (Pick(10) == 0) return kInvalid[Pick(kInvalid.size())];
        if (Pick(8) == 0) {
            // Long, up to the limit, built of whole characters.
            std::string name;
            while (name.size() + 4 <= CPrepositionList::kMaxNameBytes && Pick(40) != 0) {
                name += kPieces[Pick(kPieces.size())];
            }
            return name.empty() ? "Long" : name;
        }
        std::string name = kPieces[Pick(kPieces.size())];
        if (Pick(2) == 0) name += kPieces[Pick(kPieces.size())];
        return name;
    }

    // A preset file as a hand edit, a crash of another program or a fuzzer may leave it.
    std::string DamagedFile() {
        static const std::vector<std::string> kDeclarations = {
            "", "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n",
            "<?xml version=\"1.0\" xencoding=\"ISO-8859-1\"?>\n",
            "<?xml version='1.0' encoding='ISO-8859-1'?>\n",
            "<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"yes\"?>\n"};
        static const std::vector<std::string> kNames = {
            "Door", "T\xC3\xBCr",          "T\xFC",       "Bad&#1;", "&#9;tab", "", "x&amp;y",
            "Gate", std::string(300, 'w'), "\xE6\x9D\xB1"};
        static const std::vector<std::string> kSlots = {"0",  "1",   "2", "31", "32",
                                                        "-1", "two", "",  "+3", "7"};
        std::string file = kDeclarations[Pick(kDeclarations.size())] + "<Zarn>";
        for (int channel = 1; channel <= 2; ++channel) {
            char channelTag[32];
            std::snprintf(channelTag, sizeof(channelTag), "PtzChannel%02d", channel);
            file += std::string("<") + channelTag + ">";
            const size_t entries = Pick(7);
            for (size_t e = 0; e < entries; ++e) {
                char tag[32];
                std::snprintf(tag, sizeof(tag), "Preposition%03u", static_cast<unsigned>(Pick(8)));
                file += std::string("<") + tag + ">";
                if (Pick(6) != 0) file += "<Name value=\"" + kNames[Pick(kNames.size())] + "\"/>";
                if (Pick(6) != 0) file += "<Slot value=\"" + kSlots[Pick(kSlots.size())] + "\"/>";
                file += std::string("</") + tag + ">";
            }
            file += std::string("</") + channelTag + ">";
        }
        file += "</Zarn>\n";
        if (Pick(12) == 0) file.resize(Pick(file.size()));  // cut short: not XML any more
        return file;
    }

    size_t Pick(size_t n) {
        return n == 0 ? 0 : std::uniform_int_distribution<size_t>(0, n - 1)(rng_);
    }

private:
    std::mt19937 rng_;
};

class PresetFilePropertyTest : public ::testing::Test {
protected:
    std::unique_ptr<CPrepositionList> NewList(const std::string& file) {
        reader_.Reset(new CXMLPrepositionReader("Zarn"));
        EXPECT_TRUE(reader_->OpenFile(file));
        auto list = std::make_unique<CPrepositionList>(0);
        list->SetCamera(&camera_);
        list->SetMaximum(32);
        list->SetStorage(reader_);
        return list;
    }
    static std::vector<std::string> Names(CPrepositionList& list) {
        std::vector<std::string> names;
        std::string name;
        for (int32_t i = 0; list.GetName(i, name); ++i) names.push_back(name);
        return names;
    }

    HostFolderFiles files_;
    TSmartPtr<CXMLPrepositionReader> reader_;
    zarntest::FakePrepositionComm camera_;
};

TEST_F(PresetFilePropertyTest, ANewDriverListsWhatThePreviousOneReported) {
    for (uint32_t seed = 1; seed <= 100; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        PresetFileProperty random(seed);
        const std::string file = files_.NewName("Zarn_property", ".preset");
        if (random.Pick(3) != 0) HostFolderFiles::Write(file, random.DamagedFile());

        // A file that cannot be read at all is moved aside once, by the first driver.
        auto list = NewList(file);
        const std::string damaged = HostFolderFiles::Exists(file + ".damaged")
                                        ? HostFolderFiles::Read(file + ".damaged")
                                        : std::string("(none)");
        camera_.SetAccept(true);
        const size_t steps = random.Pick(30);
        for (size_t step = 0; step < steps; ++step) {
            const std::vector<std::string> names = Names(*list);
            const std::string known =
                names.empty() ? random.Name() : names[random.Pick(names.size())];
            switch (random.Pick(7)) {
                case 0:
                case 1:
                    list->ResetCurrent();  // a motion: the next add makes a new preset
                    list->AddPreposition(random.Name());
                    break;
                case 2:
                    list->AddPreposition(random.Name());  // renames the current one, if any
                    break;
                case 3:
                    list->GoTo(known, 0);
                    break;
                case 4:
                    list->DeletePreposition(random.Pick(4) == 0 ? random.Name() : known);
                    break;
                case 5:
                    list->ResetCurrent();
                    break;
                case 6:
                    camera_.SetAccept(random.Pick(4) != 0);  // the camera refuses sometimes
                    break;
            }
        }
        const std::vector<std::string> reported = Names(*list);
        list.reset();
        reader_.Release();

        auto next = NewList(file);
        EXPECT_EQ(reported, Names(*next));
        EXPECT_EQ(damaged, HostFolderFiles::Exists(file + ".damaged")
                               ? HostFolderFiles::Read(file + ".damaged")
                               : std::string("(none)"));
        EXPECT_LT(HostFolderFiles::Read(file).size(), CXMLSettingsAPI::kMaxFileSize);
        next.reset();
        reader_.Release();
    }
}

}  // namespace
