#include "PluginDocuments.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <map>

#include "ConfigDbModel.h"
#include "VeMoHostIntLib/PluginKonfig.h"
#include "common/UniqueHandle.h"

namespace badinput {
namespace {

using vemo::plugincfg::kPluginChildElements;

constexpr int kFieldBinaryName = 0;
constexpr int kFieldEvents = 1;
constexpr int kFieldSystem = 2;
constexpr int kFieldPure = 3;
constexpr int kFieldComponents = 4;
constexpr int kFieldRegistry = 5;
constexpr int kFieldTimeout = 6;
constexpr int kFieldPath = 7;
constexpr int kFieldMenu = 8;
constexpr int kFieldImplements = 9;
constexpr int kFieldCount = 10;
static_assert(std::size(kPluginChildElements) == kFieldCount);

constexpr const wchar_t* kImplementsAttributes[] = {L"run", L"runmenu", L"initialize", L"uninitialize"};
constexpr size_t kComponentIdLength = 8;
constexpr size_t kRegistryTextChars = 255;
constexpr DWORD kRegistryDataBytes = 260;
constexpr size_t kHugeChars = 32768;  // 64 KiB of UTF-16
constexpr UINT kCp1252 = 1252;

// Character pools. Left out on purpose: U+0130, U+0131, U+017F and U+212A, which some case
// foldings map onto ASCII letters, and every character XML does not allow.
constexpr wchar_t kAsciiLetters[] = L"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
constexpr wchar_t kPunctuation[] = L"_-.:;,!?#%+=/\\()[]{}$@~^|'\"<>&*";
constexpr wchar_t kLatin1[] = L"äöüÄÖÜßéèñçøåÿ¿×°µ";
constexpr wchar_t kCp1252Only[] = L"€‚„…†‡‰Š‹ŒŽ‘’“”•–—™š›œžŸ";
constexpr wchar_t kAboveLatin1[] = L"中文ĀłΩЖאعक한あ\uFFFD";
constexpr wchar_t kInteriorOnly[] = L" \t\n\r\u00A0\u3000\uFEFF";
constexpr const wchar_t* kSupplementary[] = {L"\U0001F600", L"\U0001D11E", L"\U00020000"};

constexpr wchar_t kNameStart[] = L"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_äßÖ";
constexpr wchar_t kNameRest[] = L"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-._äß";
constexpr const wchar_t* kPrefixes[] = {L"x", L"ns1", L"vemo", L"q"};
constexpr const wchar_t* kNearMisses[] = {L"binaryNam", L"binary_name", L"systems", L"puree", L"timeout",
                                          L"timeout_unload", L"paths", L"menus", L"implement", L"event",
                                          L"ignoreoninstalledcomponents", L"ignoreonregistry", L"Plugin",
                                          L"PLUGIN", L"plugins", L"descripton"};
constexpr const wchar_t* kTypeTexts[] = {L"dll", L"DLL", L"Dll", L"listener", L"LISTENER", L"Listener", L"service",
                                         L"", L"dl", L"dlll", L"listen", L"d ll", L"dll\u00E4"};
constexpr const wchar_t* kLevelTexts[] = {L"1", L"01", L"2", L"", L"0", L"1.0", L"l", L"+1", L"\u00B9"};
constexpr const wchar_t* kFlagTexts[] = {L"true", L"TRUE", L"True", L"tRUE", L"false", L"yes", L"1",  L"",
                                         L"truE", L"t rue", L"true1", L"tr\u00FCe", L"FALSE", L"on"};
constexpr const wchar_t* kNumberEdges[] = {L"2147483647", L"2147483648", L"-2147483648", L"-2147483649",
                                           L"4294967295", L"4294967296", L"99999999999999999999999",
                                           L"-99999999999999999999", L"0", L"-0", L"+0", L"000000000000123"};
constexpr const wchar_t* kNotNumbers[] = {L"", L"abc", L"-", L"+", L"+-5", L"0x1F", L"--5", L"- 5", L"ms", L".5",
                                          L"\u00E4", L"e3"};
constexpr const wchar_t* kNumberTails[] = {L"ms", L"abc", L" 12", L".5", L"e3", L"x", L"\u4E2D", L"-3"};
constexpr const wchar_t* kMalformedTokens[] = {L"b0009981", L"B000998", L"B00099811", L" B0009981", L"X0009981",
                                               L"B000998 ", L"B\u00E4\u00E4\u00E4\u00E4\u00E4\u00E4\u00E4",
                                               L"B-000001", L"B\u4E2D000001"};
// Date marks are left to the template group, which allows for the date turning over meanwhile.
constexpr const wchar_t* kPathPieces[] = {L"C:\\Plugins\\", L"D:\\", L"\\\\server\\share\\", L"sub\\", L"..\\",
                                          L"Pr\u00FCfung\\", L"Kosten\u20AC\\", L"\u4E2D\u6587\\", L"a b\\",
                                          L"{",  L"}", L"{foo}", L"{pid", L"pid}", L"{{pid}}", L"(", L")}",
                                          L"\uFF5Bpid\uFF5D", L"{programdir(", L"{konfigdir(",
                                          L"{pname}", L"{PID}", L"{Cat}", L"{tracelogdir}", L"{programdir)}",
                                          L"{programdir()}"};

bool IsXmlSpace(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\n' || c == L'\r'; }
// Never next to a place where a text is cut into pieces: a DOM might trim a piece.
bool IsSpaceLike(wchar_t c) { return IsXmlSpace(c) || c == 0x00A0 || c == 0x3000 || c == 0xFEFF; }
bool IsHighSurrogate(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }

wchar_t PickChar(Rng& rng, const wchar_t* pool, size_t n) { return pool[rng.Below(static_cast<uint32_t>(n - 1))]; }
template <size_t N>
wchar_t PickChar(Rng& rng, const wchar_t (&pool)[N]) {
    return PickChar(rng, pool, N);
}

// One character (or pair) that may stand at the edge of a text: never white space.
std::wstring EdgeChar(Rng& rng) {
    switch (rng.Below(10)) {
        case 0: return std::wstring(1, PickChar(rng, kLatin1));
        case 1: return std::wstring(1, PickChar(rng, kCp1252Only));
        case 2: return std::wstring(1, PickChar(rng, L"中文ĀłΩЖאعक한あ"));
        case 3: return rng.Pick(kSupplementary);
        default: return std::wstring(1, PickChar(rng, kAsciiLetters));
    }
}

std::wstring AnyChar(Rng& rng) {
    switch (rng.Below(14)) {
        case 0: case 1: return std::wstring(1, PickChar(rng, kPunctuation));
        case 2: return std::wstring(1, PickChar(rng, kLatin1));
        case 3: return std::wstring(1, PickChar(rng, kCp1252Only));
        case 4: return std::wstring(1, PickChar(rng, kAboveLatin1));
        case 5: return rng.Pick(kSupplementary);
        case 6: return std::wstring(1, PickChar(rng, kInteriorOnly));
        default: return std::wstring(1, PickChar(rng, kAsciiLetters));
    }
}

// A text without white space at its edges (the DOM trims it), sometimes long, rarely 64 KiB.
std::wstring RandomText(Rng& rng, int maxChars, const GeneratorOptions& options) {
    size_t length = rng.Below(static_cast<uint32_t>(maxChars) + 1);
    if (rng.Below(1000) < static_cast<uint32_t>(options.hugePercentTenths)) {
        length = kHugeChars;
    } else if (rng.Chance(3)) {
        length = 300 + rng.Below(700);
    }
    std::wstring text;
    if (length == 0) return text;
    text += EdgeChar(rng);
    while (text.size() + 2 < length) text += AnyChar(rng);
    if (length > 1) text += EdgeChar(rng);
    return text;
}

std::wstring RandomName(Rng& rng) {
    std::wstring name(1, PickChar(rng, kNameStart));
    const int extra = rng.Between(0, 12);
    for (int i = 0; i < extra; ++i) name += PickChar(rng, kNameRest);
    if (name.size() >= 3 && (name[0] == L'x' || name[0] == L'X') && (name[1] == L'm' || name[1] == L'M')) {
        name[0] = L'_';  // names beginning with "xml" are reserved
    }
    return name;
}

std::wstring RandomCase(Rng& rng, const std::wstring& name) {
    std::wstring out = name;
    for (wchar_t& c : out) {
        if (c < 0x80 && iswalpha(c)) c = rng.Chance(50) ? towupper(c) : towlower(c);
    }
    return out;
}

bool EqualsAsciiIgnoreCase(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        wchar_t x = a[i], y = b[i];
        if (x >= L'A' && x <= L'Z') x = static_cast<wchar_t>(x - L'A' + L'a');
        if (y >= L'A' && y <= L'Z') y = static_cast<wchar_t>(y - L'A' + L'a');
        if (x != y) return false;
    }
    return true;
}

int KnownField(const std::wstring& localName) {
    for (int f = 0; f < kFieldCount; ++f) {
        if (EqualsAsciiIgnoreCase(localName, kPluginChildElements[f])) return f;
    }
    return -1;
}

std::wstring LocalName(const std::wstring& name) {
    const size_t colon = name.find(L':');
    return colon == std::wstring::npos ? name : name.substr(colon + 1);
}

std::wstring UnknownName(Rng& rng) {
    for (;;) {
        std::wstring name = rng.Chance(40) ? std::wstring(rng.Pick(kNearMisses)) : RandomName(rng);
        if (KnownField(name) < 0 && name != L"plugin") return name;
    }
}

std::wstring Number(Rng& rng) {
    switch (rng.Below(8)) {
        case 0: return std::to_wstring(static_cast<int32_t>(rng.Next()));
        case 1: return rng.Pick(kNumberEdges);
        case 2: return rng.Pick(kNotNumbers);
        case 3: return std::to_wstring(rng.Below(100000)) + rng.Pick(kNumberTails);
        case 4: return (rng.Chance(50) ? L"+" : L"-") + std::to_wstring(rng.Below(100000));
        case 5: {
            std::wstring digits = rng.Chance(50) ? L"-" : L"";
            const int n = rng.Between(10, 30);
            for (int i = 0; i < n; ++i) digits += static_cast<wchar_t>(L'0' + rng.Below(10));
            return digits;
        }
        default: return std::to_wstring(rng.Below(120000));
    }
}

std::wstring ComponentList(Rng& rng, const GeneratorWorld& world) {
    std::wstring list;
    if (rng.Chance(15)) list = rng.Chance(50) ? std::wstring(L"B12") : rng.Pick(kMalformedTokens);
    const int tokens = list.empty() ? rng.Between(1, 4) : 0;
    for (int i = 0; i < tokens; ++i) {
        if (i > 0 || rng.Chance(5)) list += rng.Chance(50) ? L";" : L",";
        if (rng.Chance(10)) list += rng.Chance(50) ? L";" : L",";  // an empty piece
        const uint32_t kind = rng.Below(10);
        if (kind < 3 && !world.installedIds.empty()) {
            list += rng.Pick(world.installedIds);
        } else if (kind < 8 && !world.notInstalledIds.empty()) {
            list += rng.Pick(world.notInstalledIds);
        } else {
            list += rng.Pick(kMalformedTokens);
        }
    }
    // The DOM trims the edges; a list that begins with a blank would read differently.
    while (!list.empty() && IsXmlSpace(list.back())) list.pop_back();
    while (!list.empty() && IsXmlSpace(list.front())) list.erase(0, 1);
    return list;
}

std::wstring TemplatePath(Rng& rng, const GeneratorWorld& world, const GeneratorOptions& options) {
    std::wstring path;
    const int pieces = rng.Between(0, 6);
    for (int i = 0; i < pieces; ++i) {
        const uint32_t kind = rng.Below(10);
        if (kind < 4) {
            path += rng.Pick(kPathPieces);
        } else if (kind < 6 && !world.templateIds.empty()) {
            path += RandomCase(rng, rng.Chance(50) ? L"{konfigdir(" : L"{programdir(") + rng.Pick(world.templateIds) +
                    L")}";
        } else if (kind < 7 && !world.logIds.empty()) {
            path += RandomCase(rng, L"{logdir(") + rng.Pick(world.logIds) + L")}";
        } else {
            path += RandomText(rng, 12, options);
        }
    }
    if (rng.Chance(2)) path += std::wstring(300, L'p') + L"\\";
    while (!path.empty() && IsXmlSpace(path.back())) path.pop_back();
    while (!path.empty() && IsXmlSpace(path.front())) path.erase(0, 1);
    return path;
}

std::wstring RegistryRule(Rng& rng, const GeneratorWorld& world, const GeneratorOptions& options) {
    if (!world.registryRules.empty() && rng.Chance(85)) return rng.Pick(world.registryRules);
    return RandomText(rng, 20, options);
}

ChildSpec FieldChild(Rng& rng, int field, const GeneratorWorld& world, const GeneratorOptions& options) {
    ChildSpec child;
    child.kind = ChildSpec::Kind::kField;
    child.field = field;
    child.name = RandomCase(rng, kPluginChildElements[field]);
    if (rng.Chance(10)) {
        child.prefix = rng.Pick(kPrefixes);
        child.name = child.prefix + L":" + child.name;
    }
    child.style = static_cast<TextStyle>(rng.Below(4));
    switch (field) {
        case kFieldSystem:
        case kFieldPure:
            child.text = rng.Chance(85) ? std::wstring(rng.Pick(kFlagTexts)) : RandomText(rng, 8, options);
            if (!options.systemPlugins && field == kFieldSystem && EqualsAsciiIgnoreCase(child.text, L"true")) {
                child.text = L"false";
            }
            break;
        case kFieldComponents: child.text = ComponentList(rng, world); break;
        case kFieldRegistry: child.text = RegistryRule(rng, world, options); break;
        case kFieldTimeout: child.text = Number(rng); break;
        case kFieldPath: child.text = TemplatePath(rng, world, options); break;
        case kFieldMenu: {
            if (rng.Chance(70)) child.pos = Number(rng);
            const int entries = rng.Between(0, 5);
            MenuEntrySpec::Kind last = MenuEntrySpec::Kind::kElement;
            for (int i = 0; i < entries; ++i) {
                MenuEntrySpec entry;
                const uint32_t kind = rng.Below(10);
                entry.kind = kind < 6 ? MenuEntrySpec::Kind::kElement : static_cast<MenuEntrySpec::Kind>(kind - 5);
                // Two texts side by side are one node. So are two CDATA sections under Wine, whose
                // libxml2 joins them; MSXML keeps them apart.
                if ((entry.kind == MenuEntrySpec::Kind::kText || entry.kind == MenuEntrySpec::Kind::kCData) &&
                    entry.kind == last) {
                    entry.kind = MenuEntrySpec::Kind::kComment;
                }
                last = entry.kind;
                if (entry.kind == MenuEntrySpec::Kind::kElement) {
                    entry.name = rng.Chance(30) ? RandomCase(rng, rng.Chance(50) ? L"fid" : L"text") : RandomName(rng);
                    if (rng.Chance(60)) {
                        const wchar_t* actives[] = {L"1", L"0", L"", L"yes", L" 1", L"true", L"01"};
                        entry.active = rng.Pick(actives);
                    }
                    if (rng.Chance(40)) entry.parent = RandomText(rng, 10, options);
                    const int children = rng.Between(0, 4);
                    bool childWasText = false;
                    for (int c = 0; c < children; ++c) {
                        MenuChildSpec part;
                        part.element = childWasText || rng.Chance(85);
                        childWasText = !part.element;
                        const uint32_t which = rng.Below(4);
                        const wchar_t* names[] = {L"fid", L"text", L"separ"};
                        part.name = which < 3 ? RandomCase(rng, names[which]) : UnknownName(rng);
                        if (part.element && rng.Chance(10)) part.name = std::wstring(rng.Pick(kPrefixes)) + L":" + part.name;
                        part.text = which == 0 ? Number(rng) : RandomText(rng, 10, options);
                        if (!part.element && part.text.empty()) part.text = L"t";
                        part.style = static_cast<TextStyle>(rng.Below(4));
                        entry.children.push_back(std::move(part));
                    }
                } else {
                    // Comments and instructions cannot hold references: plain letters only.
                    entry.name = L"e";
                    const int letters = rng.Between(0, 8);
                    for (int l = 0; l < letters; ++l) entry.name += PickChar(rng, kAsciiLetters);
                }
                child.entries.push_back(std::move(entry));
            }
            break;
        }
        case kFieldImplements:
            for (auto& attribute : child.implementsAttr) {
                if (rng.Chance(50)) attribute = rng.Chance(25) ? std::wstring() : RandomText(rng, 12, options);
            }
            break;
        default: child.text = RandomText(rng, 24, options); break;
    }
    return child;
}

}  // namespace

std::shared_ptr<PluginSpec> GeneratePlugin(Rng& rng, const GeneratorWorld& world, const GeneratorOptions& options) {
    auto plugin = std::make_shared<PluginSpec>();
    if (rng.Chance(90)) plugin->description = RandomText(rng, 20, options);
    if (rng.Chance(70)) plugin->type = rng.Chance(85) ? std::wstring(rng.Pick(kTypeTexts)) : RandomText(rng, 6, options);
    if (rng.Chance(60)) plugin->level = rng.Chance(85) ? std::wstring(rng.Pick(kLevelTexts)) : RandomText(rng, 4, options);
    const int others = rng.Chance(30) ? rng.Between(1, 3) : 0;
    const wchar_t* otherNames[] = {L"Description", L"TYPE", L"Level", L"name", L"version", L"descriptio"};
    for (int i = 0; i < others; ++i) {
        std::wstring name = otherNames[i];  // distinct names: a duplicate attribute is an error
        plugin->otherAttributes.emplace_back(name, RandomText(rng, 8, options));
    }

    const int children = rng.Between(0, options.maxChildren);
    bool lastWasText = false;
    for (int i = 0; i < children; ++i) {
        const uint32_t kind = rng.Below(100);
        ChildSpec child;
        if (kind < 70) {
            child = FieldChild(rng, static_cast<int>(rng.Below(kFieldCount)), world, options);
        } else if (kind < 78) {
            child.kind = ChildSpec::Kind::kUnknown;
            child.name = UnknownName(rng);
            child.text = RandomText(rng, 12, options);
        } else if (kind < 84) {
            child.kind = ChildSpec::Kind::kDeeper;
            child.field = static_cast<int>(rng.Below(kFieldCount));
            child.name = UnknownName(rng);
            child.text = RandomText(rng, 8, options);
        } else if (kind < 87 && options.allowNestedPlugins) {
            child.kind = ChildSpec::Kind::kNestedPlugin;
            GeneratorOptions inner = options;
            inner.allowNestedPlugins = false;
            child.nested = GeneratePlugin(rng, world, inner);
        } else if (kind < 92) {
            child.kind = ChildSpec::Kind::kComment;
        } else if (kind < 96) {
            child.kind = ChildSpec::Kind::kPi;
        } else {
            child.kind = lastWasText ? ChildSpec::Kind::kComment : ChildSpec::Kind::kText;
            child.text = L"t" + RandomText(rng, 8, GeneratorOptions{});
            if (IsHighSurrogate(child.text.back())) child.text += L"t";
        }
        lastWasText = child.kind == ChildSpec::Kind::kText;
        plugin->children.push_back(std::move(child));
    }
    return plugin;
}

DocumentSpec GenerateDocument(Rng& rng, const GeneratorWorld& world, const GeneratorOptions& options) {
    DocumentSpec document;
    do {
        document.rootName = rng.Chance(50) ? std::wstring(L"plugins") : RandomName(rng);
    } while (document.rootName == L"plugin");
    const int plugins = rng.Between(options.minPlugins, options.maxPlugins);
    for (int i = 0; i < plugins; ++i) {
        if (rng.Chance(30)) {
            DocumentSpec::Slot filler;
            const wchar_t* fillers[] = {L"<!-- plugin -->", L"<?plugin x?>", L"<Plugin description=\"no\"/>",
                                        L"<PLUGIN/>", L"<plugins><item/></plugins>", L"text<b>bold</b>",
                                        L"<![CDATA[<plugin/>]]>", L"<pluginX/>"};
            filler.filler = rng.Pick(fillers);
            document.slots.push_back(filler);
        }
        DocumentSpec::Slot slot;
        slot.plugin = GeneratePlugin(rng, world, options);
        slot.depth = static_cast<int>(rng.Below(static_cast<uint32_t>(options.maxDepth) + 1));
        document.slots.push_back(std::move(slot));
    }
    return document;
}

// --- writing ---------------------------------------------------------------------------------

const char* EncodingName(Encoding encoding) {
    switch (encoding) {
        case Encoding::kUtf8: return "UTF-8";
        case Encoding::kUtf8Bom: return "UTF-8 with BOM";
        case Encoding::kUtf8Declared: return "UTF-8 declared";
        case Encoding::kUtf16LeBom: return "UTF-16LE with BOM";
        case Encoding::kUtf16BeBom: return "UTF-16BE with BOM";
        case Encoding::kUtf16LeDeclared: return "UTF-16LE declared, no BOM";
        case Encoding::kCp1252: return "windows-1252";
        default: return "ISO-8859-1";
    }
}

namespace {

bool CanEncode(char32_t c, Encoding encoding) {
    if (c < 0x80) return true;
    if (encoding == Encoding::kLatin1) return c <= 0xFF;
    if (encoding == Encoding::kCp1252) {
        if (c >= 0xA0 && c <= 0xFF) return true;
        std::string bytes;
        return c <= 0xFFFF && SingleByte(std::wstring(1, static_cast<wchar_t>(c)), kCp1252, bytes);
    }
    return true;
}

class Writer {
public:
    Writer(Rng& rng, Encoding encoding) : m_rng(rng), m_encoding(encoding) {}
    std::wstring& out() { return m_out; }

