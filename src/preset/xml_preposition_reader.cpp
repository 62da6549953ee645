#include "preset/xml_preposition_reader.h"

#include "http/text_utils.h"
#include "xml/holt_file_base.h"

using talvane::CLockGuard;

namespace {

constexpr const char* kEntryPath = "%s/%s%.2u/%s%.3u/%s";
constexpr const char* kChannelPath = "%s/%s%.2u";
constexpr const char* kChannelStep = "PtzChannel";
constexpr const char* kEntryStep = "Preposition";
// Settings files are at most 4 MiB: no file holds more copies of a channel's element.
constexpr int kMaxChannelCopies = 1 << 20;

bool IsPlainFileName(const std::string& fileName) {
    return !fileName.empty() && fileName.find_first_of("/\\") == std::string::npos;
}

// Channel numbers in the file are 1-based.
unsigned ChannelNumber(int32_t channel) {
    return static_cast<unsigned>(channel) + 1u;
}

}  // namespace

CXMLPrepositionReader::CXMLPrepositionReader(const std::string& name, IDebugMessage* log)
    : name_(name), log_(log) {}

CXMLPrepositionReader::~CXMLPrepositionReader() {
    CLockGuard guard(lock_);
    document_.Unload();
}

bool CXMLPrepositionReader::OpenFile(const std::string& fileName, const std::string& folder) {
    static constexpr const char* kWhere = "CXMLPrepositionReader::OpenFile";
    CLockGuard guard(lock_);
    if (!IsPlainFileName(fileName)) return false;
    try {
        if (document_.Load(fileName.c_str(), folder) != 0 && !document_.IsLoaded()) {
            // Missing and empty files are simply created. A file with content that cannot be
            // loaded is damaged: keep it aside so that its names can still be recovered.
            const std::string path = CXMLSettingsAPI::FullPath(fileName, folder);
            if (CHoltFileBase::ExistsNonEmpty(path)) {
                const std::string backup = path + ".damaged";
                if (!CHoltFileBase::Replace(path, backup)) {
                    if (log_ != nullptr) {
                        log_->Log(talvane::kLogFailure,
                                  "%s: The preset file \"%s\" is damaged and cannot be kept as "
                                  "\"%s\"; it is left as it is.",
                                  kWhere, path.c_str(), backup.c_str());
                    }
                    autoSave_ = false;
                    return false;
                }
                if (log_ != nullptr) {
                    log_->Log(talvane::kLogFailure,
                              "%s: The preset file \"%s\" is damaged; it was kept as \"%s\" and a "
                              "new file is created.",
                              kWhere, path.c_str(), backup.c_str());
                }
            }
            if (CXMLSettingsAPI::CreateNew(name_.c_str(), fileName.c_str(), true, folder) == 1) {
                document_.Load(fileName.c_str(), folder);
            }
        }
    } catch (const CXmlError&) {
        // A file that cannot be created counts as a failed open.
    }
    autoSave_ = document_.IsLoaded();
    if (autoSave_) {
        fileName_ = fileName;
        folder_ = folder;
    }
    return autoSave_;
}

bool CXMLPrepositionReader::RewriteChannel(int32_t channel,
                                           const std::vector<PrepositionEntry>& entries,
                                           int32_t* failedIndex) {
    if (failedIndex != nullptr) *failedIndex = -1;
    if (channel < 0) return false;
    CLockGuard guard(lock_);
    if (!document_.IsLoaded()) return false;
    const bool autoSave = autoSave_;
    autoSave_ = false;
    ClearChannel(channel);  // false when the channel had no element yet
    bool written = true;
    for (size_t index = 0; index < entries.size() && written; ++index) {
        written = WritePreposition(channel, static_cast<int32_t>(index), entries[index]);
        if (!written && failedIndex != nullptr) *failedIndex = static_cast<int32_t>(index);
    }
    autoSave_ = autoSave;
    if (written) {
        try {
            if (document_.Save() == 1) return true;
        } catch (const CXmlError&) {
        }
    }
    // Nothing of the rewrite may reach the file, not even with a later save: start again from
    // what the file holds.
    ReloadLocked();
    return false;
}

bool CXMLPrepositionReader::ReloadLocked() {
    if (fileName_.empty()) return false;
    while (document_.Unload() > 0) {
    }
    return document_.Load(fileName_.c_str(), folder_) == 0;
}

bool CXMLPrepositionReader::SetAutoSave(bool on) {
    CLockGuard guard(lock_);
    if (autoSave_ == on) return true;
    autoSave_ = on;
    if (!on) return true;
    try {
        return document_.Save() == 1;
    } catch (const CXmlError&) {
        return false;  // auto save stays on; the next change saves again
    }
}

bool CXMLPrepositionReader::ReadPreposition(int32_t channel, int32_t index,
                                            PrepositionEntry& entry) {
    entry.name.clear();
    entry.slot = 0;
    if (channel < 0 || index < 0) return false;
    CLockGuard guard(lock_);
    try {
        entry.name =
            document_.GetString(kEntryPath, name_.c_str(), kChannelStep, ChannelNumber(channel),
                                kEntryStep, static_cast<unsigned>(index), "Name");
        if (entry.name.empty()) return false;
        const std::string slot =
            document_.GetString(kEntryPath, name_.c_str(), kChannelStep, ChannelNumber(channel),
                                kEntryStep, static_cast<unsigned>(index), "Slot");
        return HUtils::ParseInt(slot, entry.slot);
    } catch (const CXmlError&) {
        return false;
    }
}

bool CXMLPrepositionReader::WritePreposition(int32_t channel, int32_t index,
                                             const PrepositionEntry& entry) {
    if (channel < 0 || index < 0) return false;
    CLockGuard guard(lock_);
    try {
        if (document_.SetString(entry.name.c_str(), kEntryPath, name_.c_str(), kChannelStep,
                                ChannelNumber(channel), kEntryStep, static_cast<unsigned>(index),
                                "Name") != 1) {
            return false;
        }
        const std::string slot = HUtils::FormatString("%d", entry.slot);
        if (document_.SetString(slot.c_str(), kEntryPath, name_.c_str(), kChannelStep,
                                ChannelNumber(channel), kEntryStep, static_cast<unsigned>(index),
                                "Slot") != 1) {
            return false;
        }
        return SaveIfAuto();
    } catch (const CXmlError&) {
        return false;
    }
}

bool CXMLPrepositionReader::ClearChannel(int32_t channel) {
    if (channel < 0) return false;
    CLockGuard guard(lock_);
    try {
        if (document_.Exists(kChannelPath, name_.c_str(), kChannelStep, ChannelNumber(channel)) !=
                1 ||
            document_.Remove(kChannelPath, name_.c_str(), kChannelStep, ChannelNumber(channel)) !=
                1) {
            return false;
        }
        // A damaged or hand-edited file may hold the channel more than once: every copy goes, or
        // the next one's entries would come back. Bounded by what a file can hold.
        for (int copies = 0; copies < kMaxChannelCopies &&
                             document_.Remove(kChannelPath, name_.c_str(), kChannelStep,
                                              ChannelNumber(channel)) == 1;
             ++copies) {
        }
        return SaveIfAuto();
    } catch (const CXmlError&) {
        return false;
    }
}

bool CXMLPrepositionReader::SaveIfAuto() {
    if (!autoSave_) return true;
    return document_.Save() == 1;
}
