// CXMLSettingsAPI on pugixml: XPath select_node evaluates the slash paths and their predicates,
// documents are parsed with white space kept so that the layout text nodes survive, and files are
// written whole through CHoltFileBase::WriteAtomically.
#include "xml/xml_settings_api.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <initializer_list>
#include <new>
#include <pugixml.hpp>
#include <sstream>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "xml/holt_file_base.h"

using talvane::CLockGuard;

struct CXMLSettingsAPI::Document {
    pugi::xml_document xml;
};

namespace {

constexpr unsigned kParseOptions =
    pugi::parse_default | pugi::parse_declaration | pugi::parse_ws_pcdata;

// Formats a path into the fixed 1024-byte buffer. A path that does not fit is refused rather
// than cut: a cut path could select (and overwrite) another element.
// Formats a path into `out`; false for a null format or a path longer than the limit. Does not
// throw, so that callers can end their argument list before raising the failure.
__attribute__((format(printf, 1, 0))) bool FormatPath(const char* format, va_list args,
                                                      std::string& out) {
    if (format == nullptr) return false;
    char buffer[CXMLSettingsAPI::kMaxPathLength + 1];
    const int length = std::vsnprintf(buffer, sizeof(buffer), format, args);
    if (length < 0 || static_cast<size_t>(length) > CXMLSettingsAPI::kMaxPathLength) return false;
    out.assign(buffer, static_cast<size_t>(length));
    return true;
}

void ThrowBadPath(const char* format) {
    throw CXmlError(CXMLSettingsAPI::kErrorInvalidArgument,
                    format == nullptr ? "no path" : "path too long");
}

// Length of the UTF-8 sequence at text[i] (1..4), or 0 when it is not valid UTF-8.
size_t Utf8SequenceLength(const std::string& text, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) return 1;
    size_t length = 0;
    uint32_t code = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        code = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        code = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        code = lead & 0x07;
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        code = (code << 6) | (byte(i + k) & 0x3F);
    }
    static const uint32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kMinimum[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    if (code == 0xFFFE || code == 0xFFFF) return 0;  // not XML characters
    return length;
}