    void Raw(const std::wstring& text) { m_out += text; }

    void Reference(char32_t c) {
        if (m_rng.Chance(50)) {
            m_out += L"&#" + std::to_wstring(static_cast<unsigned>(c)) + L";";
            return;
        }
        std::wstring digits;
        for (char32_t v = c; v != 0 || digits.empty(); v >>= 4) digits.insert(digits.begin(), L"0123456789ABCDEF"[v & 0xF]);
        m_out += L"&#x" + digits + L";";
    }

    // Text content: markup characters escaped, CR as a reference (a raw one would be normalised),
    // characters the encoding lacks as references.
    void Escaped(const std::wstring& text, bool attribute, bool allReferences) {
        for (size_t i = 0; i < text.size(); ++i) {
            char32_t c = text[i];
            if (IsHighSurrogate(text[i]) && i + 1 < text.size()) {
                c = 0x10000 + ((text[i] - 0xD800) << 10) + (text[i + 1] - 0xDC00);
                ++i;
            }
            if (c == L'&') {
                m_out += L"&amp;";
            } else if (c == L'<') {
                m_out += L"&lt;";
            } else if (c == L'>' && m_rng.Chance(50)) {
                m_out += L"&gt;";
            } else if (attribute && c == L'"') {
                m_out += L"&quot;";
            } else if (c == L'\r' || (attribute && (c == L'\t' || c == L'\n'))) {
                Reference(c);
            } else if (!CanEncode(c, m_encoding) || (allReferences && (c >= 0x80 || m_rng.Chance(20)) &&
                                                      !IsXmlSpace(static_cast<wchar_t>(c)))) {
                Reference(c);
            } else if (c > 0xFFFF) {
                m_out += text.substr(i - 1, 2);
            } else {
                m_out += static_cast<wchar_t>(c);
            }
        }
    }

