// CXMLPrepositionReader: the preset file. Keeps the user's names of the camera's presets per
// channel and per index, so that they survive restarts of the host:
//
//   <Zarn>                                  root element, named by the constructor
//     <PtzChannel01>                        channel 0 (1-based, two digits)
//       <Preposition000>                    index 0 in the channel's preset list (three digits)
//         <Name value="Door"/>
//         <Slot value="0"/>                 camera slot, 0-based, decimal
//
// One object per PTZ handler, shared by the preset lists of all channels through TSmartPtr. Each
// successful write or removal saves the file while auto save is on; a bulk rewrite turns it off
// and on again, which saves once.
//
// A file whose bytes the parser refuses is not overwritten: OpenFile renames it to the first free
// name of "<file>.damaged", "<file>.damaged.1", ... "<file>.damaged.99" (a backup is never
// replaced; with all of them taken the file stays and the open fails), logs that at level 1
// through the optional log, and creates a fresh file. Any other failure to load (the XML library
// or COM cannot start, no memory, a read error) leaves the file as it is; the reader stays closed
// and EnsureOpen tries again, so that the next use of the presets may still find them.
//
// Failures are reported as false; errors of the XML document never leave this class. Every
// operation takes the reader's own recursive lock, so any host thread may call it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/idriver.h"
#include "thread/recursive_lock.h"
#include "xml/xml_settings_api.h"

struct PrepositionEntry {
    std::string name;
    int32_t slot = 0;  // camera preset slot, 0-based
};

class CXMLPrepositionReader {
public:
    // `name` is the root element's name ("Zarn"). `log` (borrowed, may be null) hears about a
    // damaged file; it must outlive the reader.
    explicit CXMLPrepositionReader(const std::string& name, IDebugMessage* log = nullptr);
    virtual ~CXMLPrepositionReader();
    CXMLPrepositionReader(const CXMLPrepositionReader&) = delete;
    CXMLPrepositionReader& operator=(const CXMLPrepositionReader&) = delete;

    // Loads the file from `folder` (the host program's folder when empty), creating it
    // (declaration and empty root) when it is missing or empty, or after moving a damaged one
    // aside. True when the file is loaded; auto save is on from then on. A plain file name (and
    // its folder) is kept for EnsureOpen even when the load failed.
    bool OpenFile(const std::string& fileName, const std::string& folder = std::string());
    // True when the file is loaded, loading it now when an earlier load failed.
    bool EnsureOpen();
    // Whether OpenFile was given a usable file name (the file may not be loaded).
    bool HasFileName() {
        talvane::CLockGuard guard(lock_);
        return !fileName_.empty();
    }
    static constexpr int kMaxDamagedBackups = 100;
    // Turning auto save on saves the file. Returns false only when that save failed.
    bool SetAutoSave(bool on);
    // Reads channel/index. False when the entry has no name; when the name is there but the slot
    // is missing or not a number, entry.name is filled, entry.slot is 0 and the result is false.
    bool ReadPreposition(int32_t channel, int32_t index, PrepositionEntry& entry);
    // Writes name and slot of channel/index (saving with auto save on). True when stored (and
    // saved).
    bool WritePreposition(int32_t channel, int32_t index, const PrepositionEntry& entry);
    // Removes the channel's element with all entries. False when there was none.
    bool ClearChannel(int32_t channel);
    // Replaces the channel's entries with `entries` at indexes 0, 1, ... and saves the file once:
    // auto save off, ClearChannel, every write, auto save on. All or nothing: when an entry cannot
    // be written (its name cannot be stored as XML text) or the save fails, every change is
    // dropped, the file stays as it was, *failedIndex (when given) names the entry (-1 for the
    // save) and the result is false. Other channels are not touched.
    bool RewriteChannel(int32_t channel, const std::vector<PrepositionEntry>& entries,
                        int32_t* failedIndex = nullptr);

    const std::string& RootName() const { return name_; }
    bool IsOpen() const { return document_.IsLoaded(); }

private:
    bool SaveIfAuto();
    // OpenFile's work on fileName_. Under lock_.
    bool LoadLocked();
    // Moves the damaged file at `path` to a free backup name. Under lock_.
    bool KeepDamagedLocked(const std::string& path);
    // Drops the document's unsaved changes by loading the file again. Under lock_.
    bool ReloadLocked();

    const std::string name_;
    std::string fileName_;     // guarded by lock_; set by OpenFile
    std::string folder_;       // guarded by lock_; set by OpenFile
    int32_t lastFailure_ = 0;  // guarded by lock_; the last load failure logged
    IDebugMessage* const log_;
    talvane::CRecursiveLock lock_;
    CXMLSettingsAPI document_;
    bool autoSave_ = false;  // guarded by lock_
};
