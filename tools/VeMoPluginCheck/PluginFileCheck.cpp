#include "PluginFileCheck.h"

#include <cwchar>

#include "common/UniqueHandle.h"

namespace vemo::check {

namespace {
constexpr wchar_t kNoDocument[] = L"MSXML is not available";
constexpr wchar_t kNotLoaded[] = L"MSXML could not load the file";
constexpr wchar_t kAtLine[] = L" (line ";
constexpr wchar_t kAtColumn[] = L", column ";
constexpr wchar_t kClose[] = L")";

bool IsKnownChild(const std::wstring& baseName) {
    for (const wchar_t* known : vemo::plugincfg::kPluginChildElements) {
        if (::_wcsicmp(baseName.c_str(), known) == 0) return true;
    }
    return false;
}

std::wstring Trimmed(const std::wstring& text) {
    const size_t first = text.find_first_not_of(L" \t\r\n");
    if (first == std::wstring::npos) return {};
    return text.substr(first, text.find_last_not_of(L" \t\r\n") - first + 1);
}
}  // namespace

std::wstring CPluginFileCheck::LoadError() const {
    if (!m_xmlDocument) return kNoDocument;
    com_ptr<IXMLDOMParseError> parseError;
    long code = 0;
    if (SUCCEEDED(m_xmlDocument->get_parseError(parseError.put())) && parseError) parseError->get_errorCode(&code);
    // A document that loaded has a root element; checked as well, since not every MSXML
    // fills the parse error.
    com_ptr<IXMLDOMElement> root;
    const bool hasRoot = SUCCEEDED(m_xmlDocument->get_documentElement(root.put())) && root;
    if (code == 0 && hasRoot) return {};

    std::wstring message = kNotLoaded;
    if (!parseError) return message;
    unique_bstr reason;
    parseError->get_reason(reason.put());
    const std::wstring reasonText = Trimmed(reason.get() ? std::wstring(reason.get()) : std::wstring());
    if (!reasonText.empty()) message += L": " + reasonText;
    long line = 0;
    long column = 0;
    parseError->get_line(&line);
    parseError->get_linepos(&column);
    if (line > 0) {
        message += kAtLine + std::to_wstring(line) + kAtColumn + std::to_wstring(column) + kClose;
    }
    return message;
}

std::vector<std::wstring> CPluginFileCheck::UnknownChildElements(long nIndex) const {
    std::vector<std::wstring> unknown;
    if (!m_xmlDocument) return unknown;
    unique_bstr tag = vemo::xml::MakeBstr(vemo::plugincfg::kPluginElement);
    com_ptr<IXMLDOMNodeList> plugins;
    vemo::xml::ThrowIfFailed(m_xmlDocument->getElementsByTagName(tag.get(), plugins.put()));
    if (!plugins) return unknown;
    com_ptr<IXMLDOMNode> plugin = vemo::xml::ListItem(plugins.get(), nIndex);
    if (!plugin) return unknown;
    const vemo::xml::ChildList children = vemo::xml::NodeChildren(plugin.get());
    for (long j = 0; j < children.length; ++j) {
        com_ptr<IXMLDOMNode> child = vemo::xml::ListItem(children.list.get(), j);
        DOMNodeType type = NODE_INVALID;
        if (!child || FAILED(child->get_nodeType(&type)) || type != NODE_ELEMENT) continue;
        if (IsKnownChild(vemo::xml::NodeBaseName(child.get()))) continue;
        unique_bstr name;
        vemo::xml::ThrowIfFailed(child->get_nodeName(name.put()));
        unknown.emplace_back(name.get() ? name.get() : L"");
    }
    return unknown;
}

}  // namespace vemo::check