    // Places where a text may be cut into differently written pieces: between two characters
    // that are not white space, never inside a pair.
    std::vector<size_t> CutPoints(const std::wstring& text) {
        std::vector<size_t> points;
        for (size_t i = 1; i < text.size(); ++i) {
            if (!IsSpaceLike(text[i - 1]) && !IsSpaceLike(text[i]) && !IsHighSurrogate(text[i - 1])) points.push_back(i);
        }
        return points;
    }

    bool CDataSafe(const std::wstring& piece) {
        if (piece.empty() || piece.find(L"]]>") != std::wstring::npos || piece.find(L'\r') != std::wstring::npos) {
            return false;
        }
        for (size_t i = 0; i < piece.size(); ++i) {
            char32_t c = piece[i];
            if (IsHighSurrogate(piece[i]) && i + 1 < piece.size()) {
                c = 0x10000 + ((piece[i] - 0xD800) << 10) + (piece[i + 1] - 0xDC00);
                ++i;
            }
            if (!CanEncode(c, m_encoding)) return false;
        }
        return true;
    }

    void Value(const std::wstring& text, TextStyle style) {
        if (style == TextStyle::kPlain || style == TextStyle::kCharRefs || text.size() < 2) {
            Escaped(text, false, style == TextStyle::kCharRefs);
            return;
        }
        std::vector<size_t> points = CutPoints(text);
        if (points.empty()) {
            Escaped(text, false, false);
            return;
        }
        const size_t a = points[m_rng.Below(static_cast<uint32_t>(points.size()))];
        const size_t b = points[m_rng.Below(static_cast<uint32_t>(points.size()))];
        const size_t first = std::min(a, b), second = std::max(a, b);
        const std::wstring head = text.substr(0, first);
        const std::wstring middle = text.substr(first, second - first);
        const std::wstring tail = text.substr(second);
        Escaped(head, false, false);
        if (style == TextStyle::kCData && CDataSafe(middle)) {
            m_out += L"<![CDATA[" + middle + L"]]>";
        } else if (style == TextStyle::kInline && !middle.empty()) {
            const std::wstring name = m_rng.Chance(30) ? std::wstring(L"binaryName") : RandomName(m_rng);
            m_out += L"<" + name + L">";
            Escaped(middle, false, false);
            m_out += L"</" + name + L">";
        } else {
            Escaped(middle, false, false);
        }
        Escaped(tail, false, false);
    }

