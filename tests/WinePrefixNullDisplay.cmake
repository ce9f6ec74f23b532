# Run with cmake -P in the environment of the tests (WINEPREFIX set). Switches the prefix to Wine's
# null window driver, then waits until the prefix's processes have ended: the desktop process that
# the set-up started without a driver must go, and so must what the set-up still registers in the
# background (shell classes are missing for a few seconds after wineboot returns).
execute_process(COMMAND wine reg add "HKCU\\Software\\Wine\\Drivers" /v Graphics /d null /f
                RESULT_VARIABLE added OUTPUT_QUIET ERROR_QUIET)
if(NOT added EQUAL 0)
  message(FATAL_ERROR "cannot select Wine's null window driver: ${added}")
endif()
# With a window driver, Wine's debugger would show its crash dialog for every deliberate fault and
# wait for a click that never comes; without the dialog it writes its report and lets the process end.
execute_process(COMMAND wine reg add "HKCU\\Software\\Wine\\WineDbg" /v ShowCrashDialog /t REG_DWORD /d 0 /f
                RESULT_VARIABLE quiet OUTPUT_QUIET ERROR_QUIET)
if(NOT quiet EQUAL 0)
  message(FATAL_ERROR "cannot switch off Wine's crash dialog: ${quiet}")
endif()
execute_process(COMMAND wineserver -w OUTPUT_QUIET ERROR_QUIET)
