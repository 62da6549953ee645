// CXMLSettingsAPI: the reference counting and locking, the path and text rules, CreatePath's steps
// and layout, the checks of a loaded file and the file format. The DOM itself comes from the
// backend (xml_settings_backend.h); nothing here depends on the XML library, so that both builds
// behave alike and write the same bytes.
#include "xml/xml_settings_api.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <new>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "xml/holt_file_base.h"
#include "xml/xml_settings_backend.h"

using talvane::CLockGuard;
using xml_backend::Node;
using xml_backend::NodeKind;

namespace {

constexpr const char* kDeclaration = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";

// Formats a path into the fixed 1024-byte buffer; false for a null format or a path longer than
// the limit. A path that does not fit is refused rather than cut: a cut path could select (and
// overwrite) another element. Does not throw, so that callers can end their argument list before
// raising the failure.
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

[[noreturn]] void ThrowOutOfMemory() {
    throw CXmlError(CXMLSettingsAPI::kErrorOutOfMemory, "out of memory");
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

// Selects the first node of `path`. A path that is not XML text cannot match anything in a
// document of valid text; it is refused here, before a backend could treat it its own way.
Node Select(xml_backend::Document& doc, const std::string& path) {
    if (!IsXmlText(path)) {
        throw CXmlError(CXMLSettingsAPI::kErrorInvalidArgument, "path cannot be evaluated");
    }
    try {
        return doc.Select(path);
    } catch (const std::bad_alloc&) {
        ThrowOutOfMemory();
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

// Visits the tree below and including `root` in document order: enter(node) for every node,
// leave(element) after an element's children. Iterative, because a file may nest elements far
// deeper than a thread's stack allows. enter returns false to end the walk early; the result is
// false then.
template <typename Enter, typename Leave>
bool Walk(xml_backend::Document& doc, const Node& root, Enter&& enter, Leave&& leave) {
    std::vector<Node> open;  // elements entered and not yet left, innermost last
    Node node = root;
    for (;;) {
        if (!enter(node)) return false;
        if (doc.Kind(node) == NodeKind::kElement) {
            Node child = doc.FirstChild(node);
            if (child) {
                open.push_back(std::move(node));
                node = std::move(child);
                continue;
            }
            leave(node);
        }
        // `node` is complete: go on with its next sibling, leaving parents that are complete.
        for (;;) {
            if (open.empty()) return true;  // `root` itself is complete
            Node next = doc.NextSibling(node);
            if (next) {
                node = std::move(next);
                break;
            }
            node = std::move(open.back());
            open.pop_back();
            leave(node);
        }
    }
}

// XML white space only (space, tab, line feed, carriage return).
bool IsXmlSpace(const std::string& text) {
    return text.find_first_not_of(" \t\n\r") == std::string::npos;
}

// The document's root element; empty when there is none.
Node RootElement(xml_backend::Document& doc) {
    for (Node node = doc.FirstChild(doc.Top()); node; node = doc.NextSibling(node)) {
        if (doc.Kind(node) == NodeKind::kElement) return node;
    }
    return Node();
}

// Whether a parsed file is one this class can work on and write back as it reads: a declaration
// only in front, exactly one root element, no document type declaration, valid names and text,
// no attribute twice. The libraries differ in what else they let through; these checks make both
// builds refuse the same files.
// The file's XML declaration rebuilt from its own version, encoding and standalone attributes
// only. A hand-edited declaration may carry other attributes ("xencoding", say): one XML library
// refuses the whole file for it, another ignores it, and a lenient one may even read
// "xencoding" as the encoding. Rebuilt, every backend sees the same well-formed declaration. A
// file that starts with a byte order mark, or without a declaration, is passed on as it is.
std::string WithCleanDeclaration(const std::string& content) {
    if (content.compare(0, 6, "<?xml ") != 0) return content;
    const size_t end = content.find("?>");
    if (end == std::string::npos) return content;
    const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    std::string version = "1.0";
    std::string encoding;
    std::string standalone;
    size_t i = 5;
    while (i < end) {
        while (i < end && isSpace(content[i])) ++i;
        const size_t nameStart = i;
        while (i < end && !isSpace(content[i]) && content[i] != '=') ++i;
        const std::string name = content.substr(nameStart, i - nameStart);
        while (i < end && isSpace(content[i])) ++i;
        if (i >= end || content[i] != '=') return content;  // not a declaration: the parser judges
        ++i;
        while (i < end && isSpace(content[i])) ++i;
        if (i >= end || (content[i] != '"' && content[i] != '\'')) return content;
        const char quote = content[i++];
        const size_t close = content.find(quote, i);
        if (close == std::string::npos || close > end) return content;
        const std::string value = content.substr(i, close - i);
        i = close + 1;
        if (name == "version") version = value;
        if (name == "encoding") encoding = value;
        if (name == "standalone") standalone = value;
    }
    std::string out = "<?xml version=\"" + version + "\"";
    if (!encoding.empty()) out += " encoding=\"" + encoding + "\"";
    if (!standalone.empty()) out += " standalone=\"" + standalone + "\"";
    out += "?>";
    out.append(content, end + 2, std::string::npos);
    return out;
}

bool IsUsableDocument(xml_backend::Document& doc) {
    int elements = 0;
    bool first = true;
    for (Node node = doc.FirstChild(doc.Top()); node; node = doc.NextSibling(node), first = false) {
        switch (doc.Kind(node)) {
            case NodeKind::kDeclaration:
                if (!first) return false;
                break;
            case NodeKind::kElement:
                ++elements;
                break;
            case NodeKind::kOther:
                break;  // comments and processing instructions are dropped
            case NodeKind::kText:
                // Line breaks around the root, should a library keep them as a node.
                if (!IsXmlSpace(doc.Text(node))) return false;
                break;
            default:
                return false;
        }
    }
    if (elements != 1) return false;
    return Walk(
        doc, RootElement(doc),
        [&doc](const Node& node) {
            switch (doc.Kind(node)) {
                case NodeKind::kElement: {
                    if (!IsXmlName(doc.Name(node))) return false;
                    std::vector<std::string> names;
                    for (xml_backend::Attribute& attribute : doc.Attributes(node)) {
                        if (!IsXmlName(attribute.name) || !IsXmlText(attribute.value)) {
                            return false;
                        }
                        names.push_back(std::move(attribute.name));
                    }
                    // Sorted, so that an element with very many attributes costs no more than
                    // n log n.
                    std::sort(names.begin(), names.end());
                    return std::adjacent_find(names.begin(), names.end()) == names.end();
                }
                case NodeKind::kText:
                case NodeKind::kCData:
                    return IsXmlText(doc.Text(node));
                case NodeKind::kOther:
                    return true;
                default:
                    return false;
            }
        },
        [](const Node&) {});
}

// Appends `text` escaped for an attribute value in double quotes or for element content.
void AppendEscaped(std::string& out, const std::string& text, bool attribute) {
    for (const char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c == '&') {
            out += "&amp;";
        } else if (c == '<') {
            out += "&lt;";
        } else if (c == '>' && !attribute) {
            out += "&gt;";
        } else if (c == '"' && attribute) {
            out += "&quot;";
        } else if (c < 0x20 && (attribute || (c != '\t' && c != '\n'))) {
            // In attributes every control character, in text the carriage return: a parser would
            // normalise them away if they were written as they are.
            char reference[8];
            std::snprintf(reference, sizeof(reference), "&#%02u;", static_cast<unsigned>(c));
            out += reference;
        } else {
            out += ch;
        }
    }
}

// "]]>" cannot stand inside a CDATA section: it is split across two sections.
void AppendCData(std::string& out, const std::string& text) {
    out += "<![CDATA[";
    size_t start = 0;
    for (size_t end = text.find("]]>"); end != std::string::npos; end = text.find("]]>", start)) {
        out.append(text, start, end + 2 - start);
        out += "]]><![CDATA[";
        start = end + 2;
    }
    out.append(text, start, std::string::npos);
    out += "]]>";
}

// The file as Save writes it (see the header).
std::string Serialize(xml_backend::Document& doc) {
    try {
        std::string out = kDeclaration;
        const Node root = RootElement(doc);
        if (!root) return out;
        // Names of the open elements, and where each one's content starts in `out`.
        std::vector<std::pair<std::string, size_t>> open;
        Walk(
            doc, root,
            [&](const Node& node) {
                switch (doc.Kind(node)) {
                    case NodeKind::kElement: {
                        std::string name = doc.Name(node);
                        out += '<';
                        out += name;
                        for (const xml_backend::Attribute& attribute : doc.Attributes(node)) {
                            out += ' ';
                            out += attribute.name;
                            out += "=\"";
                            AppendEscaped(out, attribute.value, true);
                            out += '"';
                        }
                        out += '>';
                        open.emplace_back(std::move(name), out.size());
                        break;
                    }
                    case NodeKind::kText:
                        AppendEscaped(out, doc.Text(node), false);
                        break;
                    case NodeKind::kCData:
                        AppendCData(out, doc.Text(node));
                        break;
                    default:
                        break;  // comments and processing instructions are not kept
                }
                return true;
            },
            [&](const Node&) {
                if (out.size() == open.back().second) {
                    out.back() = '/';  // no content: <Name/>
                    out += '>';
                } else {
                    out += "</";
                    out += open.back().first;
                    out += '>';
                }
                open.pop_back();
            });
        out += '\n';
        return out;
    } catch (const std::bad_alloc&) {
        ThrowOutOfMemory();
    }
}

void WriteFile(const std::string& path, const std::string& content) {
    int error = 0;
    bool written = false;
    try {
        written = CHoltFileBase::WriteAtomically(path, content, &error);
    } catch (const std::bad_alloc&) {
        ThrowOutOfMemory();
    }
    if (!written) {
        throw CXmlError(CXMLSettingsAPI::kErrorWriteFault, "the settings file cannot be written");
    }
}

}  // namespace

CXMLSettingsAPI::CXMLSettingsAPI() = default;

CXMLSettingsAPI::~CXMLSettingsAPI() {
    Unload();
}

std::string CXMLSettingsAPI::FullPath(const std::string& fileName, const std::string& folder) {
    if (folder.empty()) return talvane::platform::HostProgramDirectory() + fileName;
    return talvane::platform::AsFolderPrefix(folder) + fileName;
}

int32_t CXMLSettingsAPI::Load(const char* fileName, const std::string& folder) {
    CLockGuard loadGuard(loadLock_);
    if (loadCount_.load(std::memory_order_acquire) > 0) {
        loadCount_.fetch_add(1, std::memory_order_acq_rel);
        return 0;
    }
    if (!IsPlainFileName(fileName)) return kErrorFail;
    try {
        const std::string path = FullPath(fileName, folder);
        std::string content;
        {
            CHoltFileBase file;
            if (!file.OpenForRead(path.c_str())) {
                return CHoltFileBase::ExistsNonEmpty(path) ? kErrorReadFault : kErrorFail;
            }
            const int64_t size = file.GetSize();
            if (size == 0) return kErrorFail;
            if (size < 0) return kErrorReadFault;
            if (static_cast<uint64_t>(size) > kMaxFileSize) return kErrorNotSettingsFile;
            if (!file.ReadAll(content, kMaxFileSize)) return kErrorReadFault;
            if (content.empty()) return kErrorFail;
        }
        std::unique_ptr<xml_backend::Document> document;
        const int32_t parsed = xml_backend::Parse(WithCleanDeclaration(content), document);
        if (parsed == kErrorFail) return kErrorUnexpected;
        if (parsed != 0) return parsed;
        if (!IsUsableDocument(*document)) return kErrorNotSettingsFile;

        CLockGuard docGuard(docLock_);
        document_ = std::move(document);
        filePath_ = path;
        loadCount_.store(1, std::memory_order_release);
        return 0;
    } catch (const std::bad_alloc&) {
        return kErrorOutOfMemory;
    } catch (const CXmlError& error) {
        return error.Code() == kErrorFail ? kErrorUnexpected : error.Code();
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
    const std::string content = Serialize(*document_);
    // A file Load would refuse is not written: the old file stays.
    if (content.size() > kMaxFileSize) {
        throw CXmlError(kErrorWriteFault, "the document is larger than a settings file may be");
    }
    WriteFile(filePath_, content);
    return 1;
}

int32_t CXMLSettingsAPI::CreateNew(const char* rootName, const char* fileName, bool initializeCom,
                                   const std::string& folder) {
    if (rootName == nullptr || !IsXmlName(rootName)) {
        throw CXmlError(kErrorInvalidArgument, "invalid root element name");
    }
    if (!IsPlainFileName(fileName)) {
        throw CXmlError(kErrorInvalidArgument, "invalid settings file name");
    }
    std::string content;
    try {
        std::unique_ptr<xml_backend::Document> document;
        if (xml_backend::CreateWithRoot(rootName, initializeCom, document) != 0) return -1;
        content = Serialize(*document);
    } catch (const std::bad_alloc&) {
        ThrowOutOfMemory();
    }
    WriteFile(FullPath(fileName, folder), content);
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
    try {
        const Node node = Select(*document_, path);
        if (!node || document_->Kind(node) != NodeKind::kElement) return std::string();
        return document_->AttributeValue(node, "value");
    } catch (const std::bad_alloc&) {
        ThrowOutOfMemory();
    }
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
    try {
        return SetStringLocked(value, path);
    } catch (const std::bad_alloc&) {
        ThrowOutOfMemory();
    }
}

int32_t CXMLSettingsAPI::SetStringLocked(const char* value, const std::string& path) {
    const std::string text = value != nullptr ? value : "";
    // Checked before anything is created, so a refused value leaves the document as it was.
    if (!IsXmlText(text)) throw CXmlError(kErrorInvalidText, "text cannot be stored in XML");
    Node node = Select(*document_, path);
    if (!node) {
        if (CreatePathLocked(path) == 0) return 0;
        node = Select(*document_, path);
        if (!node) return 0;
    }
    if (document_->Kind(node) != NodeKind::kElement) return 0;  // no attribute list
    document_->SetAttribute(node, "value", text);
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
    return Select(*document_, path) ? 1 : 0;
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
    try {
        const Node node = Select(*document_, path);
        if (!node) return 0;
        const Node parent = document_->Parent(node);
        // The root element stays: a file without one is not well-formed XML. (The document node
        // itself has no parent.)
        if (!parent || document_->Kind(parent) == NodeKind::kDocument) return 0;
        return document_->Remove(node) ? 1 : 0;
    } catch (const std::bad_alloc&) {
        ThrowOutOfMemory();
    }
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
    try {
        return CreatePathLocked(path);
    } catch (const std::bad_alloc&) {
        ThrowOutOfMemory();
    }
}

int32_t CXMLSettingsAPI::CreatePathLocked(const std::string& path) {
    if (!document_) return 0;
    xml_backend::Document& doc = *document_;
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

    Node parent = Select(doc, parentPath);
    if (!parent) {
        if (CreatePathLocked(parentPath) == 0) return 0;
        parent = Select(doc, parentPath);
        if (!parent) return 0;
    }
    if (doc.Kind(parent) != NodeKind::kElement) return 0;  // e.g. the document itself

    // Nodes from the parent up to and including the document: 2 for the root element.
    size_t depth = 0;
    for (Node n = parent; n; n = doc.Parent(n)) ++depth;
    if (depth < 2) return 0;
    const std::string indent(depth - 2, '\t');

    doc.AppendText(parent, indent);
    const Node element = doc.AppendElement(parent, leaf.name);
    doc.AppendText(element, "\n" + indent + "\t");
    doc.AppendText(parent, "\n" + indent);
    for (const auto& [name, value] : leaf.attributes) doc.SetAttribute(element, name, value);
    return 1;
}

std::string CXMLSettingsAPI::SerializeForTesting() {
    CLockGuard guard(docLock_);
    return document_ ? Serialize(*document_) : std::string();
}