    void Attribute(const std::wstring& name, const std::wstring& value) {
        m_out += L" " + name + L"=\"";
        Escaped(value, true, m_rng.Chance(10));
        m_out += L"\"";
    }

    void StartTag(const std::wstring& name, const std::wstring& prefix) {
        m_out += L"<" + name;
        if (!prefix.empty()) m_out += L" xmlns:" + prefix + L"=\"urn:vemo:" + prefix + L"\"";
    }

    void Comment() { m_out += L"<!-- c" + std::to_wstring(m_rng.Below(1000)) + L" -->"; }
    void Pi() { m_out += L"<?pi data" + std::to_wstring(m_rng.Below(1000)) + L"?>"; }

    void MenuEntry(const MenuEntrySpec& entry) {
        switch (entry.kind) {
            case MenuEntrySpec::Kind::kComment: m_out += L"<!--" + entry.name + L"-->"; return;
            case MenuEntrySpec::Kind::kText: Escaped(entry.name, false, false); return;
            case MenuEntrySpec::Kind::kCData:
                if (CDataSafe(entry.name)) {
                    m_out += L"<![CDATA[" + entry.name + L"]]>";
                } else {
                    m_out += L"<!--" + entry.name + L"-->";  // still one node without a name
                }
                return;
            case MenuEntrySpec::Kind::kPi: m_out += L"<?pi " + entry.name + L"?>"; return;
            default: break;
        }
        StartTag(entry.name, L"");
        std::vector<std::wstring> declared;
        for (const MenuChildSpec& part : entry.children) {
            const size_t colon = part.name.find(L':');
            if (part.element && colon != std::wstring::npos) {
                const std::wstring prefix = part.name.substr(0, colon);
                if (std::find(declared.begin(), declared.end(), prefix) == declared.end()) {
                    m_out += L" xmlns:" + prefix + L"=\"urn:vemo:" + prefix + L"\"";
                    declared.push_back(prefix);
                }
            }
        }
        if (entry.active) Attribute(L"active", *entry.active);
        if (entry.parent) Attribute(L"parent", *entry.parent);
        m_out += L">";
        for (const MenuChildSpec& part : entry.children) {
            if (!part.element) {
                Escaped(part.text, false, false);
                continue;
            }
            m_out += L"<" + part.name + L">";
            Value(part.text, part.style);
            m_out += L"</" + part.name + L">";
        }
        m_out += L"</" + entry.name + L">";
    }

