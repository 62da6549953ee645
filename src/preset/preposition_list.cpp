#include "preset/preposition_list.h"

#include <algorithm>
#include <utility>

namespace talvane {

namespace {
constexpr const char* kAddWhere = "talvane::CPrepositionList::AddPreposition";
constexpr const char* kRenameWhere = "talvane::CPrepositionList::RenameCurrentPreposition";
constexpr const char* kLoadWhere = "talvane::CPrepositionList::LoadAll";
}  // namespace

CPrepositionList::CPrepositionList(int32_t channel) : channel_(channel) {}

CPrepositionList::~CPrepositionList() {
    CLockGuard guard(lock_);
    storage_.Release();
    names_.clear();
    order_.clear();
}

bool CPrepositionList::IsValidName(const std::string& name) {
    return !name.empty() && name.find_first_of(kForbiddenNameChars) == std::string::npos;
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
    PrepositionEntry entry;
    entry.name = name;
    entry.slot = slot;
    return storage_->WritePreposition(channel_, index, entry);
}

bool CPrepositionList::StoreAll() {
    if (!storage_) return false;
    storage_->SetAutoSave(false);
    storage_->ClearChannel(channel_);  // false when the channel had no element yet
    bool written = true;
    for (size_t index = 0; index < order_.size(); ++index) {
        const auto name = names_.find(order_[index]);
        PrepositionEntry entry;
        entry.name = name != names_.end() ? name->second : std::string();
        entry.slot = order_[index];
        written = storage_->WritePreposition(channel_, static_cast<int32_t>(index), entry);
        if (!written) break;
    }
    // Turning auto save on writes the file once; a failed save is a failed rewrite.
    const bool saved = storage_->SetAutoSave(true);
    return written && saved;
}

void CPrepositionList::LoadAll() {
    CLockGuard guard(lock_);
    names_.clear();
    order_.clear();
    current_ = -1;
    if (!storage_) return;
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
        names_[entry.slot] = entry.name;
        order_.push_back(entry.slot);
    }
    if (renumbered) {
        // Later adds and renames write at the list's index: bring the file in line first, so that
        // they cannot overwrite another preset's entry.
        const bool stored = StoreAll();
        if (camera != nullptr) {
            camera->Log(stored ? kLogNotice : kLogFailure,
                        "%s: The prepositions of channel %d were renumbered in the preset file "
                        "(%s).",
                        kLoadWhere, channel_, stored ? "saved" : "not saved");
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
        const std::string text = std::string(kAddWhere) + ": A preposition \"" + name +
                                 "\" cannot be added - the name is invalid.";
        camera->Log(kLogFailure, "%s", text.c_str());
        return kInvalidArgument;
    }
    CLockGuard guard(lock_);
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
