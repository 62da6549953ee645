// CXMLSettingsAPI: a small XML settings document kept in a file beside the host program.
//
// Values are addressed by slash paths evaluated from the document (the first step names the root
// element), e.g. "Zarn/PtzChannel01/Preposition000/Name"; a step may carry attribute predicates
// [@name="value"]. Every addressing operation takes a printf-style format and its arguments: put
// text from outside into the arguments, never into the format. A value is the attribute "value"
// of the element its path selects. Missing elements are created on the way (SetString,
// CreatePath), with layout text nodes that indent the file by tabs.
//
// The document is reference counted: Load on a loaded object only adds a reference (the file name
// is not looked at), Unload removes one and drops the document at 0. Only Save and CreateNew write
// files, and they write atomically (temporary file, flush, rename).
//
// Failures: Load reports through its result (kErrorFail for a missing or empty file,
// kErrorNotSettingsFile for an oversized or not well-formed one, or one that this class could not
// write back: a document type declaration, more than one root element, duplicate attributes, text
// that is not valid UTF-8 XML text; other codes for failures of reading or of the library). Other
// failures of the XML backend while the document is used (a path that cannot be evaluated or is too
// long, a write failure, text that cannot be stored in XML, no memory) are thrown as CXmlError
// carrying a code; callers catch them. The first lookup of CreatePath is the exception: an error
// there counts as a miss.
//
// Threads: every operation may be called from any thread. Load/Unload take the load lock, the
// document operations take the document lock (re-entered by SetString -> CreatePath); the locks
// are taken in the order load lock, then document lock, and only Load/Unload hold both, briefly,
// to attach or drop the document.
//
// File format: the bytes Save writes depend only on the document, never on the XML library: the
// declaration <?xml version="1.0" encoding="utf-8"?>, a line feed, the root element written raw
// (its text nodes carry the layout; an element without content is written <Name/>), a line feed.
// In attribute values &, <, " and the control characters are escaped (&amp; &lt; &quot; &#NN;),
// in text &, <, > and carriage returns; comments and processing instructions are not kept. The
// Linux and the Windows builds therefore write identical files and read each other's.
//
// Text: names, values and paths are UTF-8.
//
// The XML library stays behind this class: xml_settings_api.cpp holds the logic, a backend
// (xml_settings_backend.h: pugixml on Linux, MSXML 3 through COM on Windows) holds the DOM.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "thread/recursive_lock.h"

namespace xml_backend {
class Document;
}

// An error raised by the XML settings document, with the backend's failure code (HRESULT-style).
class CXmlError : public std::exception {
public:
    CXmlError(int32_t code, const char* what) : code_(code), what_(what) {}
    int32_t Code() const { return code_; }
    const char* what() const noexcept override { return what_; }

private:
    int32_t code_;
    const char* what_;  // static text
};

class CXMLSettingsAPI {
public:
    // Generic failure: missing or empty file, unusable file name; failed element operation.
    static constexpr int32_t kErrorFail = static_cast<int32_t>(0x80004005u);
    // The file's bytes are not a settings file: not well-formed, not a document Save could write
    // back, or larger than kMaxFileSize.
    static constexpr int32_t kErrorNotSettingsFile = static_cast<int32_t>(0x8007000Du);
    // The file exists but could not be read.
    static constexpr int32_t kErrorReadFault = static_cast<int32_t>(0x8007001Eu);
    // The XML library failed without telling why (it said E_FAIL, which means "missing" here).
    static constexpr int32_t kErrorUnexpected = static_cast<int32_t>(0x8000FFFFu);
    // A path or file name that cannot be used (does not evaluate, too long, has a separator).
    static constexpr int32_t kErrorInvalidArgument = static_cast<int32_t>(0x80070057u);
    static constexpr int32_t kErrorOutOfMemory = static_cast<int32_t>(0x8007000Eu);
    // The file could not be written.
    static constexpr int32_t kErrorWriteFault = static_cast<int32_t>(0x8007001Du);
    // Text that is not valid UTF-8 or holds characters XML cannot carry.
    static constexpr int32_t kErrorInvalidText = static_cast<int32_t>(0x80070459u);

    // Longest path accepted: paths are formatted into a 1024-byte buffer.
    static constexpr size_t kMaxPathLength = 1023;
    // Largest settings file that is loaded.
    static constexpr uint64_t kMaxFileSize = 4u * 1024u * 1024u;

    CXMLSettingsAPI();
    virtual ~CXMLSettingsAPI();
    CXMLSettingsAPI(const CXMLSettingsAPI&) = delete;
    CXMLSettingsAPI& operator=(const CXMLSettingsAPI&) = delete;

    // Loads `fileName` from `folder` (the host program's folder when empty, see FullPath), or adds
    // a reference when already loaded. 0 on success. Otherwise the object stays unloaded and the
    // result tells why: kErrorFail when the file is missing or empty (or the name holds a path
    // separator), kErrorNotSettingsFile when its bytes are not a settings file, and any other code
    // for a failure that says nothing about the file: kErrorReadFault, kErrorOutOfMemory, or the
    // library's code when it cannot be started (never kErrorFail).
    int32_t Load(const char* fileName, const std::string& folder = std::string());
    // Drops one reference; returns the remaining count (0 when it was not loaded).
    int32_t Unload();
    bool IsLoaded() const { return loadCount_.load(std::memory_order_acquire) > 0; }
    int32_t LoadCount() const { return loadCount_.load(std::memory_order_acquire); }

    // Writes the document to its file. 1 when written, 0 when nothing is loaded; throws on a
    // write failure and, without writing, when the file would exceed kMaxFileSize.
    int32_t Save();

    // Writes a new file holding the XML declaration and an empty root element `rootName`,
    // replacing any file of that name. 1 when written, -1 when the backend is unavailable; throws
    // on a write failure or an unusable root or file name. Independent of any object's state;
    // `initializeCom` matters only to backends that need per-thread start-up.
    static int32_t CreateNew(const char* rootName, const char* fileName, bool initializeCom,
                             const std::string& folder = std::string());

    // Full path of a settings file of this name in `folder`: the folder the host named, or the
    // host program's folder when it named none (empty).
    static std::string FullPath(const std::string& fileName,
                                const std::string& folder = std::string());

    // The "value" attribute at the path, or "" (nothing loaded, no node, no attribute).
    std::string GetString(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Stores `value` at the path, creating missing elements. 1 when stored, 0 otherwise.
    int32_t SetString(const char* value, const char* format, ...)
        __attribute__((format(printf, 3, 4)));
    // 1 when the path selects a node.
    int32_t Exists(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Removes the selected element (the layout text around it stays). 1 when removed.
    int32_t Remove(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Makes sure the path exists, creating missing elements from the top down (with attributes
    // from the leaf's predicates). 1 when the path exists afterwards. A path whose first step does
    // not name the root element cannot be created.
    int32_t CreatePath(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // Tests only: the document as it would be written by Save (empty when nothing is loaded).
    std::string SerializeForTesting();

private:
    int32_t CreatePathLocked(const std::string& path);
    int32_t SetStringLocked(const char* value, const std::string& path);

    std::atomic<int32_t> loadCount_{0};
    talvane::CRecursiveLock loadLock_;
    std::unique_ptr<xml_backend::Document> document_;  // guarded by docLock_; present while loaded
    std::string filePath_;                             // guarded by docLock_
    talvane::CRecursiveLock docLock_;
};