    void Plugin(const PluginSpec& plugin) {
        m_out += L"<plugin";
        std::vector<std::pair<std::wstring, std::wstring>> attributes = plugin.otherAttributes;
        if (plugin.description) attributes.emplace_back(L"description", *plugin.description);
        if (plugin.type) attributes.emplace_back(L"type", *plugin.type);
        if (plugin.level) attributes.emplace_back(L"level", *plugin.level);
        for (size_t i = attributes.size(); i > 1; --i) std::swap(attributes[i - 1], attributes[m_rng.Below(static_cast<uint32_t>(i))]);
        for (const auto& [name, value] : attributes) Attribute(name, value);
        if (plugin.children.empty() && m_rng.Chance(50)) {
            m_out += L"/>";
            return;
        }
        m_out += L">";
        for (const ChildSpec& child : plugin.children) Child(child);
        m_out += L"</plugin>";
    }

    void Child(const ChildSpec& child) {
        switch (child.kind) {
            case ChildSpec::Kind::kComment: Comment(); return;
            case ChildSpec::Kind::kPi: Pi(); return;
            case ChildSpec::Kind::kText: Escaped(child.text, false, false); return;
            case ChildSpec::Kind::kNestedPlugin: Plugin(*child.nested); return;
            case ChildSpec::Kind::kUnknown:
                m_out += L"<" + child.name + L">";
                Value(child.text, child.style);
                m_out += L"</" + child.name + L">";
                return;
            case ChildSpec::Kind::kDeeper: {
                const std::wstring inner = kPluginChildElements[child.field];
                m_out += L"<" + child.name + L"><" + inner + L">";
                Value(child.text, TextStyle::kPlain);
                m_out += L"</" + inner + L"></" + child.name + L">";
                return;
            }
            default: break;
        }
        StartTag(child.name, child.prefix);
        if (child.field == kFieldMenu) {
            if (child.pos) Attribute(L"pos", *child.pos);
            m_out += L">";
            for (const MenuEntrySpec& entry : child.entries) MenuEntry(entry);
        } else if (child.field == kFieldImplements) {
            for (size_t k = 0; k < std::size(kImplementsAttributes); ++k) {
                if (child.implementsAttr[k]) Attribute(kImplementsAttributes[k], *child.implementsAttr[k]);
            }
            m_out += L">";
        } else {
            m_out += L">";
            Value(child.text, child.style);
        }
        m_out += L"</" + child.name + L">";
    }

private:
    Rng& m_rng;
    Encoding m_encoding;
    std::wstring m_out;
};

std::wstring Declaration(Encoding encoding) {
    switch (encoding) {
        case Encoding::kUtf8Declared: return L"<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
        case Encoding::kUtf16LeDeclared: return L"<?xml version=\"1.0\" encoding=\"UTF-16\"?>";
        case Encoding::kCp1252: return L"<?xml version=\"1.0\" encoding=\"windows-1252\"?>";
        case Encoding::kLatin1: return L"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>";
        default: return {};
    }
}

void CollectPlugins(const PluginSpec& plugin, std::vector<const PluginSpec*>& out) {
    out.push_back(&plugin);
    for (const ChildSpec& child : plugin.children) {
        if (child.kind == ChildSpec::Kind::kNestedPlugin) CollectPlugins(*child.nested, out);
    }
}

}  // namespace

std::wstring WriteDocument(Rng& rng, const DocumentSpec& document, Encoding encoding) {
    Writer writer(rng, encoding);
    writer.Raw(Declaration(encoding));
    if (rng.Chance(20)) writer.Comment();
    writer.Raw(L"<" + document.rootName + L">");
    for (const DocumentSpec::Slot& slot : document.slots) {
        if (!slot.plugin) {
            writer.Raw(slot.filler);
            continue;
        }
        for (int d = 0; d < slot.depth; ++d) writer.Raw(L"<g" + std::to_wstring(d % 7) + L">");
        writer.Plugin(*slot.plugin);
        for (int d = slot.depth; d > 0; --d) writer.Raw(L"</g" + std::to_wstring((d - 1) % 7) + L">");
    }
    writer.Raw(L"</" + document.rootName + L">");
    if (rng.Chance(20)) writer.Raw(L"\n");
    return writer.out();
}

std::string EncodeDocument(const std::wstring& text, Encoding encoding) {
    std::string bytes;
    switch (encoding) {
        case Encoding::kUtf8Bom: return "\xEF\xBB\xBF" + Utf8(text);
        case Encoding::kUtf16LeBom: return "\xFF\xFE" + Utf16(text, false);
        case Encoding::kUtf16BeBom: return "\xFE\xFF" + Utf16(text, true);
        case Encoding::kUtf16LeDeclared: return Utf16(text, false);
        case Encoding::kCp1252: SingleByte(text, kCp1252, bytes); return bytes;
        case Encoding::kLatin1:
            for (const wchar_t c : text) bytes += static_cast<char>(c & 0xFF);
            return bytes;
        default: return Utf8(text);
    }
}

std::vector<const PluginSpec*> PluginsInOrder(const DocumentSpec& document) {
    std::vector<const PluginSpec*> plugins;
    for (const DocumentSpec::Slot& slot : document.slots) {
        if (slot.plugin) CollectPlugins(*slot.plugin, plugins);
    }
    return plugins;
}

int DeepestElement(const std::wstring& xml) {
    int depth = 0, deepest = 0;
    auto skipTo = [&](size_t from, const wchar_t* end) {
        const size_t at = xml.find(end, from);
        return at == std::wstring::npos ? xml.size() : at + wcslen(end);
    };
    for (size_t i = 0; i < xml.size();) {
        if (xml[i] != L'<') {
            ++i;
        } else if (xml.compare(i, 4, L"<!--") == 0) {
            i = skipTo(i, L"-->");
        } else if (xml.compare(i, 9, L"<![CDATA[") == 0) {
            i = skipTo(i, L"]]>");
        } else if (xml.compare(i, 2, L"<?") == 0) {
            i = skipTo(i, L"?>");
        } else if (xml.compare(i, 2, L"</") == 0) {
            --depth;
            i = skipTo(i, L">");
        } else {
            // A start tag: attribute values may hold '>' and '/', so quotes are skipped.
            size_t j = i + 1;
            wchar_t quote = 0;
            for (; j < xml.size(); ++j) {
                if (quote) {
                    if (xml[j] == quote) quote = 0;
                } else if (xml[j] == L'"' || xml[j] == L'\'') {
                    quote = xml[j];
                } else if (xml[j] == L'>') {
                    break;
                }
            }
            deepest = std::max(deepest, depth + 1);
            if (j > 0 && xml[j - 1] != L'/') ++depth;
            i = j + 1;
        }
    }
    return deepest;
}

// --- what the reader is to make of it ------------------------------------------------------

namespace {

int Decimal(const std::wstring& text) {
    size_t i = 0;
    while (i < text.size() && (IsXmlSpace(text[i]) || text[i] == L'\v' || text[i] == L'\f')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) negative = text[i++] == L'-';
    long long value = 0;
    bool digits = false;
    constexpr long long kCap = static_cast<long long>(INT32_MAX) + 1;
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
        digits = true;
        value = std::min(kCap, value * 10 + (text[i] - L'0'));
    }
    if (!digits) return 0;
    if (negative) value = -value;
    // Out of range saturates, as a C conversion does.
    return static_cast<int>(std::clamp<long long>(value, INT32_MIN, INT32_MAX));
}

bool RegistryRuleIgnores(const std::wstring& text) {
    if (text.empty()) return false;
    std::wstring keyPath = text.substr(0, kRegistryTextChars);
    std::wstring valueName = keyPath;
    const size_t backslash = keyPath.rfind(L'\\');
    if (backslash == std::wstring::npos) return false;
    if (backslash + 1 < keyPath.size()) {
        valueName = keyPath.substr(backslash + 1);
        keyPath.resize(backslash);
    }
    vemo::unique_hkey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ | KEY_WOW64_32KEY, key.put()) !=
        ERROR_SUCCESS) {
        return false;
    }
    DWORD type = 0, bytes = 0;
    if (::RegQueryValueExW(key.get(), valueName.c_str(), nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS ||
        bytes > kRegistryDataBytes || type != REG_DWORD) {
        return false;
    }
    std::string data(bytes, '\0');
    ::RegQueryValueExW(key.get(), valueName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &bytes);
    uint32_t value = 0;
    std::memcpy(&value, data.data(), std::min<size_t>(bytes, sizeof(value)));
    return value != 0;
}

