#include "preset/preposition_list.h"

#include <algorithm>
#include <utility>

namespace talvane {

namespace {
constexpr const char* kAddWhere = "talvane::CPrepositionList::AddPreposition";
constexpr const char* kRenameWhere = "talvane::CPrepositionList::RenameCurrentPreposition";
constexpr const char* kUpdateWhere = "talvane::CPrepositionList::UpdatePreposition";
constexpr const char* kLoadWhere = "talvane::CPrepositionList::LoadAll";
}  // namespace

CPrepositionList::CPrepositionList(int32_t channel) : channel_(channel) {}

CPrepositionList::~CPrepositionList() {
    CLockGuard guard(lock_);
    storage_.Release();
    names_.clear();
    order_.clear();
}

namespace {

constexpr uint32_t kNotUtf8 = 0xFFFFFFFFu;

// The character whose UTF-8 sequence starts at text[i], with the sequence's length; kNotUtf8 (and
// length 1) when the bytes there are not valid UTF-8 (overlong, surrogate, beyond U+10FFFF, cut).
uint32_t DecodeAt(const std::string& text, size_t i, size_t& length) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    length = 1;
    if (lead < 0x80) return lead;
    size_t count = 0;
    uint32_t code = 0;
    if ((lead & 0xE0) == 0xC0) {
        count = 2;
        code = lead & 0x1Fu;
    } else if ((lead & 0xF0) == 0xE0) {
        count = 3;
        code = lead & 0x0Fu;
    } else if ((lead & 0xF8) == 0xF0) {
        count = 4;
        code = lead & 0x07u;
    } else {
        return kNotUtf8;
    }
    if (i + count > text.size()) return kNotUtf8;
    for (size_t k = 1; k < count; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return kNotUtf8;
        code = (code << 6) | (byte(i + k) & 0x3Fu);
    }
    static constexpr uint32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kShortest[count] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        return kNotUtf8;
    }
    length = count;
    return code;
}

// A character the preset file can carry as XML text.
bool IsXmlCharacter(uint32_t code) {
    if (code == kNotUtf8 || code == 0xFFFE || code == 0xFFFF) return false;
    return code >= 0x20 || code == '\t' || code == '\n' || code == '\r';
}

// A character a new preset name may hold: XML text without any control character.
bool IsNameCharacter(uint32_t code) {
    return IsXmlCharacter(code) && code >= 0x20 && !(code >= 0x7F && code <= 0x9F);
}

// The name as the file can carry it: every byte or character it cannot (bytes that are not
// UTF-8, control characters other than tab and line breaks, U+FFFE, U+FFFF) becomes U+FFFD. Such
// names come only from damaged or hand-made files; the XML layer would refuse to store them again.
std::string StorableName(const std::string& name) {
    std::string out;
    out.reserve(name.size());
    for (size_t i = 0; i < name.size();) {
        size_t length = 1;
        const uint32_t code = DecodeAt(name, i, length);
        if (IsXmlCharacter(code)) {
            out.append(name, i, length);
        } else {
            out += "\xEF\xBF\xBD";  // U+FFFD
        }
        i += length;
    }
    return out;
}

// The name as the invalid-name log line shows it: an over-long name is cut (with "...").
std::string ShownName(const std::string& name) {
    if (name.size() <= CPrepositionList::kMaxNameBytes) return name;
    return name.substr(0, CPrepositionList::kMaxNameBytes) + "...";
}

}  // namespace

bool CPrepositionList::IsValidName(const std::string& name) {
    if (name.empty() || name.size() > kMaxNameBytes) return false;
    if (name.find_first_of(kForbiddenNameChars) != std::string::npos) return false;
    for (size_t i = 0; i < name.size();) {
        size_t length = 1;
        if (!IsNameCharacter(DecodeAt(name, i, length))) return false;
        i += length;
    }
    return true;
}

void CPrepositionList::SetCamera(IPrepositionComm* camera) {
    camera_.store(camera, std::memory_order_release);
}

void CPrepositionList::SetMaximum(uint32_t maximum) {
    maximum_.store(std::min(maximum, kMaxSlots), std::memory_order_release);
}

void CPrepositionList::ResetCurrent() {
    CLockGuard guard(lock_);
    current_ = -1;
}

bool CPrepositionList::StorePreposition(int32_t index, int32_t slot, const std::string& name) {
    if (!storage_) return false;
    // While the file's numbering differs from the list's, a single write at `index` could land on
    // another preset's entry: the whole channel is written instead.
    if (!fileInLine_) return StoreAllLocked(nullptr, index, &name);
    PrepositionEntry entry;
    entry.name = name;
    entry.slot = slot;
    return storage_->WritePreposition(channel_, index, entry);
}

bool CPrepositionList::StoreAll() {
    return StoreAllLocked(nullptr);
}

