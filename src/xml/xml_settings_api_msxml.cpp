// The DOM of CXMLSettingsAPI on MSXML 3 through COM (Windows): a DOMDocument30 reached through
// IXMLDOMDocument2, with XPath as its selection language so that selectSingleNode evaluates the
// slash paths and their [@name="value"] predicates. The file's bytes are read by the shared code
// and handed to the parser whole; the bytes written come from the shared code too (MSXML's own
// save formatting is never used), so this build writes what the Linux build writes.
//
// COM: the thread that loads or creates a document starts COM for the call in the multithreaded
// apartment and ends it before returning. A loaded document outlives the call and may be used,
// unloaded and destroyed on other threads, so while any loaded document exists one helper thread
// keeps the process's multithreaded apartment up; threads without COM of their own use the
// document as members of that apartment. Every CoInitializeEx that succeeds is matched by a
// CoUninitialize on its own thread.
#include <windows.h>
// windows.h leaves these out with WIN32_LEAN_AND_MEAN.
#include <objbase.h>
#include <oleauto.h>
// After the COM headers it relies on.
#include <msxml2.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <future>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

#include "xml/xml_settings_api.h"
#include "xml/xml_settings_backend.h"

namespace xml_backend {
namespace {

// {F5078F32-C551-11D3-89B9-0000F81FE221}: DOMDocument30, the MSXML 3 DOM document.
constexpr CLSID kClsidDomDocument30 = {
    0xF5078F32, 0xC551, 0x11D3, {0x89, 0xB9, 0x00, 0x00, 0xF8, 0x1F, 0xE2, 0x21}};
// {2933BF95-7B36-11D2-B20E-00C04F983E60}: IXMLDOMDocument2.
constexpr IID kIidXmlDomDocument2 = {
    0x2933BF95, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
// {2933BF86-7B36-11D2-B20E-00C04F983E60}: IXMLDOMElement.
constexpr IID kIidXmlDomElement = {
    0x2933BF86, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

// Raises a failed COM call as CXmlError carrying its HRESULT.
void Check(HRESULT hr, const char* what) {
    if (FAILED(hr)) throw CXmlError(static_cast<int32_t>(hr), what);
}

[[noreturn]] void ThrowOutOfMemory() {
    throw CXmlError(CXMLSettingsAPI::kErrorOutOfMemory, "out of memory");
}

// An owned interface pointer: one reference, released by the destructor.
template <typename T>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ~ComPtr() { Reset(); }

    T* Get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // For out parameters: releases the current pointer first.
    T** Put() {
        Reset();
        return &p_;
    }
    T* Detach() { return std::exchange(p_, nullptr); }
    void Reset() {
        if (p_ != nullptr) std::exchange(p_, nullptr)->Release();
    }

private:
    T* p_ = nullptr;
};

// An owned BSTR, freed by the destructor.
class Bstr {
public:
    Bstr() = default;
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    Bstr(Bstr&& other) noexcept : b_(std::exchange(other.b_, nullptr)) {}
    ~Bstr() { SysFreeString(b_); }

    BSTR Get() const { return b_; }
    BSTR* Put() {
        SysFreeString(b_);
        b_ = nullptr;
        return &b_;
    }
    BSTR Detach() { return std::exchange(b_, nullptr); }

    // UTF-8 to UTF-16. Throws kErrorInvalidText for text that is not UTF-8.
    static Bstr FromUtf8(const std::string& text) {
        Bstr result;
        if (text.size() > static_cast<size_t>(INT_MAX)) ThrowOutOfMemory();
        const int length = static_cast<int>(text.size());
        int wide = 0;
        if (length > 0) {
            wide =
                MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
            if (wide <= 0) {
                throw CXmlError(CXMLSettingsAPI::kErrorInvalidText, "text is not valid UTF-8");
            }
        }
        result.b_ = SysAllocStringLen(nullptr, static_cast<UINT>(wide));
        if (result.b_ == nullptr) ThrowOutOfMemory();
        if (wide > 0 && MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length,
                                            result.b_, wide) != wide) {
            throw CXmlError(CXMLSettingsAPI::kErrorInvalidText, "text is not valid UTF-8");
        }
        return result;
    }

    // UTF-16 to UTF-8. Throws kErrorInvalidText for an unpaired surrogate.
    static std::string ToUtf8(BSTR text) {
        const UINT length = SysStringLen(text);
        if (length == 0) return std::string();
        if (length > static_cast<UINT>(INT_MAX / 4)) ThrowOutOfMemory();
        const int size =
            WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, static_cast<int>(length),
                                nullptr, 0, nullptr, nullptr);
        if (size <= 0) throw CXmlError(CXMLSettingsAPI::kErrorInvalidText, "text is not UTF-16");
        std::string result(static_cast<size_t>(size), '\0');
        if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, static_cast<int>(length),
                                result.data(), size, nullptr, nullptr) != size) {
            throw CXmlError(CXMLSettingsAPI::kErrorInvalidText, "text is not UTF-16");
        }
        return result;
    }

