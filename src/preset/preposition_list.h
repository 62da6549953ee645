// CPrepositionList: the presets of one camera channel. It knows which camera preset slots are in
// use, the user's name for each, the order of creation (a preset's index is its position in that
// order) and the preset the head is currently at. The camera only knows numbered slots; the names
// live here and in the preset file (CXMLPrepositionReader).
//
// Embedded in a PTZ control. The control sets the camera interface and the maximum, then hands in
// the shared preset file with SetStorage (which loads the channel's presets). Host threads call
// every public operation; all of them take the list's recursive lock, and the camera's preset
// requests (IPrepositionComm) are made while it is held. Logging goes through the camera's Log.
//
// Result codes of AddPreposition: 1 added, updated or renamed, -3 invalid name, -18 no camera /
// camera refused / file write failed, -26 no room.
//
// Names: what the file can always carry and read back. A valid name is 1 to kMaxNameBytes bytes
// of valid UTF-8 without control characters and without any of kForbiddenNameChars; it is
// checked before the camera is asked for a slot, so a name that cannot be stored never takes one.
// The length limit keeps the file small: 32 presets on each of 99 channels with names of 255
// bytes make about 1.3 MB, a third of the 4 MiB a preset file may have to be read at all.
//
// The file's index numbers follow the list's indexes. When a load finds holes, duplicates or bad
// slots it rewrites the channel densely. A name read from a damaged file that the file could not
// carry again (bytes that are not UTF-8, control characters) is kept with those bytes replaced by
// U+FFFD, so that the rewrite can store it. A rewrite is all or nothing: when it cannot be saved
// the file stays as it was (logged), and until a rewrite has succeeded every later change rewrites
// the whole channel, so that no write can land on another preset's entry.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "core/smart_ptr.h"
#include "preset/preposition_comm.h"
#include "preset/xml_preposition_reader.h"
#include "thread/recursive_lock.h"

namespace talvane {

class CPrepositionList {
public:
    static constexpr int32_t kOk = 1;
    static constexpr int32_t kInvalidArgument = -3;
    static constexpr int32_t kFailed = -18;
    static constexpr int32_t kLimitReached = -26;
    // Largest number of preset slots a list manages (index numbers in the file have three digits).
    static constexpr uint32_t kMaxSlots = 1000;
    // Characters a preset name must not contain.
    static constexpr const char* kForbiddenNameChars = "&!<>'\"";
    // Longest preset name, in bytes.
    static constexpr size_t kMaxNameBytes = 255;

    explicit CPrepositionList(int32_t channel);
    CPrepositionList(const CPrepositionList&) = delete;
    CPrepositionList& operator=(const CPrepositionList&) = delete;

    // Run under the caller's hold of the list's lock.
    virtual bool StorePreposition(int32_t index, int32_t slot, const std::string& name);
    // Rewrites the channel's entries densely from index 0; true when every entry was written and
    // the file saved (true for an empty list). All or nothing: on failure the file is unchanged.
    virtual bool StoreAll();
    // Replaces the list with the channel's entries in the file (indexes 0..maximum-1; gaps close
    // up). Entries with a slot outside 0..maximum-1 or a slot already taken are skipped and
    // logged; names the file cannot carry are mended (logged); when anything was skipped, closed
    // up or mended, the channel is rewritten so that the file matches the list again.
    virtual void LoadAll();
    virtual ~CPrepositionList();

    // Takes a copy of the shared preset file and loads the channel's presets from it. Returns
    // whether `storage` held an object.
    virtual bool SetStorage(TSmartPtr<CXMLPrepositionReader> storage);
    // True when the list has a preset file that cannot be loaded now; every call tries again, and
    // a file that loads late is read into the list before this returns false.
    bool StorageFailed();
    virtual int32_t GetCount();
    virtual bool GetName(int32_t index, std::string& out);
    // Sends the head to the preset named `name` (`value` passes through to the camera). True when
    // the head is already there or the camera accepted the request.
    virtual bool GoTo(const std::string& name, int32_t value);
    // Stores the head's position under `name`: in the slot of the preset of that name when there
    // is one (the list keeps one entry for it); otherwise renames the current preset when the head
    // has not moved since it was added or called, or adds a preset in the lowest free slot.
    virtual int32_t AddPreposition(const std::string& name);
    virtual bool DeletePreposition(const std::string& name);
    virtual bool GetCurrentName(std::string& out);

    // Set by the control before SetStorage. The camera (borrowed) must outlive the list.
    void SetCamera(IPrepositionComm* camera);
    // Number of camera preset slots; capped at kMaxSlots.
    void SetMaximum(uint32_t maximum);
    uint32_t GetMaximum() const { return maximum_.load(std::memory_order_acquire); }
    // The head has moved: the next add creates a new preset.
    void ResetCurrent();
    // Renames the current preset (file only; the camera's preset keeps its number). Runs under
    // the caller's hold of the lock. 1, -3 (stale index) or -18.
    int32_t RenameCurrentPreposition(const std::string& name);

    // Not empty, at most kMaxNameBytes, valid UTF-8, no control characters (C0, DEL, C1), no
    // U+FFFE/U+FFFF, none of kForbiddenNameChars.
    static bool IsValidName(const std::string& name);
    int32_t Channel() const { return channel_; }

private:
    int32_t FindSlotLocked(const std::string& name) const;  // lowest slot with that name, or -1
    // The camera stores the head's position in `slot`, whose preset keeps its name. Under lock_.
    int32_t UpdatePrepositionLocked(int32_t slot, const std::string& name);
    // StoreAll, telling which list index could not be written (-1: none, or the save failed).
    // With `name`, the entry at `index` is written with that name instead of the list's.
    bool StoreAllLocked(int32_t* failedIndex, int32_t index = -1,
                        const std::string* name = nullptr);

    const int32_t channel_;
    std::atomic<IPrepositionComm*> camera_{nullptr};
    std::atomic<uint32_t> maximum_{0};
    TSmartPtr<CXMLPrepositionReader> storage_;  // guarded by lock_
    CRecursiveLock lock_;
    std::map<int32_t, std::string> names_;  // slot -> name
    std::vector<int32_t> order_;            // slots in creation order
    int32_t current_ = -1;                  // index into order_, or -1
    bool fileInLine_ = true;                // the file's index numbers match order_
    bool loaded_ = false;                   // LoadAll ran on the loaded file
};

}  // namespace talvane
