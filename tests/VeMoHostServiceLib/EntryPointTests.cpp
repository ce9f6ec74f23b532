// Command-line handling of the entry point and the command words of the service framework.
#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "BasisLibs_MitTracing/ThreadControlLib/ServiceControl.h"
#include "VeMoHostServiceLib/EntryPoint.h"

namespace {

// argv with the program name in front, as the runtime gives it.
EntryArguments Parse(std::initializer_list<const wchar_t*> arguments) {
    std::vector<wchar_t*> argv{const_cast<wchar_t*>(L"VeMoHostService.exe")};
    for (const wchar_t* a : arguments) argv.push_back(const_cast<wchar_t*>(a));
    return ParseEntryArguments(static_cast<int>(argv.size()), argv.data());
}

ServiceCommand CommandOf(std::initializer_list<const wchar_t*> arguments) {
    return ClassifyServiceCommand(Parse(arguments).command);
}

TEST(EntryArguments, PrefixCharacterAndCaseDoNotMatter) {
    EXPECT_EQ(ServiceCommand::Install, CommandOf({L"/install"}));
    EXPECT_EQ(ServiceCommand::Install, CommandOf({L"-install"}));
    EXPECT_EQ(ServiceCommand::Install, CommandOf({L"/INSTALL"}));
    EXPECT_EQ(ServiceCommand::Uninstall, CommandOf({L"-UnInstall"}));
    EXPECT_EQ(ServiceCommand::Start, CommandOf({L"/Start"}));
    EXPECT_EQ(ServiceCommand::Stop, CommandOf({L"-stop"}));
}

TEST(EntryArguments, TheWholeArgumentWithItsPrefixIsTheCommand) {
    const EntryArguments args = Parse({L"-install"});
    ASSERT_NE(nullptr, args.command);
    EXPECT_STREQ(L"-install", args.command);
}

TEST(EntryArguments, LaterCommandAndLaterIdentityWordWin) {
    EXPECT_EQ(ServiceCommand::Start, CommandOf({L"/stop", L"/start"}));
    const EntryArguments args = Parse({L"BASE", L"/install"});
    EXPECT_EQ(ServiceIdentity::Base, args.identity);
    EXPECT_EQ(ServiceIdentity::Vemo, Parse({L"base", L"vemo"}).identity);
    EXPECT_EQ(ServiceIdentity::Base, Parse({L"/install", L"bAsE"}).identity);
    EXPECT_EQ(ServiceIdentity::None, Parse({L"/install"}).identity);
}

TEST(EntryArguments, BareWordsAreIgnoredAndUnknownCommandsRunTheService) {
    const EntryArguments bare = Parse({L"install"});
    EXPECT_EQ(nullptr, bare.command);
    EXPECT_EQ(ServiceIdentity::None, bare.identity);
    EXPECT_EQ(ServiceCommand::Run, ClassifyServiceCommand(bare.command));
    EXPECT_EQ(ServiceCommand::Run, CommandOf({L"/STARTPURE"}));
    EXPECT_EQ(ServiceCommand::Run, CommandOf({L"/installer"}));
    EXPECT_EQ(ServiceCommand::Run, CommandOf({L"/"}));
    EXPECT_EQ(ServiceCommand::Run, CommandOf({}));
    EXPECT_EQ(ServiceIdentity::None, Parse({L"BASES"}).identity);
}

TEST(EntryArguments, MoreThanTwoArgumentsAreTooMany) {
    EXPECT_FALSE(Parse({L"/install", L"BASE"}).tooMany);
    EXPECT_TRUE(Parse({L"/install", L"BASE", L"x"}).tooMany);
    EXPECT_TRUE(Parse({L"a", L"b", L"c", L"d"}).tooMany);
    EXPECT_TRUE(ParseEntryArguments(0, nullptr).tooMany);
}

}  // namespace