private:
    BSTR b_ = nullptr;
};

// An owned VARIANT, cleared by the destructor (which frees the BSTR or array it holds).
class Variant {
public:
    Variant() { VariantInit(&v_); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    Variant(Variant&& other) noexcept : v_(other.v_) { VariantInit(&other.v_); }
    ~Variant() { VariantClear(&v_); }

    static Variant String(const std::string& text) {
        Variant result;
        Bstr value = Bstr::FromUtf8(text);
        result.v_.vt = VT_BSTR;
        result.v_.bstrVal = value.Detach();
        return result;
    }
    static Variant Bool(bool value) {
        Variant result;
        result.v_.vt = VT_BOOL;
        result.v_.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
        return result;
    }

    const VARIANT& Get() const { return v_; }
    VARIANT* Put() {
        VariantClear(&v_);
        return &v_;
    }
    // The string the variant holds; "" when it holds none.
    std::string Utf8() const { return v_.vt == VT_BSTR ? Bstr::ToUtf8(v_.bstrVal) : std::string(); }

private:
    VARIANT v_;
};

// Something that keeps COM usable while a document exists; released after the document.
class ComUse {
public:
    ComUse() = default;
    ComUse(const ComUse&) = delete;
    ComUse& operator=(const ComUse&) = delete;
    virtual ~ComUse() = default;
};

// COM on the calling thread, in the multithreaded apartment; ended by the destructor, which must
// run on the same thread. A thread already in a single-threaded apartment keeps it: COM is
// usable there too, and nothing is ended.
class ThreadCom final : public ComUse {
public:
    ThreadCom() : hr_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ~ThreadCom() override {
        if (SUCCEEDED(hr_)) CoUninitialize();
    }
    bool Usable() const { return SUCCEEDED(hr_) || hr_ == RPC_E_CHANGED_MODE; }
    HRESULT Result() const { return hr_; }

private:
    const HRESULT hr_;
};

// One reference to the process's multithreaded apartment, held up by a helper thread that
// enters it with the first reference and leaves it with the last. Must not be released from
// DllMain (the release waits for the helper thread to end).
class ApartmentHold final : public ComUse {
public:
    ApartmentHold() : hr_(Acquire()) {}
    ~ApartmentHold() override {
        if (SUCCEEDED(hr_)) Release();
    }
    HRESULT Result() const { return hr_; }

private:
    struct Keeper {
        std::mutex mutex;
        int users = 0;            // guarded by mutex
        std::thread thread;       // guarded by mutex
        std::promise<void> stop;  // guarded by mutex
    };
    // Never destroyed: a helper thread still running when the module is unloaded must not meet
    // a destroyed std::thread.
    static Keeper& TheKeeper() {
        static Keeper* keeper = new Keeper;
        return *keeper;
    }

    static HRESULT Acquire() {
        Keeper& keeper = TheKeeper();
        std::lock_guard<std::mutex> guard(keeper.mutex);
        if (keeper.users > 0) {
            ++keeper.users;
            return S_OK;
        }
        try {
            std::promise<HRESULT> started;
            std::future<HRESULT> startResult = started.get_future();
            std::promise<void> stop;
            std::thread thread(
                [started = std::move(started), stopped = stop.get_future()]() mutable {
                    const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
                    started.set_value(hr);
                    if (FAILED(hr)) return;
                    stopped.wait();
                    CoUninitialize();
                });
            const HRESULT hr = startResult.get();
            if (FAILED(hr)) {
                thread.join();
                return hr;
            }
            keeper.thread = std::move(thread);
            keeper.stop = std::move(stop);
            keeper.users = 1;
            return S_OK;
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        } catch (const std::system_error&) {
            // The helper thread did not start: a failure of the system, not of the file.
            return HRESULT_FROM_WIN32(ERROR_MAX_THRDS_REACHED);
        }
    }