bool CPrepositionList::StoreAllLocked(int32_t* failedIndex, int32_t index,
                                      const std::string* name) {
    if (failedIndex != nullptr) *failedIndex = -1;
    if (!storage_) return false;
    std::vector<PrepositionEntry> entries(order_.size());
    for (size_t i = 0; i < order_.size(); ++i) {
        const auto stored = names_.find(order_[i]);
        entries[i].name = stored != names_.end() ? stored->second : std::string();
        entries[i].slot = order_[i];
    }
    if (name != nullptr && index >= 0 && static_cast<size_t>(index) < entries.size()) {
        entries[static_cast<size_t>(index)].name = *name;
    }
    // Auto save off, clear, write every entry, auto save on (one save); all or nothing.
    const bool stored = storage_->RewriteChannel(channel_, entries, failedIndex);
    if (stored) fileInLine_ = true;
    return stored;
}

void CPrepositionList::LoadAll() {
    CLockGuard guard(lock_);
    names_.clear();
    order_.clear();
    current_ = -1;
    loaded_ = storage_ && storage_->IsOpen();
    if (!loaded_) return;
    IPrepositionComm* camera = camera_.load(std::memory_order_acquire);
    const uint32_t maximum = GetMaximum();
    bool hole = false;        // an index without an entry was passed
    bool renumbered = false;  // list indexes no longer match the file's index numbers
    for (uint32_t index = 0; index < maximum; ++index) {
        PrepositionEntry entry;
        if (!storage_->ReadPreposition(channel_, static_cast<int32_t>(index), entry)) {
            if (entry.name.empty()) {
                hole = true;
                continue;
            }
            if (camera != nullptr) {
                camera->Log(kLogFailure,
                            "%s: The preset file holds a preposition \"%s\" (channel %d, index "
                            "%u) without a valid slot; it is left out.",
                            kLoadWhere, entry.name.c_str(), channel_, index);
            }
            renumbered = true;
            continue;
        }
        // Only slots the camera has, each once: a damaged or hand-edited file must not break the
        // list's invariants.
        if (entry.slot < 0 || static_cast<uint32_t>(entry.slot) >= maximum ||
            names_.count(entry.slot) != 0) {
            if (camera != nullptr) {
                camera->Log(kLogFailure,
                            "%s: The preset file holds a preposition \"%s\" (channel %d, index "
                            "%u) with slot %d, which is out of range or already used; it is left "
                            "out.",
                            kLoadWhere, entry.name.c_str(), channel_, index, entry.slot);
            }
            renumbered = true;
            continue;
        }
        if (hole) renumbered = true;
        // A name the file cannot carry again would make every later rewrite of the channel fail;
        // its offending bytes are replaced, the preset is kept, and the file is brought in line.
        const std::string storable = StorableName(entry.name);
        if (storable != entry.name) {
            if (camera != nullptr) {
                camera->Log(kLogFailure,
                            "%s: The preset file holds a preposition \"%s\" (channel %d, index "
                            "%u) with characters it cannot carry; they are replaced by U+FFFD.",
                            kLoadWhere, storable.c_str(), channel_, index);
            }
            renumbered = true;
        }
        names_[entry.slot] = storable;
        order_.push_back(entry.slot);
    }
    fileInLine_ = !renumbered;
    if (renumbered) {
        // Later adds and renames write at the list's index: bring the file in line first, so that
        // they cannot overwrite another preset's entry. A rewrite that cannot store an entry read
        // here leaves the file as it was; every preset read stays in it.
        int32_t failed = -1;
        const bool stored = StoreAllLocked(&failed);
        if (camera == nullptr) return;
        if (stored) {
            camera->Log(kLogNotice,
                        "%s: The prepositions of channel %d were renumbered in the preset file "
                        "(saved).",
                        kLoadWhere, channel_);
        } else if (failed >= 0) {
            camera->Log(kLogFailure,
                        "%s: The prepositions of channel %d could not be renumbered in the preset "
                        "file: the preposition \"%s\" (index %d) cannot be stored again; the "
                        "file is left as it was.",
                        kLoadWhere, channel_, names_[order_[static_cast<size_t>(failed)]].c_str(),
                        failed);
        } else {
            camera->Log(kLogFailure,
                        "%s: The prepositions of channel %d were renumbered but the preset file "
                        "could not be saved; it is left as it was.",
                        kLoadWhere, channel_);
        }
    }
}

bool CPrepositionList::SetStorage(TSmartPtr<CXMLPrepositionReader> storage) {
    const bool held = static_cast<bool>(storage);
    CLockGuard guard(lock_);
    storage_ = std::move(storage);
    if (storage_) LoadAll();
    return held;
}

bool CPrepositionList::StorageFailed() {
    CLockGuard guard(lock_);
    if (!storage_) return false;
    if (!storage_->EnsureOpen()) return true;
    if (!loaded_) LoadAll();
    return false;
}

int32_t CPrepositionList::GetCount() {
    CLockGuard guard(lock_);
    return static_cast<int32_t>(order_.size());
}

bool CPrepositionList::GetName(int32_t index, std::string& out) {
    out.clear();
    CLockGuard guard(lock_);
    if (index < 0 || static_cast<size_t>(index) >= order_.size()) return false;
    const auto name = names_.find(order_[static_cast<size_t>(index)]);
    if (name == names_.end()) return false;
    out = name->second;
    return true;
}

