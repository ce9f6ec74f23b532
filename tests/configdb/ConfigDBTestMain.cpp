// The test program's entry: a child mode for the cases that need a fresh process (ConfigDB
// starts up once per process), otherwise GoogleTest inside the registry sandbox.
#include <gtest/gtest.h>
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cwchar>

#include "ConfigDBTestEnv.h"
#include "common/UniqueHandle.h"
#include "configdb/ConfigDBInternal.h"

int main(int argc, char** argv) {
    int wideArgc = 0;
    vemo::unique_hlocal wideArgvOwner(::CommandLineToArgvW(::GetCommandLineW(), &wideArgc));
    auto** wideArgv = static_cast<wchar_t**>(wideArgvOwner.get());
    if (wideArgv && wideArgc > 1 && std::wcscmp(wideArgv[1], cdbtest::kChildSwitch) == 0) {
        return cdbtest::RunChildMode(wideArgc, wideArgv);
    }

    ::testing::InitGoogleTest(&argc, argv);
    if (!cdbtest::sandbox::Install()) {
        std::fprintf(stderr, "The registry sandbox could not be set up; no test touches the real hive.\n");
        return 1;
    }
    // Start up now, with every diagnostic switch off: ConfigDB reads them once per process,
    // and tests that set them for their children must not switch them on here.
    configdb::Init();
    const int result = RUN_ALL_TESTS();
    cdbtest::sandbox::Remove();
    return result;
}