    static void Release() {
        Keeper& keeper = TheKeeper();
        std::thread ending;
        {
            std::lock_guard<std::mutex> guard(keeper.mutex);
            if (--keeper.users > 0) return;
            keeper.stop.set_value();
            ending = std::move(keeper.thread);
        }
        ending.join();
    }

    const HRESULT hr_;
};

IXMLDOMNode* Unwrap(const Node& node) {
    return static_cast<IXMLDOMNode*>(node.Get());
}

// Takes over one reference to `node` (may be null).
Node Adopt(IXMLDOMNode* node) {
    if (node == nullptr) return Node();
    // Should the control block not be allocated, shared_ptr releases the node itself.
    return Node(
        std::shared_ptr<void>(node, [](void* p) { static_cast<IXMLDOMNode*>(p)->Release(); }));
}

std::string NameOf(IXMLDOMNode* node) {
    Bstr name;
    Check(node->get_nodeName(name.Put()), "cannot read a node name");
    return Bstr::ToUtf8(name.Get());
}

std::string ValueOf(IXMLDOMNode* node) {
    Variant value;
    Check(node->get_nodeValue(value.Put()), "cannot read a node value");
    return value.Utf8();
}

ComPtr<IXMLDOMElement> AsElement(const Node& node) {
    ComPtr<IXMLDOMElement> element;
    Check(Unwrap(node)->QueryInterface(kIidXmlDomElement, reinterpret_cast<void**>(element.Put())),
          "the node is not an element");
    return element;
}

class MsxmlDocument final : public Document {
public:
    MsxmlDocument(ComPtr<IXMLDOMDocument2> doc, std::unique_ptr<ComUse> comUse)
        : comUse_(std::move(comUse)), doc_(std::move(doc)) {}
    ~MsxmlDocument() override {
        doc_.Reset();  // before COM may end
        comUse_.reset();
    }

    Node Top() override {
        doc_->AddRef();
        return Adopt(doc_.Get());
    }

    Node Select(const std::string& path) override {
        const Bstr query = Bstr::FromUtf8(path);
        IXMLDOMNode* found = nullptr;
        const HRESULT hr = doc_->selectSingleNode(query.Get(), &found);
        Node node = Adopt(found);
        if (hr == E_OUTOFMEMORY) ThrowOutOfMemory();
        if (FAILED(hr)) {
            throw CXmlError(CXMLSettingsAPI::kErrorInvalidArgument, "path cannot be evaluated");
        }
        if (node) {
            DOMNodeType type = NODE_INVALID;
            Check(found->get_nodeType(&type), "cannot read a node type");
            if (type == NODE_ATTRIBUTE) return Node();  // attribute results count as no node
        }
        return node;
    }

    NodeKind Kind(const Node& node) override {
        DOMNodeType type = NODE_INVALID;
        Check(Unwrap(node)->get_nodeType(&type), "cannot read a node type");
        switch (type) {
            case NODE_DOCUMENT:
                return NodeKind::kDocument;
            case NODE_ELEMENT:
                return NodeKind::kElement;
            case NODE_TEXT:
                return NodeKind::kText;
            case NODE_CDATA_SECTION:
                return NodeKind::kCData;
            case NODE_DOCUMENT_TYPE:
                return NodeKind::kDocType;
            case NODE_PROCESSING_INSTRUCTION:
                // MSXML keeps the declaration as a processing instruction named "xml".
                return NameOf(Unwrap(node)) == "xml" ? NodeKind::kDeclaration : NodeKind::kOther;
            default:
                return NodeKind::kOther;
        }
    }
    std::string Name(const Node& element) override { return NameOf(Unwrap(element)); }
    // nodeValue, not the text property: the latter trims and joins white space.
    std::string Text(const Node& textOrCData) override { return ValueOf(Unwrap(textOrCData)); }

