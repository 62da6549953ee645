// The XML library behind CXMLSettingsAPI. xml_settings_api.cpp holds everything that does not
// depend on the library: path formatting, text and name checks, CreatePath's steps and layout,
// the checks a loaded file must pass and the exact bytes Save writes. A backend file
// (xml_settings_api_pugixml.cpp on Linux, xml_settings_api_msxml.cpp on Windows) supplies the DOM
// through this interface and nothing else, so both builds write the same file for the same
// document.
//
// Strings crossing the interface are UTF-8. A Document is used by one thread at a time (the
// callers hold CXMLSettingsAPI's document lock), not necessarily always the same thread; it may be
// destroyed on any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace xml_backend {

enum class NodeKind {
    kDocument,     // the document node, parent of the root element
    kDeclaration,  // the <?xml ...?> declaration
    kElement,
    kText,
    kCData,
    kDocType,  // a document type declaration
    kOther,    // comments, processing instructions and whatever else the library keeps
};

// A reference to one node of a Document, or to nothing. Copies refer to the same node. The
// backend decides what the pointer is and whether the reference owns anything (it releases that
// when the last copy goes); a Node must not outlive its Document.
class Node {
public:
    Node() = default;
    // A reference that keeps `owner` alive; `owner.get()` is the node.
    explicit Node(std::shared_ptr<void> owner) : ref_(std::move(owner)) {}
    // A reference that owns nothing (the document owns the node).
    static Node Borrowed(void* node) {
        return Node(std::shared_ptr<void>(std::shared_ptr<void>(), node));
    }

    explicit operator bool() const { return ref_.get() != nullptr; }
    void* Get() const { return ref_.get(); }

private:
    std::shared_ptr<void> ref_;
};

struct Attribute {
    std::string name;
    std::string value;
};

// One parsed document. Failures of the library are thrown as CXmlError with its code; the node
// arguments are nodes of this document.
class Document {
public:
    Document() = default;
    Document(const Document&) = delete;
    Document& operator=(const Document&) = delete;
    virtual ~Document() = default;

    virtual Node Top() = 0;  // the document node
    // The first node the XPath expression selects, evaluated from the document node; an empty
    // Node when it selects nothing or only attributes. A path that cannot be evaluated as a node
    // set throws CXmlError with CXMLSettingsAPI::kErrorInvalidArgument.
    virtual Node Select(const std::string& path) = 0;

    virtual NodeKind Kind(const Node& node) = 0;
    virtual std::string Name(const Node& element) = 0;
    virtual std::string Text(const Node& textOrCData) = 0;
    virtual Node Parent(const Node& node) = 0;  // empty for the document node
    virtual Node FirstChild(const Node& node) = 0;
    virtual Node NextSibling(const Node& node) = 0;

    // The element's attributes in document order.
    virtual std::vector<Attribute> Attributes(const Node& element) = 0;
    // The attribute's value; "" when the element has no such attribute.
    virtual std::string AttributeValue(const Node& element, const std::string& name) = 0;
    // Sets the attribute, adding it after the others when the element has none of that name.
    virtual void SetAttribute(const Node& element, const std::string& name,
                              const std::string& value) = 0;

    // Appends a new element or text node as the last child of `parent`.
    virtual Node AppendElement(const Node& parent, const std::string& name) = 0;
    virtual void AppendText(const Node& parent, const std::string& text) = 0;
    // Detaches the node from its parent; false when it has none.
    virtual bool Remove(const Node& node) = 0;
};

// Implemented once per backend. Both run on the calling thread.

// Parses a settings file's bytes (encoding as the file declares it). 0 with `document` set on
// success; CXMLSettingsAPI::kErrorNotSettingsFile when the bytes are not well-formed XML;
// kErrorOutOfMemory, or the library's failure code when it cannot be started or fails otherwise.
// Throws CXmlError when a new document cannot be configured.
int32_t Parse(const std::string& content, std::unique_ptr<Document>& document);

// A document holding only the root element `rootName`. `startLibrary` asks for the library's
// per-thread start-up (the calling thread's start-up is ended when the document is destroyed,
// which must then happen on the same thread). 0 with `document` set on success, -1 when the
// library is not available; throws CXmlError when the element cannot be created.
int32_t CreateWithRoot(const std::string& rootName, bool startLibrary,
                       std::unique_ptr<Document>& document);

// Tests only: while on, the library fails as it would on a broken or exhausted system: MSXML's
// document class is asked for under an id no one registered (REGDB_E_CLASSNOTREG from COM), and
// pugixml's allocations fail (out of memory).
void SetLibraryFailureForTesting(bool fail);

}  // namespace xml_backend
