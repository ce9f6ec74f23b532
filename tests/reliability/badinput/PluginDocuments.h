#pragma once
// Generated plug-in configuration documents: what a document says, how it is written (names,
// escapes, encodings), the bytes of well-formed and broken files, and the descriptors a reader
// is to build from them, worked out from the file format's rules.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "BadInput.h"
#include "VeMoHostIntLib/PluginInfo.h"

namespace badinput {

// How a value's text is written; the text the DOM gives back is the same for all of them.
enum class TextStyle { kPlain, kCharRefs, kCData, kInline };

struct MenuChildSpec {
    bool element = true;  // false: a text node
    std::wstring name;
    std::wstring text;
    TextStyle style = TextStyle::kPlain;
};

struct MenuEntrySpec {
    enum class Kind { kElement, kComment, kText, kCData, kPi } kind = Kind::kElement;
    std::wstring name;  // element name, or the node's content
    std::optional<std::wstring> active, parent;
    std::vector<MenuChildSpec> children;
};

struct PluginSpec;

struct ChildSpec {
    enum class Kind { kField, kUnknown, kDeeper, kNestedPlugin, kComment, kPi, kText } kind = Kind::kField;
    int field = -1;       // index into vemo::plugincfg::kPluginChildElements
    std::wstring name;    // as written, with its prefix
    std::wstring prefix;  // declared on the element when not empty
    std::wstring text;
    TextStyle style = TextStyle::kPlain;
    std::optional<std::wstring> pos;         // menu
    std::vector<MenuEntrySpec> entries;      // menu
    std::optional<std::wstring> implementsAttr[4];  // run, runmenu, initialize, uninitialize
    std::shared_ptr<PluginSpec> nested;
};

struct PluginSpec {
    std::optional<std::wstring> description, type, level;
    std::vector<std::pair<std::wstring, std::wstring>> otherAttributes;
    std::vector<ChildSpec> children;
};

struct DocumentSpec {
    std::wstring rootName;
    struct Slot {
        std::shared_ptr<PluginSpec> plugin;  // null: filler
        int depth = 0;                       // wrapper elements around it
        std::wstring filler;                 // markup written instead of a plug-in
    };
    std::vector<Slot> slots;
};

enum class Encoding { kUtf8, kUtf8Bom, kUtf8Declared, kUtf16LeBom, kUtf16BeBom, kUtf16LeDeclared, kCp1252, kLatin1 };
const char* EncodingName(Encoding encoding);

// What the reader is to make of one "plugin" element.
struct ExpectedPlugin {
    bool ignored = false;
    std::wstring name, binaryName, path, className, components;
    std::wstring runName = L"Run", runMenuName = L"RunMenu", initializeName = L"Initialize",
                 uninitializeName = L"Uninitialize";
    bool system = false, pure = false;
    int timeOut = VEMO_PLUGIN_DEFAULT_TIMEOUT_UNLOAD_MS, level = 0, type = 0, menuPosition = 0;
    std::vector<MenuEntry> menu;
    std::vector<std::wstring> rejectedComponentLists;
};

// Limits of what a generated document may hold, so that a group can ask for small documents.
struct GeneratorOptions {
    int minPlugins = 0, maxPlugins = 6;
    int maxChildren = 14;          // child nodes of one plug-in element
    int maxDepth = 6;              // wrapper elements around a plug-in
    int hugePercentTenths = 5;     // 64 KiB values, in tenths of a percent of all values
    bool allowNestedPlugins = true;
    bool systemPlugins = true;     // false: "system" is never "true", so the loading pass loads nothing
};

// Values the generator draws from: what the fixture registered and installed.
struct GeneratorWorld {
    std::vector<std::wstring> installedIds;     // installed components (ignore rule 1)
    std::vector<std::wstring> notInstalledIds;  // well-formed IDs nobody installed
    std::vector<std::wstring> templateIds;      // arguments for {konfigdir( and {programdir(
    std::vector<std::wstring> logIds;           // arguments for {logdir(
    std::vector<std::wstring> registryRules;    // value paths below HKLM for ignore rule 2
};

DocumentSpec GenerateDocument(Rng& rng, const GeneratorWorld& world, const GeneratorOptions& options);
std::shared_ptr<PluginSpec> GeneratePlugin(Rng& rng, const GeneratorWorld& world, const GeneratorOptions& options);

// The document's characters, with every character the encoding lacks written as a reference.
std::wstring WriteDocument(Rng& rng, const DocumentSpec& document, Encoding encoding);
std::string EncodeDocument(const std::wstring& text, Encoding encoding);
// The plug-ins in document order, the order getElementsByTagName gives them in.
std::vector<const PluginSpec*> PluginsInOrder(const DocumentSpec& document);
// Registry and ConfigDB answers are remembered until ForgetExpectations (called before each
// case): many plug-ins of one file ask the same questions.
ExpectedPlugin Expect(const PluginSpec& plugin);
void ForgetExpectations();
// The deepest element of a written document; the root counts as 1.
int DeepestElement(const std::wstring& xml);

// Ways to break a well-formed file; each leaves a file no conforming parser accepts.
enum class Breakage {
    kTruncated, kWrongEndTag, kDuplicateAttribute, kRawLessThan, kRawAmpersand, kUndefinedEntity,
    kControlCharacter, kInvalidUtf8, kLoneSurrogate, kNulCharacter, kSecondRoot, kOpenComment,
    kUnknownEncoding, kUtf16WithoutBom, kDeclaredUtf16ButUtf8, kLateDeclaration, kUnquotedAttribute,
    kGarbage, kEmpty, kBomOnly, kCount
};
const char* BreakageName(Breakage breakage);
std::string BrokenFile(Rng& rng, const GeneratorWorld& world, Breakage breakage);

// Checks one descriptor against what was expected; field by field, long texts shown short.
void ExpectDescriptor(const CPluginInfo& actual, const ExpectedPlugin& expected, const std::string& where);
std::string Describe(const std::wstring& text);  // for messages: length and a short head

}  // namespace badinput
