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
    CLockGuard guard(lock_);
    if (!IsPlainFileName(fileName)) return false;
    fileName_ = fileName;
    folder_ = folder;
    return LoadLocked();
}

bool CXMLPrepositionReader::EnsureOpen() {
    CLockGuard guard(lock_);
    if (document_.IsLoaded()) return true;
    return !fileName_.empty() && LoadLocked();
}

bool CXMLPrepositionReader::KeepDamagedLocked(const std::string& path) {
    static constexpr const char* kWhere = "CXMLPrepositionReader::OpenFile";
    // The first free name of "<file>.damaged", "<file>.damaged.1", ...: no backup is overwritten.
    // A file that could not be kept aside at the last try is not reported again.
    for (int number = 0; number < kMaxDamagedBackups; ++number) {
        const std::string backup =
            path + ".damaged" + (number == 0 ? std::string() : "." + std::to_string(number));
        bool taken = false;
        if (CHoltFileBase::MoveToNewName(path, backup, &taken)) {
            if (log_ != nullptr) {
                log_->Log(talvane::kLogFailure,
                          "%s: The preset file \"%s\" is damaged; it was kept as \"%s\" and a "
                          "new file is created.",
                          kWhere, path.c_str(), backup.c_str());
            }
            return true;
        }
        if (!taken) break;
    }
    if (log_ != nullptr && lastFailure_ != CXMLSettingsAPI::kErrorNotSettingsFile) {
        log_->Log(talvane::kLogFailure,
                  "%s: The preset file \"%s\" is damaged and cannot be kept aside (the rename "
                  "failed, or all %d backup names are taken); it is left as it is.",
                  kWhere, path.c_str(), kMaxDamagedBackups);
    }
    return false;
}

bool CXMLPrepositionReader::LoadLocked() {
    static constexpr const char* kWhere = "CXMLPrepositionReader::OpenFile";
    try {
        const int32_t loaded = document_.Load(fileName_.c_str(), folder_);
        if (loaded == CXMLSettingsAPI::kErrorNotSettingsFile) {
            // Bytes the parser refuses: keep them aside so that the names can still be
            // recovered, then start a new file.
            if (!KeepDamagedLocked(CXMLSettingsAPI::FullPath(fileName_, folder_))) {
                lastFailure_ = loaded;
                return false;
            }
        } else if (loaded != 0 && loaded != CXMLSettingsAPI::kErrorFail) {
            // The library, memory or the disk failed: the file says nothing about itself and
            // stays as it is; the next use tries again.
            if (log_ != nullptr && loaded != lastFailure_) {
                log_->Log(talvane::kLogFailure,
                          "%s: The preset file \"%s\" cannot be loaded now (0x%08X); it is left "
                          "as it is and loaded again at the next use.",
                          kWhere, fileName_.c_str(), static_cast<unsigned>(loaded));
            }
            lastFailure_ = loaded;
            return false;
        }
        if (!document_.IsLoaded() &&
            CXMLSettingsAPI::CreateNew(name_.c_str(), fileName_.c_str(), true, folder_) == 1) {
            document_.Load(fileName_.c_str(), folder_);  // missing, empty, or just kept aside
        }
    } catch (const CXmlError&) {
        // A file that cannot be created counts as a failed open.
    }
    autoSave_ = document_.IsLoaded();
    if (autoSave_) lastFailure_ = 0;
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
