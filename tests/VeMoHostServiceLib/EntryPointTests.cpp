// Command-line handling of the entry point and the command words of the service framework.
#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "BasisLibs_MitTracing/ThreadControlLib/ServiceControl.h"
#include "VeMoHostServiceLib/EntryPoint.h"

namespace {

struct Row {
    std::vector<const wchar_t*> arguments;  // after the program name
    ServiceCommand command;
    ServiceIdentity identity;
    const wchar_t* commandText;  // the whole argument with its prefix, or null
    bool tooMany = false;
};

// Prefix character and case do not matter; the later command and identity word win; bare words
// and unknown commands run the service; more than two arguments are too many.
const Row kRows[] = {
    {{L"/install"}, ServiceCommand::Install, ServiceIdentity::None, L"/install"},
    {{L"-INSTALL"}, ServiceCommand::Install, ServiceIdentity::None, L"-INSTALL"},
    {{L"-UnInstall"}, ServiceCommand::Uninstall, ServiceIdentity::None, L"-UnInstall"},
    {{L"/Start"}, ServiceCommand::Start, ServiceIdentity::None, L"/Start"},
    {{L"/stop", L"/start"}, ServiceCommand::Start, ServiceIdentity::None, L"/start"},
    {{L"BASE", L"-stop"}, ServiceCommand::Stop, ServiceIdentity::Base, L"-stop"},
    {{L"/install", L"bAsE"}, ServiceCommand::Install, ServiceIdentity::Base, L"/install"},
    {{L"base", L"vemo"}, ServiceCommand::Run, ServiceIdentity::Vemo, nullptr},
    {{L"install"}, ServiceCommand::Run, ServiceIdentity::None, nullptr},
    {{L"BASES"}, ServiceCommand::Run, ServiceIdentity::None, nullptr},
    {{L"/STARTPURE"}, ServiceCommand::Run, ServiceIdentity::None, L"/STARTPURE"},
    {{L"/installer"}, ServiceCommand::Run, ServiceIdentity::None, L"/installer"},
    {{L"/"}, ServiceCommand::Run, ServiceIdentity::None, L"/"},
    {{}, ServiceCommand::Run, ServiceIdentity::None, nullptr},
    {{L"/install", L"BASE", L"x"}, ServiceCommand::Install, ServiceIdentity::Base, L"/install", true},
};

TEST(EntryArguments, CommandIdentityAndCount) {
    for (const Row& row : kRows) {
        SCOPED_TRACE(&row - kRows);
        std::vector<wchar_t*> argv{const_cast<wchar_t*>(L"VeMoHostService.exe")};
        for (const wchar_t* a : row.arguments) argv.push_back(const_cast<wchar_t*>(a));
        const EntryArguments args = ParseEntryArguments(static_cast<int>(argv.size()), argv.data());
        EXPECT_EQ(row.tooMany, args.tooMany);
        if (row.tooMany) continue;
        EXPECT_EQ(row.command, ClassifyServiceCommand(args.command));
        EXPECT_EQ(row.identity, args.identity);
        if (row.commandText) {
            EXPECT_STREQ(row.commandText, args.command);
        } else {
            EXPECT_EQ(nullptr, args.command);
        }
    }
    EXPECT_TRUE(ParseEntryArguments(0, nullptr).tooMany);
}

}  // namespace
