// The DOM of CXMLSettingsAPI on pugixml (Linux). XPath select_node evaluates the slash paths and
// their predicates; documents are parsed with white space kept, so that the layout text nodes
// survive, and with the declaration and a document type declaration kept as nodes, so that the
// shared checks see them. Nodes are pugixml's own node pointers: the document owns them.
#include <new>
#include <pugixml.hpp>
#include <string>

#include "xml/xml_settings_api.h"
#include "xml/xml_settings_backend.h"

namespace xml_backend {
namespace {

constexpr unsigned kParseOptions =
    pugi::parse_default | pugi::parse_declaration | pugi::parse_doctype | pugi::parse_ws_pcdata;

[[noreturn]] void ThrowFailed(const char* what) {
    throw CXmlError(CXMLSettingsAPI::kErrorFail, what);
}

class PugiDocument final : public Document {
public:
    pugi::xml_document& Xml() { return xml_; }

    Node Top() override { return Wrap(xml_); }

    Node Select(const std::string& path) override {
        try {
            // An attribute result has no node(): it counts as no node, as the interface says.
            return Wrap(xml_.select_node(path.c_str()).node());
        } catch (const pugi::xpath_exception&) {
            throw CXmlError(CXMLSettingsAPI::kErrorInvalidArgument, "path cannot be evaluated");
        }
    }

    NodeKind Kind(const Node& node) override {
        switch (Unwrap(node).type()) {
            case pugi::node_document:
                return NodeKind::kDocument;
            case pugi::node_declaration:
                return NodeKind::kDeclaration;
            case pugi::node_element:
                return NodeKind::kElement;
            case pugi::node_pcdata:
                return NodeKind::kText;
            case pugi::node_cdata:
                return NodeKind::kCData;
            case pugi::node_doctype:
                return NodeKind::kDocType;
            default:
                return NodeKind::kOther;
        }
    }
    std::string Name(const Node& element) override { return Unwrap(element).name(); }
    std::string Text(const Node& textOrCData) override { return Unwrap(textOrCData).value(); }
    Node Parent(const Node& node) override { return Wrap(Unwrap(node).parent()); }
    Node FirstChild(const Node& node) override { return Wrap(Unwrap(node).first_child()); }
    Node NextSibling(const Node& node) override { return Wrap(Unwrap(node).next_sibling()); }

    std::vector<Attribute> Attributes(const Node& element) override {
        std::vector<Attribute> attributes;
        for (const pugi::xml_attribute attribute : Unwrap(element).attributes()) {
            attributes.push_back({attribute.name(), attribute.value()});
        }
        return attributes;
    }
    std::string AttributeValue(const Node& element, const std::string& name) override {
        return Unwrap(element).attribute(name.c_str()).value();
    }
    void SetAttribute(const Node& element, const std::string& name,
                      const std::string& value) override {
        pugi::xml_node node = Unwrap(element);
        pugi::xml_attribute attribute = node.attribute(name.c_str());
        if (!attribute) attribute = node.append_attribute(name.c_str());
        if (!attribute || !attribute.set_value(value.c_str())) {
            ThrowFailed("attribute operation failed");
        }
    }

    Node AppendElement(const Node& parent, const std::string& name) override {
        const pugi::xml_node element = Unwrap(parent).append_child(name.c_str());
        if (!element) ThrowFailed("element operation failed");
        return Wrap(element);
    }
    void AppendText(const Node& parent, const std::string& text) override {
        pugi::xml_node node = Unwrap(parent).append_child(pugi::node_pcdata);
        if (!node || !node.set_value(text.c_str())) ThrowFailed("element operation failed");
    }
    bool Remove(const Node& node) override {
        const pugi::xml_node child = Unwrap(node);
        return child.parent().remove_child(child);
    }

private:
    static Node Wrap(pugi::xml_node node) { return Node::Borrowed(node.internal_object()); }
    static pugi::xml_node Unwrap(const Node& node) {
        return pugi::xml_node(static_cast<pugi::xml_node_struct*>(node.Get()));
    }

    pugi::xml_document xml_;
};

}  // namespace

int32_t Parse(const std::string& content, std::unique_ptr<Document>& document) {
    auto parsed = std::make_unique<PugiDocument>();
    const pugi::xml_parse_result result =
        parsed->Xml().load_buffer(content.data(), content.size(), kParseOptions);
    if (result.status == pugi::status_out_of_memory) return CXMLSettingsAPI::kErrorOutOfMemory;
    if (!result) return CXMLSettingsAPI::kErrorNotSettingsFile;
    document = std::move(parsed);
    return 0;
}

int32_t CreateWithRoot(const std::string& rootName, bool startLibrary,
                       std::unique_ptr<Document>& document) {
    (void)startLibrary;  // pugixml needs no per-thread start-up
    auto created = std::make_unique<PugiDocument>();
    if (!created->Xml().append_child(rootName.c_str())) ThrowFailed("cannot create the root");
    document = std::move(created);
    return 0;
}

void SetLibraryFailureForTesting(bool fail) {
    // Freeing stays with pugixml's default (free), so memory taken before the switch is returned
    // the same way after it.
    static const pugi::allocation_function kDefault = pugi::get_memory_allocation_function();
    static const pugi::deallocation_function kFree = pugi::get_memory_deallocation_function();
    pugi::set_memory_management_functions(fail ? [](size_t) -> void* { return nullptr; } : kDefault,
                                          kFree);
}

}  // namespace xml_backend