// Text an XML 1.0 file can carry: valid UTF-8 without control characters other than tab, line
// feed and carriage return.
bool IsXmlText(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') return false;
        const size_t length = Utf8SequenceLength(text, i);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

// An XML element or attribute name (ASCII rules; non-ASCII letters are let through as UTF-8).
bool IsXmlName(const std::string& name) {
    if (name.empty() || !IsXmlText(name)) return false;
    for (size_t i = 0; i < name.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        const bool start =
            (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' || c >= 0x80;
        const bool other = (c >= '0' && c <= '9') || c == '-' || c == '.';
        if (!(start || (i > 0 && other))) return false;
    }
    return true;
}

bool IsPlainFileName(const char* fileName) {
    if (fileName == nullptr || *fileName == '\0') return false;
    for (const char* p = fileName; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') return false;
    }
    return true;
}

// Selects the first node of `path` in document order. Library errors become CXmlError.
pugi::xml_node Select(pugi::xml_document& doc, const std::string& path) {
    try {
        return doc.select_node(path.c_str()).node();
    } catch (const pugi::xpath_exception&) {
        throw CXmlError(CXMLSettingsAPI::kErrorInvalidArgument, "path cannot be evaluated");
    } catch (const std::bad_alloc&) {
        throw CXmlError(CXMLSettingsAPI::kErrorOutOfMemory, "out of memory");
    }
}

// Position of the "/" that separates the leaf step, skipping brackets and quoted text; npos when
// there is none.
size_t LastStepSeparator(const std::string& path) {
    size_t last = std::string::npos;
    int depth = 0;
    char quote = 0;
    for (size_t i = 0; i < path.size(); ++i) {
        const char c = path[i];
        if (quote != 0) {
            if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '[') {
            ++depth;
        } else if (c == ']') {
            if (depth > 0) --depth;
        } else if (c == '/' && depth == 0) {
            last = i;
        }
    }
    return last;
}

struct LeafStep {
    std::string name;
    std::vector<std::pair<std::string, std::string>> attributes;
};

// Parses name[@attr="value"][@attr2="value2"]. False when the step is not of that form.
bool ParseLeafStep(const std::string& step, LeafStep& leaf) {
    const size_t open = step.find('[');
    leaf.name = step.substr(0, open);
    if (!IsXmlName(leaf.name)) return false;
    size_t pos = open;
    while (pos != std::string::npos && pos < step.size()) {
        // [@name="value"]
        if (step[pos] != '[' || pos + 1 >= step.size() || step[pos + 1] != '@') return false;
        const size_t equals = step.find('=', pos + 2);
        if (equals == std::string::npos || equals + 1 >= step.size() || step[equals + 1] != '"') {
            return false;
        }
        const size_t closeQuote = step.find('"', equals + 2);
        if (closeQuote == std::string::npos || closeQuote + 1 >= step.size() ||
            step[closeQuote + 1] != ']') {
            return false;
        }
        std::string name = step.substr(pos + 2, equals - (pos + 2));
        std::string value = step.substr(equals + 2, closeQuote - (equals + 2));
        if (!IsXmlName(name) || !IsXmlText(value)) return false;
        leaf.attributes.emplace_back(std::move(name), std::move(value));
        pos = closeQuote + 2;
    }
    return true;
}

// The declaration every file is written with: the bytes written are always UTF-8.
constexpr const char* kDeclaration = "<?xml version=\"1.0\" encoding=\"utf-8\"?>";

// The document as written to its file: the declaration, a line break, the root element (raw, its
// own text nodes carry the layout), a final line break. A declaration read from the file is
// replaced by kDeclaration, so that no attribute of it (a stale encoding, say) outlives the save.
std::string Serialize(pugi::xml_document& doc) {
    std::ostringstream out;
    out << kDeclaration << '\n';
    for (pugi::xml_node node = doc.first_child(); node; node = node.next_sibling()) {
        if (node.type() == pugi::node_declaration) continue;
        node.print(out, "", pugi::format_raw, pugi::encoding_utf8);
        out << '\n';
    }
    return out.str();
}

// The encoding a file's own XML declaration names in its "encoding" attribute: Latin-1 for
// "ISO-8859-1" or "latin1" (any letter case), UTF-8 for anything else or no declaration. Only an
// attribute named exactly "encoding" counts (the XML library's own detection takes the first
// "en..." it meets, so a hand-made "xencoding" would switch it to Latin-1). A file that starts with
// a byte order mark is left to the library's detection.
pugi::xml_encoding DeclaredEncoding(const std::string& content) {
    const auto bom = [&](std::initializer_list<unsigned char> bytes) {
        if (content.size() < bytes.size()) return false;
        size_t i = 0;
        for (unsigned char b : bytes) {
            if (static_cast<unsigned char>(content[i++]) != b) return false;
        }
        return true;
    };
    if (bom({0xEF, 0xBB, 0xBF}) || bom({0xFF, 0xFE}) || bom({0xFE, 0xFF})) {
        return pugi::encoding_auto;
    }
    if (content.compare(0, 5, "<?xml") != 0) return pugi::encoding_utf8;
    const size_t end = content.find("?>");
    if (end == std::string::npos) return pugi::encoding_utf8;
    // name = "value" pairs after "<?xml"; the declaration is plain ASCII.
    size_t i = 5;
    const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (i < end) {
        while (i < end && isSpace(content[i])) ++i;
        const size_t nameStart = i;
        while (i < end && !isSpace(content[i]) && content[i] != '=') ++i;
        const std::string name = content.substr(nameStart, i - nameStart);
        while (i < end && isSpace(content[i])) ++i;
        if (i >= end || content[i] != '=') break;
        ++i;
        while (i < end && isSpace(content[i])) ++i;
        if (i >= end || (content[i] != '"' && content[i] != '\'')) break;
        const char quote = content[i++];
        const size_t close = content.find(quote, i);
        if (close == std::string::npos || close > end) break;
        std::string value = content.substr(i, close - i);
        i = close + 1;
        if (name != "encoding") continue;
        for (char& c : value) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return value == "iso-8859-1" || value == "latin1" ? pugi::encoding_latin1
                                                          : pugi::encoding_utf8;
    }
    return pugi::encoding_utf8;
}

void WriteFile(const std::string& path, const std::string& content) {
    int error = 0;
    if (!CHoltFileBase::WriteAtomically(path, content, &error)) {
        throw CXmlError(CXMLSettingsAPI::kErrorWriteFault, "the settings file cannot be written");
    }
}

}  // namespace

CXMLSettingsAPI::CXMLSettingsAPI() = default;

CXMLSettingsAPI::~CXMLSettingsAPI() {
    Unload();
}

std::string CXMLSettingsAPI::FullPath(const std::string& fileName) {
    return talvane::platform::HostProgramDirectory() + fileName;
}

int32_t CXMLSettingsAPI::Load(const char* fileName) {
    CLockGuard loadGuard(loadLock_);
    if (loadCount_.load(std::memory_order_acquire) > 0) {
        loadCount_.fetch_add(1, std::memory_order_acq_rel);
        return 0;
    }
    if (!IsPlainFileName(fileName)) return kErrorFail;
    try {
        const std::string path = FullPath(fileName);
        std::string content;
        {
            CHoltFileBase file;
            if (!file.OpenForRead(path.c_str()) || file.GetSize() <= 0) return kErrorFail;
            if (!file.ReadAll(content, kMaxFileSize) || content.empty()) return kErrorFail;
        }
        auto document = std::make_unique<Document>();
        const pugi::xml_parse_result parsed = document->xml.load_buffer(
            content.data(), content.size(), kParseOptions, DeclaredEncoding(content));
        if (!parsed) return kErrorFail;
        // The parser is lenient about the top level: insist on exactly one root element.
        int elements = 0;
        for (pugi::xml_node node : document->xml.children()) {
            if (node.type() == pugi::node_element) ++elements;
        }
        if (elements != 1) return kErrorFail;

        CLockGuard docGuard(docLock_);
        document_ = std::move(document);
        filePath_ = path;
        loadCount_.store(1, std::memory_order_release);
        return 0;
    } catch (const std::bad_alloc&) {
        return kErrorOutOfMemory;
    }
}

int32_t CXMLSettingsAPI::Unload() {
    CLockGuard loadGuard(loadLock_);
    int32_t count = loadCount_.load(std::memory_order_acquire);
    if (count > 0) {
        --count;
        if (count == 0) {
            CLockGuard docGuard(docLock_);
            loadCount_.store(0, std::memory_order_release);
            document_.reset();
            filePath_.clear();
        } else {
            loadCount_.store(count, std::memory_order_release);
        }
    }
    return count;
}

int32_t CXMLSettingsAPI::Save() {
    CLockGuard guard(docLock_);
    if (!document_) return 0;
    std::string content;
    try {
        content = Serialize(document_->xml);
    } catch (const std::bad_alloc&) {
        throw CXmlError(kErrorOutOfMemory, "out of memory");
    }
    WriteFile(filePath_, content);
    return 1;
}

int32_t CXMLSettingsAPI::CreateNew(const char* rootName, const char* fileName, bool initializeCom) {
    (void)initializeCom;  // pugixml needs no per-thread start-up
    if (rootName == nullptr || !IsXmlName(rootName)) {
        throw CXmlError(kErrorInvalidArgument, "invalid root element name");
    }
    if (!IsPlainFileName(fileName)) {
        throw CXmlError(kErrorInvalidArgument, "invalid settings file name");
    }
    std::string content;
    try {
        pugi::xml_document doc;
        pugi::xml_node declaration = doc.append_child(pugi::node_declaration);
        declaration.append_attribute("version").set_value("1.0");
        declaration.append_attribute("encoding").set_value("utf-8");
        if (!doc.append_child(rootName)) throw CXmlError(kErrorFail, "cannot create the root");
        content = Serialize(doc);
    } catch (const std::bad_alloc&) {
        throw CXmlError(kErrorOutOfMemory, "out of memory");
    }
    WriteFile(FullPath(fileName), content);
    return 1;
}

std::string CXMLSettingsAPI::GetString(const char* format, ...) {
    CLockGuard guard(docLock_);
    if (!document_) return std::string();
    va_list args;
    va_start(args, format);
    std::string path;
    const bool formatted = FormatPath(format, args, path);
    va_end(args);
    if (!formatted) ThrowBadPath(format);
    const pugi::xml_node node = Select(document_->xml, path);
    const pugi::xml_attribute value = node.attribute("value");
    return value ? std::string(value.value()) : std::string();
}

int32_t CXMLSettingsAPI::SetString(const char* value, const char* format, ...) {
    CLockGuard guard(docLock_);
    if (!document_) return 0;
    va_list args;
    va_start(args, format);
    std::string path;
    const bool formatted = FormatPath(format, args, path);
    va_end(args);
    if (!formatted) ThrowBadPath(format);
    return SetStringLocked(value, path);
}

int32_t CXMLSettingsAPI::SetStringLocked(const char* value, const std::string& path) {
    const std::string text = value != nullptr ? value : "";
    // Checked before anything is created, so a refused value leaves the document as it was.
    if (!IsXmlText(text)) throw CXmlError(kErrorInvalidText, "text cannot be stored in XML");
    pugi::xml_node node = Select(document_->xml, path);
    if (!node) {
        if (CreatePathLocked(path) == 0) return 0;
        node = Select(document_->xml, path);
        if (!node) return 0;
    }
    if (node.type() != pugi::node_element) return 0;  // no attribute list
    pugi::xml_attribute attribute = node.attribute("value");
    if (!attribute) attribute = node.append_attribute("value");
    if (!attribute || !attribute.set_value(text.c_str())) {
        throw CXmlError(kErrorFail, "cannot set the value attribute");
    }
    return 1;
}

int32_t CXMLSettingsAPI::Exists(const char* format, ...) {
    CLockGuard guard(docLock_);
    if (!document_) return 0;
    va_list args;
    va_start(args, format);
    std::string path;
    const bool formatted = FormatPath(format, args, path);
    va_end(args);
    if (!formatted) ThrowBadPath(format);
    return Select(document_->xml, path) ? 1 : 0;
}

int32_t CXMLSettingsAPI::Remove(const char* format, ...) {
    CLockGuard guard(docLock_);
    if (!document_) return 0;
    va_list args;
    va_start(args, format);
    std::string path;
    const bool formatted = FormatPath(format, args, path);
    va_end(args);
    if (!formatted) ThrowBadPath(format);
    const pugi::xml_node node = Select(document_->xml, path);
    pugi::xml_node parent = node.parent();
    if (!node || !parent) return 0;
    // The root element stays: a file without one is not well-formed XML.
    if (node == document_->xml.document_element()) return 0;
    return parent.remove_child(node) ? 1 : 0;
}

int32_t CXMLSettingsAPI::CreatePath(const char* format, ...) {
    CLockGuard guard(docLock_);
    if (!document_) return 0;
    va_list args;
    va_start(args, format);
    std::string path;
    const bool formatted = FormatPath(format, args, path);
    va_end(args);
    if (!formatted) ThrowBadPath(format);
    return CreatePathLocked(path);
}

int32_t CXMLSettingsAPI::CreatePathLocked(const std::string& path) {
    if (!document_) return 0;
    pugi::xml_document& doc = document_->xml;
    try {
        if (Select(doc, path)) return 1;
    } catch (const CXmlError&) {
        // A path the first lookup cannot evaluate is created step by step below.
    }
    const size_t separator = LastStepSeparator(path);
    if (separator == std::string::npos) return 0;
    const std::string parentPath = path.substr(0, separator);
    LeafStep leaf;
    if (!ParseLeafStep(path.substr(separator + 1), leaf)) return 0;

    pugi::xml_node parent = Select(doc, parentPath);
    if (!parent) {
        if (CreatePathLocked(parentPath) == 0) return 0;
        parent = Select(doc, parentPath);
        if (!parent) return 0;
    }
    if (parent.type() != pugi::node_element) return 0;  // e.g. the document itself

    // Nodes from the parent up to and including the document: 2 for the root element.
    int depth = 0;
    for (pugi::xml_node n = parent; n; n = n.parent()) ++depth;
    const std::string indent(static_cast<size_t>(depth - 2), '\t');

    try {
        pugi::xml_node before = parent.append_child(pugi::node_pcdata);
        pugi::xml_node element = parent.append_child(leaf.name.c_str());
        pugi::xml_node inside = element.append_child(pugi::node_pcdata);
        pugi::xml_node after = parent.append_child(pugi::node_pcdata);
        if (!before || !element || !inside || !after || !before.set_value(indent.c_str()) ||
            !inside.set_value(("\n" + indent + "\t").c_str()) ||
            !after.set_value(("\n" + indent).c_str())) {
            throw CXmlError(kErrorFail, "element operation failed");
        }
        for (const auto& [name, value] : leaf.attributes) {
            pugi::xml_attribute attribute = element.attribute(name.c_str());
            if (!attribute) attribute = element.append_attribute(name.c_str());
            if (!attribute || !attribute.set_value(value.c_str())) {
                throw CXmlError(kErrorFail, "attribute operation failed");
            }
        }
    } catch (const std::bad_alloc&) {
        throw CXmlError(kErrorOutOfMemory, "out of memory");
    }
    return 1;
}

std::string CXMLSettingsAPI::SerializeForTesting() {
    CLockGuard guard(docLock_);
    return document_ ? Serialize(document_->xml) : std::string();
}