    Node Parent(const Node& node) override {
        IXMLDOMNode* parent = nullptr;
        Check(Unwrap(node)->get_parentNode(&parent), "cannot read a parent node");
        return Adopt(parent);
    }
    Node FirstChild(const Node& node) override {
        IXMLDOMNode* child = nullptr;
        Check(Unwrap(node)->get_firstChild(&child), "cannot read a child node");
        return Adopt(child);
    }
    Node NextSibling(const Node& node) override {
        IXMLDOMNode* sibling = nullptr;
        Check(Unwrap(node)->get_nextSibling(&sibling), "cannot read a sibling node");
        return Adopt(sibling);
    }

    std::vector<Attribute> Attributes(const Node& element) override {
        std::vector<Attribute> attributes;
        ComPtr<IXMLDOMNamedNodeMap> map;
        Check(Unwrap(element)->get_attributes(map.Put()), "cannot read attributes");
        if (!map) return attributes;
        long count = 0;
        Check(map->get_length(&count), "cannot read attributes");
        for (long i = 0; i < count; ++i) {
            ComPtr<IXMLDOMNode> attribute;
            Check(map->get_item(i, attribute.Put()), "cannot read an attribute");
            if (!attribute) continue;
            attributes.push_back({NameOf(attribute.Get()), ValueOf(attribute.Get())});
        }
        return attributes;
    }
    std::string AttributeValue(const Node& element, const std::string& name) override {
        const Bstr attributeName = Bstr::FromUtf8(name);
        Variant value;
        Check(AsElement(element)->getAttribute(attributeName.Get(), value.Put()),
              "cannot read an attribute");
        return value.Utf8();  // VT_NULL when there is no such attribute
    }
    void SetAttribute(const Node& element, const std::string& name,
                      const std::string& value) override {
        const Bstr attributeName = Bstr::FromUtf8(name);
        const Variant attributeValue = Variant::String(value);
        Check(AsElement(element)->setAttribute(attributeName.Get(), attributeValue.Get()),
              "cannot set an attribute");
    }

    Node AppendElement(const Node& parent, const std::string& name) override {
        const Bstr tagName = Bstr::FromUtf8(name);
        ComPtr<IXMLDOMElement> element;
        Check(doc_->createElement(tagName.Get(), element.Put()), "cannot create an element");
        IXMLDOMNode* added = nullptr;
        const HRESULT hr = Unwrap(parent)->appendChild(element.Get(), &added);
        Node node = Adopt(added);
        Check(hr, "cannot append an element");
        return node;
    }
    void AppendText(const Node& parent, const std::string& text) override {
        const Bstr data = Bstr::FromUtf8(text);
        ComPtr<IXMLDOMText> node;
        Check(doc_->createTextNode(data.Get(), node.Put()), "cannot create a text node");
        ComPtr<IXMLDOMNode> added;
        Check(Unwrap(parent)->appendChild(node.Get(), added.Put()), "cannot append a text node");
    }
    bool Remove(const Node& node) override {
        ComPtr<IXMLDOMNode> parent;
        Check(Unwrap(node)->get_parentNode(parent.Put()), "cannot read a parent node");
        if (!parent) return false;
        ComPtr<IXMLDOMNode> removed;
        Check(parent->removeChild(Unwrap(node), removed.Put()), "cannot remove a node");
        return true;
    }

private:
    std::unique_ptr<ComUse> comUse_;
    ComPtr<IXMLDOMDocument2> doc_;
};

// Tests only: the document class is asked for under an id no one registered.
std::atomic<bool> gFailLibraryForTesting{false};
// {5A6E4D3C-0B1F-4C2E-9D8A-7F6B5E4D3C2B}: registered nowhere.
constexpr CLSID kClsidUnregistered = {
    0x5A6E4D3C, 0x0B1F, 0x4C2E, {0x9D, 0x8A, 0x7F, 0x6B, 0x5E, 0x4D, 0x3C, 0x2B}};

HRESULT CreateDocument(ComPtr<IXMLDOMDocument2>& doc) {
    const CLSID& clsid = gFailLibraryForTesting.load() ? kClsidUnregistered : kClsidDomDocument30;
    return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, kIidXmlDomDocument2,
                            reinterpret_cast<void**>(doc.Put()));
}

void SetProperty(IXMLDOMDocument2* doc, const wchar_t* name, const Variant& value, bool required) {
    Bstr property;
    *property.Put() = SysAllocString(name);
    if (property.Get() == nullptr) ThrowOutOfMemory();
    const HRESULT hr = doc->setProperty(property.Get(), value.Get());
    if (required) Check(hr, "cannot configure the document");
}

