#pragma once
// The service's reader on one file, plus what the reader does not tell: whether MSXML could load
// the file at all, and which child elements of a "plugin" element it passes over.
#include <string>
#include <vector>

#include "VeMoHostIntLib/PluginKonfig.h"

namespace vemo::check {

class CPluginFileCheck : public CPluginConfig {
public:
    explicit CPluginFileCheck(const wchar_t* pszFilePath) : CPluginConfig(pszFilePath) {}

    // Empty when the document loaded; otherwise MSXML's reason, with line and column when known.
    std::wstring LoadError() const;
    // Child elements of "plugin" element nIndex that are not in the reader's vocabulary, by
    // their names as written. Throws CXmlComError on DOM failures.
    std::vector<std::wstring> UnknownChildElements(long nIndex) const;
};

}  // namespace vemo::check