std::map<std::wstring, bool> g_installed;
std::map<std::wstring, bool> g_ruleIgnores;
std::map<std::wstring, std::wstring> g_paths;

template <typename Map, typename Compute>
auto Remembered(Map& map, const std::wstring& key, Compute compute) {
    const auto found = map.find(key);
    if (found != map.end()) return found->second;
    return map.emplace(key, compute()).first->second;
}

MenuEntry ExpectEntry(const MenuEntrySpec& spec) {
    MenuEntry entry;
    if (spec.kind != MenuEntrySpec::Kind::kElement) return entry;
    if (spec.active) entry._isActive = spec.active->empty() || *spec.active == L"1";
    if (spec.parent) entry._parentMenu = *spec.parent;
    for (const MenuChildSpec& part : spec.children) {
        if (!part.element) continue;
        const std::wstring local = LocalName(part.name);
        if (EqualsAsciiIgnoreCase(local, L"fid")) {
            entry._function = Decimal(part.text);
            entry._isSeparator = false;
        } else if (EqualsAsciiIgnoreCase(local, L"text")) {
            entry._text = part.text;
            entry._isSeparator = false;
        } else if (EqualsAsciiIgnoreCase(local, L"separ")) {
            entry._isSeparator = true;
        }
    }
    return entry;
}

}  // namespace

void ForgetExpectations() {
    g_installed.clear();
    g_ruleIgnores.clear();
    g_paths.clear();
}