bool CPrepositionList::GetCurrentName(std::string& out) {
    out.clear();
    CLockGuard guard(lock_);
    if (current_ == -1) return false;
    return GetName(current_, out);
}

int32_t CPrepositionList::FindSlotLocked(const std::string& name) const {
    for (const auto& [slot, stored] : names_) {  // ascending slots: the lowest match wins
        if (stored == name) return slot;
    }
    return -1;
}

bool CPrepositionList::GoTo(const std::string& name, int32_t value) {
    if (name.empty()) return false;
    CLockGuard guard(lock_);
    const int32_t slot = FindSlotLocked(name);
    if (slot < 0) return false;
    const auto position = std::find(order_.begin(), order_.end(), slot);
    if (position == order_.end()) return false;
    const int32_t index = static_cast<int32_t>(position - order_.begin());
    if (index == current_) return true;  // the head is there already
    IPrepositionComm* camera = camera_.load(std::memory_order_acquire);
    if (camera == nullptr || !camera->CallPreposition(slot, name, value)) return false;
    current_ = index;
    return true;
}

int32_t CPrepositionList::AddPreposition(const std::string& name) {
    IPrepositionComm* camera = camera_.load(std::memory_order_acquire);
    if (camera == nullptr) return kFailed;
    if (!IsValidName(name)) {
        const std::string text = std::string(kAddWhere) + ": A preposition \"" + ShownName(name) +
                                 "\" cannot be added - the name is invalid.";
        camera->Log(kLogFailure, "%s", text.c_str());
        return kInvalidArgument;
    }
    CLockGuard guard(lock_);
    // A name in use means that preset, wherever the head is: a second entry of the same name
    // would never be reached by a go-to.
    if (const int32_t existing = FindSlotLocked(name); existing >= 0) {
        return UpdatePrepositionLocked(existing, name);
    }
    if (current_ != -1) return RenameCurrentPreposition(name);

    const uint32_t maximum = GetMaximum();
    if (order_.size() >= maximum) {
        camera->Log(kLogFailure,
                    "%s: A preposition \"%s\" cannot be added. Camera supports saving not more "
                    "than %u prepositions.",
                    kAddWhere, name.c_str(), maximum);
        return kLimitReached;
    }
    int32_t slot = -1;
    for (uint32_t candidate = 0; candidate < maximum; ++candidate) {
        if (names_.count(static_cast<int32_t>(candidate)) == 0) {
            slot = static_cast<int32_t>(candidate);
            break;
        }
    }
    if (slot < 0) return kLimitReached;
    if (!camera->SetPreposition(slot, name)) return kFailed;

    names_[slot] = name;
    order_.push_back(slot);
    current_ = static_cast<int32_t>(order_.size()) - 1;
    return StorePreposition(current_, slot, name) ? kOk : kFailed;
}

int32_t CPrepositionList::UpdatePrepositionLocked(int32_t slot, const std::string& name) {
    const auto position = std::find(order_.begin(), order_.end(), slot);
    IPrepositionComm* camera = camera_.load(std::memory_order_acquire);
    if (position == order_.end() || camera == nullptr) return kFailed;
    if (!camera->SetPreposition(slot, name)) return kFailed;
    // Name and slot are unchanged: the file already holds the entry.
    current_ = static_cast<int32_t>(position - order_.begin());
    camera->Log(kLogNotice, "%s: The preposition \"%s\" (index %d) now holds the current position.",
                kUpdateWhere, name.c_str(), current_);
    return kOk;
}

int32_t CPrepositionList::RenameCurrentPreposition(const std::string& name) {
    if (!IsValidName(name)) return kInvalidArgument;
    CLockGuard guard(lock_);  // recursive: normally held by the caller already
    if (current_ == -1) return kFailed;
    if (current_ < 0 || static_cast<size_t>(current_) >= order_.size()) return kInvalidArgument;
    const int32_t slot = order_[static_cast<size_t>(current_)];
    const auto stored = names_.find(slot);
    if (stored == names_.end()) return kFailed;
    const std::string oldName = stored->second;
    if (!StorePreposition(current_, slot, name)) return kFailed;
    IPrepositionComm* camera = camera_.load(std::memory_order_acquire);
    if (camera != nullptr) {
        camera->Log(kLogNotice,
                    "%s: A preposition with index %d was renamed from \"%s\" to \"%s\".",
                    kRenameWhere, current_, oldName.c_str(), name.c_str());
    }
    stored->second = name;
    return kOk;
}

bool CPrepositionList::DeletePreposition(const std::string& name) {
    if (name.empty()) return false;
    CLockGuard guard(lock_);
    const int32_t slot = FindSlotLocked(name);
    IPrepositionComm* camera = camera_.load(std::memory_order_acquire);
    if (slot < 0 || camera == nullptr) return false;
    if (camera->ClearPreposition(slot, name)) {
        names_.erase(slot);
        order_.erase(std::remove(order_.begin(), order_.end(), slot), order_.end());
    }
    current_ = -1;
    return StoreAll();
}

}  // namespace talvane
