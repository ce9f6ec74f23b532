#include "VeMoHostIntLib/XmlDomBase.h"

#include <cwchar>
#include <string>

#include "common/LateBoundApi.h"
#include "common/TraceCategories.h"
#include "common/WideFormat.h"
#include "tracing/MethodTrace.h"
#include "tracing/Trace.h"

namespace {

using vemo::kCategoryVeMoHostCommon;
using namespace vemo::tracing;

// MSXML 3 DOMDocument and IXMLDOMDocument.
constexpr CLSID kClsidDomDocument = {0xF6D90F11, 0x9C73, 0x11D3, {0xB3, 0x2E, 0x00, 0xC0, 0x4F, 0x99, 0x0B, 0xB4}};
constexpr IID kIidXmlDomDocument = {0x2933BF81, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

constexpr wchar_t kCreateFailed[] = L"Fehler bei CoCreateInstance, hr <%d>";
constexpr wchar_t kLoadingFile[] = L"CoCreateInstance erfolgreich, lade Datei <%s>";
constexpr wchar_t kAttributeName[] = L"attributeName <%s>";
constexpr wchar_t kAttributeValue[] = L"attribute <%s>";
constexpr wchar_t kAttributeMissingTrace[] = L"Fehler beim Ermitteln des Attributes <%s>, attr == NULL";
constexpr wchar_t kReturnCode[] = L"rc <%d>";

}  // namespace

namespace vemo::xml {

void ThrowIfFailed(HRESULT hr) {
    if (FAILED(hr)) throw CXmlComError(hr);
}

unique_bstr MakeBstr(const wchar_t* pszText) {
    unique_bstr text(vemo::late::SysAllocString(pszText ? pszText : L""));
    if (!text) throw CXmlComError(E_OUTOFMEMORY);
    return text;
}

std::wstring NodeText(IXMLDOMNode* pNode) {
    unique_bstr text;
    ThrowIfFailed(pNode->get_text(text.put()));
    return text.get() ? std::wstring(text.get(), vemo::late::SysStringLen(text.get())) : std::wstring();
}

std::wstring NodeBaseName(IXMLDOMNode* pNode) {
    unique_bstr name;
    ThrowIfFailed(pNode->get_baseName(name.put()));
    return name.get() ? std::wstring(name.get(), vemo::late::SysStringLen(name.get())) : std::wstring();
}

constexpr size_t kErrorCodeChars = 16;
constexpr wchar_t kErrorCodeFormat[] = L" (0x%08lX)";

// "reason (0xcode)" of the document's last load; the reason as the parser words it.
std::wstring ParseErrorText(IXMLDOMDocument* pDocument) {
    com_ptr<IXMLDOMParseError> error;
    if (!pDocument || FAILED(pDocument->get_parseError(error.put())) || !error) return {};
    long code = 0;
    error->get_errorCode(&code);
    vemo::unique_bstr reason;
    error->get_reason(reason.put());
    std::wstring text = reason ? std::wstring(reason.get()) : std::wstring();
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) text.pop_back();
    wchar_t codeText[kErrorCodeChars] = {};
    vemo::FormatToBufferW(codeText, kErrorCodeChars, kErrorCodeFormat, static_cast<unsigned long>(code));
    return text + codeText;
}

com_ptr<IXMLDOMNamedNodeMap> NodeAttributes(IXMLDOMNode* pNode) {
    com_ptr<IXMLDOMNamedNodeMap> attributes;
    ThrowIfFailed(pNode->get_attributes(attributes.put()));
    return attributes;
}

ChildList NodeChildren(IXMLDOMNode* pNode) {
    ChildList children;
    ThrowIfFailed(pNode->get_childNodes(children.list.put()));
    if (children.list) ThrowIfFailed(children.list->get_length(&children.length));
    return children;
}

com_ptr<IXMLDOMNode> ListItem(IXMLDOMNodeList* pList, long index) {
    com_ptr<IXMLDOMNode> item;
    ThrowIfFailed(pList->get_item(index, item.put()));
    return item;
}

}  // namespace vemo::xml

CXmlBase::CXmlBase(const wchar_t* pszFilePath) {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVeMoHostCommon, L"CXmlBase::CXmlBase", __LINE__);
    const HRESULT hr = vemo::late::CoCreateInstance(kClsidDomDocument, nullptr, CLSCTX_INPROC_SERVER, kIidXmlDomDocument,
                                          m_xmlDocument.put_void());
    if (FAILED(hr) || !m_xmlDocument) {
        m_xmlDocument.reset();
        TraceFormatW(kLevelError, kCategoryVeMoHostCommon, kCreateFailed, static_cast<int>(hr));
        return;
    }
    wcsncpy(m_filePath, pszFilePath ? pszFilePath : L"", kFilePathSize - 1);
    TraceFormatW(kLevelInfo, kCategoryVeMoHostCommon, kLoadingFile, m_filePath);

    // The file is read synchronously. Reading goes on whether it loaded or not, since an empty
    // document simply holds no plug-ins; the outcome is kept for the caller's report.
    m_xmlDocument->put_async(VARIANT_FALSE);
    vemo::unique_variant source;
    source.get()->vt = VT_BSTR;
    source.get()->bstrVal = vemo::xml::MakeBstr(m_filePath).release();
    VARIANT_BOOL loaded = VARIANT_FALSE;
    m_xmlDocument->load(*source.get(), &loaded);
    m_loaded = loaded == VARIANT_TRUE;
    if (!m_loaded) m_loadError = vemo::xml::ParseErrorText(m_xmlDocument.get());
}

CXmlBase::~CXmlBase() {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVeMoHostCommon, L"CXmlBase::~CXmlBase", __LINE__);
    m_xmlDocument.reset();
}

int CXmlBase::GetAttributeValue(IXMLDOMNamedNodeMap* pAttributes, const wchar_t* pszAttributeName,
                                std::wstring& strValue) {
    METHOD_TRACE(trace, kLevelInfo, kCategoryVeMoHostCommon, L"CXmlBase::GetAttributeValue", __LINE__);
    TraceFormatW(kLevelInfo, kCategoryVeMoHostCommon, kAttributeName, pszAttributeName);
    int rc = kAttributeMissing;
    vemo::com_ptr<IXMLDOMNode> attribute;
    if (pAttributes) {
        vemo::unique_bstr name = vemo::xml::MakeBstr(pszAttributeName);
        vemo::xml::ThrowIfFailed(pAttributes->getNamedItem(name.get(), attribute.put()));
    }
    if (attribute) {
        vemo::unique_bstr text;
        vemo::xml::ThrowIfFailed(attribute->get_text(text.put()));
        strValue.assign(text.get() ? text.get() : L"", text.get() ? vemo::late::SysStringLen(text.get()) : 0);
        TraceFormatW(kLevelInfo, kCategoryVeMoHostCommon, kAttributeValue, strValue.c_str());
        rc = kAttributeFound;
    } else {
        TraceFormatW(kLevelWarning, kCategoryVeMoHostCommon, kAttributeMissingTrace, pszAttributeName);
    }
    trace.SetReturnValueFormatW(kReturnCode, rc);
    return rc;
}