ExpectedPlugin Expect(const PluginSpec& plugin) {
    ExpectedPlugin e;
    e.name = plugin.description.value_or(L"");
    const std::wstring type = plugin.type.value_or(L"");
    e.type = EqualsAsciiIgnoreCase(type, L"dll") ? 1 : EqualsAsciiIgnoreCase(type, L"listener") ? 2 : 0;
    e.level = EqualsAsciiIgnoreCase(plugin.level.value_or(L""), L"1") ? 1 : 0;
    bool registryIgnores = false;
    std::wstring position;
    std::wstring names[4];
    for (const ChildSpec& child : plugin.children) {
        if (child.kind != ChildSpec::Kind::kField) continue;
        switch (child.field) {
            case kFieldBinaryName: e.binaryName = child.text; break;
            case kFieldEvents: e.className = child.text; break;
            case kFieldSystem: e.system = EqualsAsciiIgnoreCase(child.text, L"true"); break;
            case kFieldPure: e.pure = EqualsAsciiIgnoreCase(child.text, L"true"); break;
            case kFieldComponents:
                if (child.text.size() >= kComponentIdLength && child.text.front() == L'B') {
                    e.components = child.text;
                } else {
                    e.rejectedComponentLists.push_back(child.text);
                }
                break;
            case kFieldRegistry:
                registryIgnores = Remembered(g_ruleIgnores, child.text, [&] { return RegistryRuleIgnores(child.text); });
                break;
            case kFieldTimeout: e.timeOut = Decimal(child.text); break;
            case kFieldPath:
                e.path = Remembered(g_paths, child.text, [&] { return model::ReaderPath(child.text); });
                break;
            case kFieldMenu:
                if (child.pos) position = *child.pos;
                for (const MenuEntrySpec& entry : child.entries) e.menu.push_back(ExpectEntry(entry));
                break;
            default:
                for (size_t k = 0; k < std::size(names); ++k) {
                    if (child.implementsAttr[k]) names[k] = *child.implementsAttr[k];
                }
                break;
        }
    }
    e.menuPosition = position.empty() ? 0 : Decimal(position);
    if (!names[0].empty()) e.runName = names[0];
    if (!names[1].empty()) e.runMenuName = names[1];
    if (!names[2].empty()) e.initializeName = names[2];
    if (!names[3].empty()) e.uninitializeName = names[3];

    // Rule 1: the first malformed token or installed component decides.
    bool componentIgnores = false;
    for (size_t start = 0; !e.components.empty() && !componentIgnores;) {
        size_t end = e.components.find_first_of(L";,", start);
        if (end == std::wstring::npos) end = e.components.size();
        const std::wstring token = e.components.substr(start, end - start);
        if (!token.empty()) {
            componentIgnores = token.size() != kComponentIdLength || token.front() != L'B' ||
                               Remembered(g_installed, token, [&] { return model::IsInstalled(token); });
        }
        if (end == e.components.size()) break;
        start = end + 1;
    }
    e.ignored = componentIgnores || registryIgnores;
    return e;
}

// --- broken files ----------------------------------------------------------------------------

const char* BreakageName(Breakage breakage) {
    static constexpr const char* kNames[] = {
        "truncated",         "wrong end tag",      "duplicate attribute", "raw <",
        "raw &",             "undefined entity",   "control character",   "invalid UTF-8",
        "lone surrogate",    "NUL character",      "second root",         "open comment",
        "unknown encoding",  "UTF-16 without BOM", "UTF-16 declared, UTF-8 bytes", "late declaration",
        "unquoted attribute", "garbage",           "empty",               "BOM only"};
    static_assert(std::size(kNames) == static_cast<size_t>(Breakage::kCount));
    return kNames[static_cast<int>(breakage)];
}

std::string BrokenFile(Rng& rng, const GeneratorWorld& world, Breakage breakage) {
    GeneratorOptions options;
    options.minPlugins = 1;
    options.maxPlugins = 4;
    options.hugePercentTenths = 0;
    const DocumentSpec document = GenerateDocument(rng, world, options);
    const Encoding utf8s[] = {Encoding::kUtf8, Encoding::kUtf8Bom, Encoding::kUtf8Declared};
    const Encoding utf16s[] = {Encoding::kUtf16LeBom, Encoding::kUtf16BeBom};
    const Encoding any[] = {Encoding::kUtf8,       Encoding::kUtf8Bom,    Encoding::kUtf8Declared,
                            Encoding::kUtf16LeBom, Encoding::kUtf16BeBom, Encoding::kCp1252};
    Encoding encoding = rng.Pick(any);
    if (breakage == Breakage::kInvalidUtf8) encoding = rng.Pick(utf8s);
    // A declaration of its own: no BOM and no other declaration that could speak first.
    if (breakage == Breakage::kUnknownEncoding || breakage == Breakage::kDeclaredUtf16ButUtf8 ||
        breakage == Breakage::kLateDeclaration) {
        encoding = Encoding::kUtf8;
    }
    if (breakage == Breakage::kLoneSurrogate) encoding = rng.Pick(utf16s);
    if (breakage == Breakage::kUtf16WithoutBom) encoding = Encoding::kUtf16LeBom;  // BOM dropped below

    std::wstring text = WriteDocument(rng, document, encoding);
    const size_t rootOpen = text.find(L"<" + document.rootName + L">");
    const size_t content = rootOpen + document.rootName.size() + 2;
    auto insertAtContent = [&](const std::wstring& what) { text.insert(content, what); };

    switch (breakage) {
        case Breakage::kTruncated: {
            const size_t lastClose = text.rfind(L'>');
            text.resize(rng.Below(static_cast<uint32_t>(lastClose)));
            if (!text.empty() && IsHighSurrogate(text.back())) text.pop_back();
            break;
        }
        case Breakage::kWrongEndTag: {
            const std::wstring end = L"</" + document.rootName + L">";
            text.replace(text.rfind(end), end.size(), L"</" + document.rootName + L"X>");
            break;
        }
        case Breakage::kDuplicateAttribute:
            // On the root: a "<plugin" found first may sit inside a CDATA section.
            text.insert(rootOpen + 1 + document.rootName.size(), L" dup=\"1\" dup=\"2\"");
            break;
        case Breakage::kRawLessThan: insertAtContent(rng.Chance(50) ? L"a<1b" : L"a< b"); break;
        case Breakage::kRawAmpersand: insertAtContent(L"a & b"); break;
        case Breakage::kUndefinedEntity: insertAtContent(L"&vemoUndefined;"); break;
        case Breakage::kControlCharacter: {
            const wchar_t controls[] = {1, 2, 7, 8, 0x0B, 0x0C, 0x0E, 0x1B, 0x1F};
            insertAtContent(std::wstring(L"a") + rng.Pick(controls) + L"b");
            break;
        }
        case Breakage::kLoneSurrogate:
            insertAtContent(std::wstring(L"a") + (rng.Chance(50) ? L'\xD800' : L'\xDC00') + L"b");
            break;
        case Breakage::kNulCharacter: insertAtContent(std::wstring(L"a\0b", 3)); break;
        case Breakage::kSecondRoot: text += L"<second/>"; break;
        case Breakage::kOpenComment: text += L"<!-- open"; break;
        case Breakage::kUnknownEncoding:
            text = L"<?xml version=\"1.0\" encoding=\"x-vemo-unknown\"?>" + text.substr(Declaration(encoding).size());
            break;
        case Breakage::kDeclaredUtf16ButUtf8:
            text = L"<?xml version=\"1.0\" encoding=\"UTF-16\"?>" + text.substr(Declaration(encoding).size());
            return Utf8(text);
        case Breakage::kLateDeclaration:
            text = (rng.Chance(50) ? L" " : L"<!-- c -->") + std::wstring(L"<?xml version=\"1.0\"?>") +
                   text.substr(Declaration(encoding).size());
            return Utf8(text);
        case Breakage::kUnquotedAttribute: text.insert(rootOpen + 1 + document.rootName.size(), L" bad=1"); break;
        case Breakage::kGarbage: {
            std::string bytes(1, 'x');
            const int n = rng.Between(0, 2000);
            for (int i = 0; i < n; ++i) bytes += static_cast<char>(rng.Below(256));
            return bytes;
        }
        case Breakage::kEmpty: return {};
        case Breakage::kBomOnly: {
            const char* boms[] = {"\xEF\xBB\xBF", "\xFF\xFE", "\xFE\xFF"};
            return rng.Pick(boms);
        }
        default: break;
    }
    if (breakage == Breakage::kInvalidUtf8) {
        const char* sequences[] = {"\xFF", "\xC3\x28", "\xC0\xAF", "\xED\xA0\x80", "\xE4\xB8", "\xF8\x88\x80\x80\x80",
                                   "\x80", "\xF4\x90\x80\x80"};
        std::string bytes = EncodeDocument(text, encoding);
        const size_t bom = encoding == Encoding::kUtf8Bom ? 3 : 0;
        bytes.insert(bom + Utf8(text.substr(0, content)).size(), rng.Pick(sequences));
        return bytes;
    }
    std::string bytes = EncodeDocument(text, encoding);
    if (breakage == Breakage::kUtf16WithoutBom) bytes.erase(0, 2);
    return bytes;
}

