// Fuzz target: the XML settings document and the preset file loading an arbitrary file, then one
// read, one write and one delete.
//
// Input: a mode byte, then the file's bytes, written beside the fuzz program (the host program's
// folder, where settings files live).
//   Even mode: a CXMLSettingsAPI loads the file; a read, a write and a removal go to paths picked
//     from a table by the mode's other bits; the document is saved. What Save wrote must load
//     again into the same document.
//   Odd mode: a preset file object opens the file (a damaged one must be kept aside unchanged as
//     "<file>.damaged"), reads an entry, writes one (which must read back, also from a second
//     object opening the saved file) and clears a channel (whose entries are gone afterwards).
// Failures of the document are CXmlError exceptions; anything else thrown is a finding.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "fuzz_support.h"
#include "preset/xml_preposition_reader.h"
#include "xml/xml_settings_api.h"

// Every save of the document flushes the file and its folder to disk. That is not what this target
// looks at, and it would make each input cost milliseconds, so flushes do nothing here.
extern "C" int fsync(int) {
    return 0;
}

namespace {

const char* const kReadPaths[] = {
    "Zarn/PtzChannel01/Preposition000/Name",
    "*/*/*/Slot",
    "*",
    "//Name[@value]",
};
const char* const kWritePaths[] = {
    "Zarn/PtzChannel01/Preposition000/Name",
    "*/PtzChannel02/Preposition001/Slot",
    "*/Item[@name=\"a b\"][@id=\"7\"]",
    "Other/Name",
};
const char* const kRemovePaths[] = {
    "Zarn/PtzChannel01",
    "*/*[1]",
    "*",
    "//Slot",
};
const char* const kValues[] = {"Door & <window> \"1\"", "", "\xC3\xA9t\xC3\xA9", "bad\x01text"};

class NullLog final : public IDebugMessage {
public:
    void Log(int32_t, const char* format, ...) override { ZARN_FUZZ_CHECK(format != nullptr); }
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

void RunDocument(const std::string& name, uint8_t mode) {
    CXMLSettingsAPI document;
    if (document.Load(name.c_str()) != 0) return;
    try {
        document.GetString("%s", kReadPaths[(mode >> 1) & 3]);
    } catch (const CXmlError&) {
    }
    try {
        document.SetString(kValues[(mode >> 5) & 3], "%s", kWritePaths[(mode >> 3) & 3]);
    } catch (const CXmlError&) {
    }
    try {
        document.Remove("%s", kRemovePaths[(mode >> 7) & 1]);
    } catch (const CXmlError&) {
    }
    const std::string before = document.SerializeForTesting();
    try {
        if (document.Save() != 1) return;
    } catch (const CXmlError&) {
        return;  // too large to be a settings file: nothing written
    }
    CXMLSettingsAPI reloaded;
    ZARN_FUZZ_CHECK(reloaded.Load(name.c_str()) == 0);
    ZARN_FUZZ_CHECK(reloaded.SerializeForTesting() == before);
}

void RunPresetFile(const std::string& name, const std::string& path, uint8_t mode,
                   const std::string& original) {
    NullLog log;
    CXMLPrepositionReader reader("Zarn", &log);
    const bool opened = reader.OpenFile(name);
    if (::access((path + ".damaged").c_str(), F_OK) == 0) {
        ZARN_FUZZ_CHECK(ReadFile(path + ".damaged") == original);
    }
    if (!opened) return;
    const int32_t channel = (mode >> 1) & 1;
    const int32_t index = (mode >> 2) & 3;
    PrepositionEntry entry;
    reader.ReadPreposition(channel, index, entry);

    const PrepositionEntry written{kValues[(mode >> 4) & 1], (mode & 0x40) != 0 ? -1 : 42};
    if (reader.WritePreposition(channel, index, written)) {
        PrepositionEntry back;
        ZARN_FUZZ_CHECK(reader.ReadPreposition(channel, index, back) || written.name.empty());
        ZARN_FUZZ_CHECK(back.name == written.name);
        if (!written.name.empty()) ZARN_FUZZ_CHECK(back.slot == written.slot);

        CXMLPrepositionReader second("Zarn", &log);
        ZARN_FUZZ_CHECK(second.OpenFile(name));
        PrepositionEntry stored;
        second.ReadPreposition(channel, index, stored);
        ZARN_FUZZ_CHECK(stored.name == written.name);
    }

    const int32_t cleared = (mode >> 7) & 1;
    if (reader.ClearChannel(cleared)) {
        PrepositionEntry gone;
        ZARN_FUZZ_CHECK(!reader.ReadPreposition(cleared, index, gone) && gone.name.empty());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string name = "xmlfuzz_" + std::to_string(::getpid()) + ".xml";
    static const std::string path = CXMLSettingsAPI::FullPath(name);

    zarnfuzz::InputReader input(data, size);
    const uint8_t mode = input.Byte();
    std::remove((path + ".damaged").c_str());
    WriteFile(path, input.Rest(), input.RestSize());
    const std::string original = ReadFile(path);

    if ((mode & 1) == 0) {
        RunDocument(name, mode);
    } else {
        RunPresetFile(name, path, mode, original);
    }
    std::remove(path.c_str());
    std::remove((path + ".damaged").c_str());
    return 0;
}