// Synchronous parsing that keeps white space, evaluates XPath and never reaches out for a DTD or
// an external entity.
void Configure(IXMLDOMDocument2* doc) {
    Check(doc->put_async(VARIANT_FALSE), "cannot configure the document");
    Check(doc->put_validateOnParse(VARIANT_FALSE), "cannot configure the document");
    Check(doc->put_resolveExternals(VARIANT_FALSE), "cannot configure the document");
    Check(doc->put_preserveWhiteSpace(VARIANT_TRUE), "cannot configure the document");
    SetProperty(doc, L"SelectionLanguage", Variant::String("XPath"), true);
    // Older MSXML 3 releases do not know this property; the shared checks refuse a document type
    // declaration anyway, this only keeps its entities from being expanded first.
    SetProperty(doc, L"ProhibitDTD", Variant::Bool(true), false);
}

// Hands the file's bytes to the parser as they are, so that it detects their encoding as it would
// for the file. 0 when parsed, kErrorNotSettingsFile when the parser refused the bytes, MSXML's
// code when it failed otherwise.
HRESULT LoadBytes(IXMLDOMDocument2* doc, const std::string& content) {
    if (content.size() > static_cast<size_t>(ULONG_MAX))
        return CXMLSettingsAPI::kErrorNotSettingsFile;
    Variant source;
    SAFEARRAY* bytes = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(content.size()));
    if (bytes == nullptr) ThrowOutOfMemory();
    VARIANT* raw = source.Put();
    raw->vt = VT_ARRAY | VT_UI1;
    raw->parray = bytes;  // freed with the variant
    void* data = nullptr;
    Check(SafeArrayAccessData(bytes, &data), "cannot fill the parser's input");
    if (!content.empty()) std::memcpy(data, content.data(), content.size());
    SafeArrayUnaccessData(bytes);
    VARIANT_BOOL loaded = VARIANT_FALSE;
    const HRESULT hr = doc->load(source.Get(), &loaded);
    if (FAILED(hr)) return hr;  // the parser's refusal is S_FALSE with loaded false
    return loaded == VARIANT_TRUE ? S_OK : CXMLSettingsAPI::kErrorNotSettingsFile;
}

}  // namespace

int32_t Parse(const std::string& content, std::unique_ptr<Document>& document) {
    auto hold = std::make_unique<ApartmentHold>();
    if (FAILED(hold->Result())) return static_cast<int32_t>(hold->Result());
    const ThreadCom com;  // for the calling thread, during this call
    if (!com.Usable()) return static_cast<int32_t>(com.Result());
    ComPtr<IXMLDOMDocument2> doc;
    const HRESULT hr = CreateDocument(doc);
    if (FAILED(hr)) return static_cast<int32_t>(hr);
    Configure(doc.Get());
    const HRESULT loaded = LoadBytes(doc.Get(), content);
    if (loaded != S_OK) return static_cast<int32_t>(loaded);
    document = std::make_unique<MsxmlDocument>(std::move(doc), std::move(hold));
    return 0;
}

int32_t CreateWithRoot(const std::string& rootName, bool startLibrary,
                       std::unique_ptr<Document>& document) {
    std::unique_ptr<ThreadCom> com;
    if (startLibrary) {
        com = std::make_unique<ThreadCom>();
        if (!com->Usable()) return -1;
    }
    ComPtr<IXMLDOMDocument2> doc;
    if (FAILED(CreateDocument(doc))) return -1;
    Check(doc->put_preserveWhiteSpace(VARIANT_TRUE), "cannot configure the document");
    const Bstr tagName = Bstr::FromUtf8(rootName);
    ComPtr<IXMLDOMElement> root;
    Check(doc->createElement(tagName.Get(), root.Put()), "cannot create the root");
    ComPtr<IXMLDOMNode> added;
    Check(doc->appendChild(root.Get(), added.Put()), "cannot append the root");
    document = std::make_unique<MsxmlDocument>(std::move(doc), std::move(com));
    return 0;
}

void SetLibraryFailureForTesting(bool fail) {
    gFailLibraryForTesting.store(fail);
}

}  // namespace xml_backend