// --- comparing -------------------------------------------------------------------------------

std::string Describe(const std::wstring& text) {
    std::string head;
    for (size_t i = 0; i < text.size() && i < 24; ++i) {
        const wchar_t c = text[i];
        if (c >= 0x20 && c < 0x7F) {
            head += static_cast<char>(c);
        } else {
            char code[12] = {};
            std::snprintf(code, sizeof(code), "\\u%04X", static_cast<unsigned>(c));
            head += code;
        }
    }
    return "[" + std::to_string(text.size()) + " chars: \"" + head + (text.size() > 24 ? "...\"]" : "\"]");
}

namespace {
void ExpectText(const std::wstring& actual, const std::wstring& expected, const char* field, const std::string& where) {
    if (actual == expected) return;
    size_t differ = 0;
    while (differ < actual.size() && differ < expected.size() && actual[differ] == expected[differ]) ++differ;
    ADD_FAILURE() << where << ": " << field << " is " << Describe(actual) << ", expected " << Describe(expected)
                  << ", first difference at " << differ << " ("
                  << Describe(actual.substr(differ, 8)) << " vs " << Describe(expected.substr(differ, 8)) << ")";
}
}  // namespace

void ExpectDescriptor(const CPluginInfo& a, const ExpectedPlugin& e, const std::string& where) {
    ExpectText(a._name, e.name, "_name", where);
    ExpectText(a._binaryName, e.binaryName, "_binaryName", where);
    ExpectText(a._path, e.path, "_path", where);
    ExpectText(a._className, e.className, "_className", where);
    ExpectText(a._ignoreOnInstalledComponent, e.components, "_ignoreOnInstalledComponent", where);
    ExpectText(a._runName, e.runName, "_runName", where);
    ExpectText(a._runMenuName, e.runMenuName, "_runMenuName", where);
    ExpectText(a._initializeName, e.initializeName, "_initializeName", where);
    ExpectText(a._uninitializeName, e.uninitializeName, "_uninitializeName", where);
    EXPECT_EQ(e.system, a._runsInSystemContext) << where;
    EXPECT_EQ(e.pure, a._runsInPureMode) << where;
    EXPECT_EQ(e.timeOut, a._timeOutUnload) << where;
    EXPECT_EQ(e.level, a._level) << where;
    EXPECT_EQ(e.type, a._type) << where;
    EXPECT_EQ(e.menuPosition, a._menuPosition) << where;
    if (e.menu.size() != a._vecMenu.size()) {
        auto list = [](const std::vector<MenuEntry>& entries) {
            std::string text;
            for (const MenuEntry& m : entries) {
                text += "\n    " + Describe(m._text) + " fid " + std::to_string(m._function) + (m._isActive ? " active" : "") +
                        (m._isSeparator ? " separator" : "") + " parent " + Describe(m._parentMenu);
            }
            return text;
        };
        FAIL() << where << ": " << a._vecMenu.size() << " menu entries, expected " << e.menu.size() << ":"
               << list(a._vecMenu) << "\n  expected:" << list(e.menu);
    }
    for (size_t i = 0; i < e.menu.size(); ++i) {
        const std::string entry = where + ", menu entry " + std::to_string(i);
        ExpectText(a._vecMenu[i]._text, e.menu[i]._text, "_text", entry);
        ExpectText(a._vecMenu[i]._parentMenu, e.menu[i]._parentMenu, "_parentMenu", entry);
        EXPECT_EQ(e.menu[i]._function, a._vecMenu[i]._function) << entry;
        EXPECT_EQ(e.menu[i]._isActive, a._vecMenu[i]._isActive) << entry;
        EXPECT_EQ(e.menu[i]._isSeparator, a._vecMenu[i]._isSeparator) << entry;
    }
    // Nothing of the running host is set by reading.
    EXPECT_FALSE(a._isLoaded) << where;
    EXPECT_EQ(nullptr, a._hModule) << where;
    EXPECT_EQ(INVALID_HANDLE_VALUE, a._hThread) << where;
    EXPECT_EQ(nullptr, a._hRunEvent) << where;
    EXPECT_EQ(nullptr, a._pfnRun) << where;
    EXPECT_FALSE(a._stopRequested.load()) << where;
}

}  // namespace badinput
