#pragma once
// Owner of one MSXML document loaded from a file. COM lives for the object's lifetime on the
// thread that made it.
#include <windows.h>
#include <msxml.h>

#include <exception>
#include <string>

#include "common/UniqueHandle.h"

// A failed DOM call or a missing document, carried to the caller with its result code.
class CXmlComError : public std::exception {
public:
    explicit CXmlComError(HRESULT hr) noexcept : m_hr(hr) {}
    HRESULT Error() const noexcept { return m_hr; }
    const char* what() const noexcept override { return "XML DOM error"; }

private:
    HRESULT m_hr;
};

class CXmlBase {
public:
    static constexpr int kAttributeFound = 0;
    static constexpr int kAttributeMissing = 9999;
    static constexpr size_t kFilePathSize = 1024;

    explicit CXmlBase(const wchar_t* pszFilePath);
    virtual ~CXmlBase();
    CXmlBase(const CXmlBase&) = delete;
    CXmlBase& operator=(const CXmlBase&) = delete;

    // Exact-name look-up; on a miss the output stays as it was.
    static int GetAttributeValue(IXMLDOMNamedNodeMap* pAttributes, const wchar_t* pszAttributeName,
                                 std::wstring& strValue);

    bool HasDocument() const { return static_cast<bool>(m_xmlDocument); }
    // Whether the file loaded; an unloaded one reads as an empty document. The reason is the
    // parser's, with its code.
    bool Loaded() const { return m_loaded; }
    const std::wstring& LoadError() const { return m_loadError; }

protected:
    // Declared first so that COM outlives the document.
    vemo::unique_couninitialize m_comScope;
    vemo::com_ptr<IXMLDOMDocument> m_xmlDocument;
    wchar_t m_filePath[kFilePathSize] = {};
    bool m_loaded = false;
    std::wstring m_loadError;
};

namespace vemo::xml {
void ThrowIfFailed(HRESULT hr);
unique_bstr MakeBstr(const wchar_t* pszText);

// DOM reads that throw CXmlComError when the DOM reports a failure.
std::wstring NodeText(IXMLDOMNode* pNode);
std::wstring NodeBaseName(IXMLDOMNode* pNode);  // local name; empty for text and similar nodes
// Why the document's last load failed: the parser's reason and code; empty when it cannot say.
std::wstring ParseErrorText(IXMLDOMDocument* pDocument);
com_ptr<IXMLDOMNamedNodeMap> NodeAttributes(IXMLDOMNode* pNode);
struct ChildList {
    com_ptr<IXMLDOMNodeList> list;
    long length = 0;
};
ChildList NodeChildren(IXMLDOMNode* pNode);
com_ptr<IXMLDOMNode> ListItem(IXMLDOMNodeList* pList, long index);
}  // namespace vemo::xml
